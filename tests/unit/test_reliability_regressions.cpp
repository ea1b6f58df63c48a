// Faults found by the fuzz targets and the fault soak, each pinned by the
// smallest case that showed it.
#include "driver_fixture.h"

#include <climits>

namespace {

using Regressions = DriverTest;

// Found by fuzzing host inputs: a local-only write with a hugely negative
// count overflowed the register count of double words (caught by UBSan).
// Any count below 1 stores nothing, for every element kind.
TEST_F(Regressions, LocalWriteWithCountBelowOneStoresNothing) {
    const QByteArray value = bytes({0x78, 0x56, 0x34, 0x12});
    for (int type : {1, 4, 7, 10, 2, 5, 8, 11})
        for (int count : {0, -1, INT_MIN}) {
            set(type, type < 3 ? "0.0" : "3", value, count);
            ASSERT_EQ(get(7, "0", 16) + get(8, "0", 16), QByteArray(64, '\0'))
                << "type " << type << ", count " << count;
        }
}

} // namespace
