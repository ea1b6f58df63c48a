// The record layouts are pinned at compile time in plc_driver.h; this prints
// the sizes the target actually has, so a run on the target shows them.
#include "plc_driver.h"

#include <gtest/gtest.h>

#include <cstdio>

TEST(Layout, RecordSizesOnThisTarget) {
    const bool wide = sizeof(void *) == 8;
    std::printf("pointer %zu, RW_VAR %zu, Protocol %zu, HOSTVAR %zu, ComInfo %zu\n",
                sizeof(void *), sizeof(RW_VAR), sizeof(Protocol), sizeof(HOSTVAR),
                sizeof(ComInfo));
    EXPECT_EQ(sizeof(RW_VAR), wide ? 72u : 60u);
    EXPECT_EQ(sizeof(Protocol), wide ? 112u : 92u);
    EXPECT_EQ(sizeof(HOSTVAR), wide ? 32u : 20u);
    EXPECT_EQ(sizeof(ComInfo), 92u);
}
