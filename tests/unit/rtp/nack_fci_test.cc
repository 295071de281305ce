// Generic NACK feedback control information (RFC 4585 section 6.2.1):
// packing sequence numbers into PID + BLP entries, unpacking, and the bytes.

#include "rtp/nack_fci.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

using namespace tessal;

namespace {

std::vector<nack_fci_entry> pack(const std::vector<uint16_t> &seqs) {
    std::vector<nack_fci_entry> out;
    nack_fci_pack(seqs.data(), seqs.size(), out);
    return out;
}

std::vector<uint16_t> unpack(const std::vector<nack_fci_entry> &entries) {
    std::vector<uint16_t> out;
    nack_fci_unpack(entries.data(), entries.size(), out);
    return out;
}

TEST(NackFci, PackTable) {
    struct Case {
        const char *name;
        std::vector<uint16_t> seqs;
        std::vector<nack_fci_entry> entries;
    };
    const Case cases[] = {
        {"nothing", {}, {}},
        {"one", {5}, {{5, 0x0000}}},
        {"PID + 1 is bit 1", {5, 6}, {{5, 0x0001}}},
        {"gap of exactly 16: bit 16", {100, 116}, {{100, 0x8000}}},
        {"gap of 17: a second entry", {100, 117}, {{100, 0x0000}, {117, 0x0000}}},
        {"17 in a row fill one entry",
         {100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114, 115, 116},
         {{100, 0xFFFF}}},
        {"18 in a row need two",
         {100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114, 115, 116, 117},
         {{100, 0xFFFF}, {117, 0x0000}}},
        {"scattered bits", {200, 201, 203, 216}, {{200, 0x8005}}},
        {"across the wrap", {65534, 65535, 0, 1}, {{65534, 0x0007}}},
        {"across the wrap, unsorted, repeated", {1, 65535, 0, 1}, {{65535, 0x0003}}},
        {"gap of 16 across the wrap", {10, 65530}, {{65530, 0x8000}}},
        {"gap of 17 across the wrap", {11, 65530}, {{65530, 0x0000}, {11, 0x0000}}},
        {"far apart: serial order starts after the widest gap",
         {40010, 40000, 7, 9},
         {{40000, 0x0200}, {7, 0x0002}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(pack(c.seqs), c.entries);
    }
}

TEST(NackFci, UnpackTable) {
    struct Case {
        const char *name;
        std::vector<nack_fci_entry> entries;
        std::vector<uint16_t> seqs;
    };
    const Case cases[] = {
        {"PID alone", {{42, 0}}, {42}},
        {"bit 16 is PID + 16", {{100, 0x8000}}, {100, 116}},
        {"bits wrap past 65535", {{65534, 0x0005}}, {65534, 65535, 1}},
        {"all bits", {{0, 0xFFFF}}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
        {"entries in their order", {{9, 0}, {3, 0x0001}}, {9, 3, 4}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(unpack(c.entries), c.seqs);
    }
}

// Random sets near the wrap: unpacking gives back the set, and the entry
// count equals the fewest that can cover it, counted here on the line that
// starts at the set's first number in serial order (spans under 32768).
TEST(NackFci, PackUnpackRoundTripIsMinimal) {
    std::mt19937 gen(4585);
    const auto draw = [&gen](uint32_t below) { return static_cast<uint32_t>(gen() % below); };
    for (int round = 0; round < 2000; ++round) {
        const auto start = static_cast<uint16_t>(gen());
        const uint32_t span = 1 + draw(300);
        const uint32_t count = 1 + draw(60);
        std::set<uint32_t> offsets;
        offsets.insert(0);
        for (uint32_t i = 1; i < count; ++i) {
            offsets.insert(draw(span));
        }
        std::vector<uint16_t> seqs;
        for (uint32_t o : offsets) {
            seqs.push_back(static_cast<uint16_t>(start + o));
        }
        std::shuffle(seqs.begin(), seqs.end(), gen);
        const std::vector<nack_fci_entry> entries = pack(seqs);

        std::vector<uint16_t> back = unpack(entries);
        std::sort(back.begin(), back.end());
        std::vector<uint16_t> want = seqs;
        std::sort(want.begin(), want.end());
        ASSERT_EQ(back, want) << "round " << round;

        size_t fewest = 0;
        int64_t covered_to = -1;  // offsets up to here are covered
        for (uint32_t o : offsets) {
            if (static_cast<int64_t>(o) > covered_to) {
                ++fewest;
                covered_to = o + 16;
            }
        }
        ASSERT_EQ(entries.size(), fewest) << "round " << round;
    }
}

TEST(NackFci, WriteThenReadBytes) {
    const std::vector<nack_fci_entry> entries = {{0x1234, 0x8001}, {0xFFFF, 0x0002}};
    const std::vector<uint8_t> golden = {
        0x12, 0x34, 0x80, 0x01,  // PID 0x1234, BLP: PID + 1 and PID + 16
        0xFF, 0xFF, 0x00, 0x02,  // PID 65535, BLP: PID + 2 = 1
    };
    std::vector<uint8_t> bytes(entries.size() * k_nack_fci_size);
    nack_fci_write(entries.data(), entries.size(), bytes.data());
    EXPECT_EQ(bytes, golden);

    std::vector<nack_fci_entry> read;
    EXPECT_EQ(nack_fci_read(golden.data(), golden.size(), read), RTP_SUCCESS);
    EXPECT_EQ(read, entries);
    EXPECT_EQ(unpack(read), (std::vector<uint16_t>{0x1234, 0x1235, 0x1244, 0xFFFF, 1}));
}

// Every length that is not a whole number of entries is refused and reads
// nothing; an empty FCI reads as no entries.
TEST(NackFci, ReadTruncationSweep) {
    const std::vector<uint8_t> fci = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    for (size_t len = 0; len <= fci.size(); ++len) {
        SCOPED_TRACE(len);
        std::vector<uint8_t> cut(fci.begin(), fci.begin() + static_cast<std::ptrdiff_t>(len));
        std::vector<nack_fci_entry> out = {{9, 9}};
        const RTP_ERROR rc = nack_fci_read(cut.data(), cut.size(), out);
        if (len % k_nack_fci_size == 0) {
            EXPECT_EQ(rc, RTP_SUCCESS);
            EXPECT_EQ(out.size(), len / k_nack_fci_size);
        } else {
            EXPECT_EQ(rc, RTP_FAILED);
            EXPECT_TRUE(out.empty());
        }
    }
}

}  // namespace
