#include "base/ByteReader.h"

#include <gtest/gtest.h>

TEST(ByteReader, ReadsBigEndianFieldsInOrder) {
    const uint8_t d[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22};
    ByteReader r(d, sizeof d);
    EXPECT_EQ(r.u8(), 0x12);
    EXPECT_EQ(r.u16(), 0x3456);
    EXPECT_EQ(r.u24(), 0x789ABCu);
    EXPECT_EQ(r.u32(), 0xDEF01122u);
    EXPECT_TRUE(r.atEnd());
    EXPECT_FALSE(r.error());
}

TEST(ByteReader, ShortReadReadsNothingAndTheErrorSticks) {
    const uint8_t d[] = {0xAA, 0xBB, 0xCC};
    ByteReader r(d, sizeof d);
    EXPECT_EQ(r.u8(), 0xAA);
    EXPECT_EQ(r.u32(), 0u);  // two bytes left: no partial read
    EXPECT_TRUE(r.error());
    EXPECT_EQ(r.offset(), 1u);
    // Later reads that would fit still fail: one check per record is enough.
    EXPECT_EQ(r.u8(), 0);
    EXPECT_TRUE(r.error());
    uint8_t out[2] = {7, 7};
    EXPECT_FALSE(r.bytes(out, 2));
    EXPECT_EQ(out[0], 7);
}

TEST(ByteReader, SubReaderIsBoundedAndStepsOver) {
    const uint8_t d[] = {1, 2, 3, 4, 5, 6};
    ByteReader r(d, sizeof d);
    ByteReader inner = r.sub(2);
    EXPECT_EQ(r.u8(), 3);  // the outer reader is past the two bytes
    EXPECT_EQ(inner.u16(), 0x0102);
    EXPECT_EQ(inner.u8(), 0);  // cannot spill into the outer bytes
    EXPECT_TRUE(inner.error());
    EXPECT_FALSE(r.error());
}

TEST(ByteReader, SubReaderLongerThanTheDataFailsBoth) {
    const uint8_t d[] = {1, 2, 3};
    ByteReader r(d, sizeof d);
    ByteReader inner = r.sub(4);
    EXPECT_TRUE(r.error());
    EXPECT_TRUE(inner.error());
    EXPECT_EQ(inner.size(), 0u);
    EXPECT_EQ(r.offset(), 0u);
}

TEST(ByteReader, SubAtMostTakesWhatIsLeft) {
    const uint8_t d[] = {1, 2, 3};
    ByteReader r(d, sizeof d);
    r.skip(1);
    ByteReader inner = r.subAtMost(255);
    EXPECT_EQ(inner.size(), 2u);
    EXPECT_FALSE(r.error());
    EXPECT_TRUE(r.atEnd());
    EXPECT_EQ(inner.peek(1), 3);
    EXPECT_EQ(inner.peek(2), 0);  // outside: 0, no read
}

TEST(ByteReader, EmptyAndNullSpans) {
    ByteReader none(nullptr, 10);
    EXPECT_EQ(none.size(), 0u);
    EXPECT_EQ(none.u8(), 0);
    EXPECT_TRUE(none.error());
    ByteReader empty;
    EXPECT_TRUE(empty.skip(0));
    EXPECT_TRUE(empty.sub(0).atEnd());
    EXPECT_FALSE(empty.error());
}
