// Stands in for a plug-in built for the other Qt major: linked against a stub
// named like that major's Qt Core, and aborting as soon as anything loads it.
#include <cstdlib>

namespace {
[[maybe_unused]] const int loaded = (std::abort(), 0);
}
