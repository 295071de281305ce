#include <gtest/gtest.h>

#include "util/byte_reader.hh"

using namespace tessal;

namespace {

TEST(ByteReader, ReadsBigEndianAndRefusesShortReadsWithoutMoving) {
    const uint8_t data[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE};
    byte_reader r(data, sizeof(data));
    uint32_t v32 = 0;
    ASSERT_TRUE(r.read_u32(v32));
    EXPECT_EQ(v32, 0x12345678u);
    uint32_t more = 0;
    EXPECT_FALSE(r.read_u32(more));  // 3 bytes left
    EXPECT_EQ(r.position(), 4u);
    uint16_t v16 = 0;
    ASSERT_TRUE(r.read_u16(v16));
    EXPECT_EQ(v16, 0x9ABCu);
    uint8_t buf[2];
    EXPECT_FALSE(r.read_bytes(buf, 2));
    EXPECT_FALSE(r.skip(2));
    uint8_t v8 = 0;
    ASSERT_TRUE(r.read_u8(v8));
    EXPECT_EQ(v8, 0xDE);
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_FALSE(r.read_u8(v8));
}

TEST(ByteWriter, RoundTrip) {
    uint8_t buf[6] = {};
    write_be16(buf, 0xA1B2);
    write_be32(buf + 2, 0xC3D4E5F6);
    EXPECT_EQ(read_be16(buf), 0xA1B2);
    EXPECT_EQ(read_be32(buf + 2), 0xC3D4E5F6u);
    EXPECT_EQ(buf[0], 0xA1);
    EXPECT_EQ(buf[5], 0xF6);
}

}  // namespace
