// The tick page hands out room front to back and takes it back from the top
// down, so a recorder made again after the last one went finds its place.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/tick_page.h"

namespace kvx::platform {
namespace {

TEST(TickPage, TakesFrontToBackAndGivesBackFromTheTop) {
    auto* a = static_cast<std::uint8_t*>(takeFromTickPage(100));
    auto* b = static_cast<std::uint8_t*>(takeFromTickPage(64));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 64, 0u);
    EXPECT_EQ(b, a + 128);  // rounded up to 64
    EXPECT_TRUE(onTickPage(a) && onTickPage(b + 63));
    int onStack = 0;
    EXPECT_FALSE(onTickPage(&onStack));

    giveToTickPage(a);  // not the top: its room stays taken while b is
    EXPECT_EQ(takeFromTickPage(64), b + 64);
    giveToTickPage(b + 64);
    giveToTickPage(b);  // now a's room comes back too
    EXPECT_EQ(takeFromTickPage(32), a);
    EXPECT_EQ(takeFromTickPage(kHugePage), nullptr);  // no room: the caller goes elsewhere
    giveToTickPage(a);
}

}  // namespace
}  // namespace kvx::platform
