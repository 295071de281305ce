#pragma once

// Scatter lists of datagrams, shared by the send path's layers.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tessal {

// The pieces of one datagram: (length, pointer) pairs, concatenated in order.
// Not owned; they must stay valid until the send returns.
using buffer_vector = std::vector<std::pair<size_t, uint8_t *>>;
// One buffer_vector per datagram.
using packet_vector = std::vector<buffer_vector>;

}  // namespace tessal
