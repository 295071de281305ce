#pragma once

// Bounds-checked access to received bytes. Every read says whether it fit;
// a failed read leaves the position unchanged. Parsers of peer data read
// through this and never cast a struct over a buffer.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessal {

class byte_reader {
public:
    byte_reader(const uint8_t *data, size_t size) noexcept : data_(data), size_(size) {}

    size_t remaining() const noexcept { return size_ - pos_; }
    size_t position() const noexcept { return pos_; }
    const uint8_t *current() const noexcept { return data_ + pos_; }

    bool read_u8(uint8_t &out) noexcept {
        if (remaining() < 1) {
            return false;
        }
        out = data_[pos_++];
        return true;
    }

    bool read_u16(uint16_t &out) noexcept {
        if (remaining() < 2) {
            return false;
        }
        out = static_cast<uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
        pos_ += 2;
        return true;
    }

    bool read_u32(uint32_t &out) noexcept {
        if (remaining() < 4) {
            return false;
        }
        out = (uint32_t{data_[pos_]} << 24) | (uint32_t{data_[pos_ + 1]} << 16) |
              (uint32_t{data_[pos_ + 2]} << 8) | uint32_t{data_[pos_ + 3]};
        pos_ += 4;
        return true;
    }

    // Copies `len` bytes as they stand.
    bool read_bytes(void *out, size_t len) noexcept {
        if (remaining() < len) {
            return false;
        }
        if (len > 0) {
            std::memcpy(out, data_ + pos_, len);
        }
        pos_ += len;
        return true;
    }

    bool skip(size_t len) noexcept {
        if (remaining() < len) {
            return false;
        }
        pos_ += len;
        return true;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// Big-endian stores into a buffer the caller has sized.
inline void write_be16(uint8_t *p, uint16_t v) noexcept {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void write_be32(uint8_t *p, uint32_t v) noexcept {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint16_t read_be16(const uint8_t *p) noexcept {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t read_be32(const uint8_t *p) noexcept {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace tessal
