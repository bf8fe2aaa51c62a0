#include "host/SimpleSamplePacket.h"

#include <cstdlib>

#include <gtest/gtest.h>

using pelmo::streamer::SimpleSamplePacket;

namespace {

// Counts destructions so a test can see exactly when release deletes the packet.
struct CountedPacket : SimpleSamplePacket {
    explicit CountedPacket(int& deaths) : deaths(deaths) {}
    ~CountedPacket() override { ++deaths; }
    int& deaths;
};

}  // namespace

TEST(SimpleSamplePacket, FreshPacketHasNoTypeYetAndOneReference) {
    auto* p = new SimpleSamplePacket();
    EXPECT_EQ(2, p->getType());
    EXPECT_EQ(nullptr, p->getData());
    EXPECT_EQ(0, p->getSize());
    EXPECT_EQ(0, p->release());
}

TEST(SimpleSamplePacket, ReleaseDeletesOnlyWhenTheLastReferenceGoes) {
    int deaths = 0;
    auto* p = new CountedPacket(deaths);
    p->addRef();
    p->addRef();
    EXPECT_EQ(2, p->release());
    EXPECT_EQ(1, p->release());
    EXPECT_EQ(0, deaths);
    EXPECT_EQ(0, p->release());
    EXPECT_EQ(1, deaths);
}

TEST(SimpleSamplePacket, SetTakesTheBufferAndFreesThePreviousOne) {
    // Under the address sanitizer a leaked or doubly freed buffer fails this test.
    auto* p = new SimpleSamplePacket();
    auto* first = static_cast<uint8_t*>(std::calloc(16, 1));
    p->set(1, first, 16, 100, 400, true);
    EXPECT_EQ(first, p->getData());
    auto* second = static_cast<uint8_t*>(std::malloc(4));
    second[0] = 9;
    p->set(0, second, 4, -1, 0, false);
    EXPECT_EQ(second, p->getData());
    EXPECT_EQ(0, p->getType());
    EXPECT_EQ(4, p->getSize());
    EXPECT_EQ(-1, p->getTimestamp());
    EXPECT_FALSE(p->isSyncPoint());
    // Setting the same buffer again must not free it under the packet's feet.
    p->set(0, second, 4, 0, 0, false);
    EXPECT_EQ(9, p->getData()[0]);
    p->set(4, nullptr, 0, 0, 0, false);
    EXPECT_EQ(nullptr, p->getData());
    p->release();
}
