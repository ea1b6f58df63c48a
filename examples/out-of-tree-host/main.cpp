// The smallest host: loads the installed plug-in by path and calls two of
// its entry points through the shared header's declarations.
#include "plc_driver.h"

#include <dlfcn.h>

#include <cstdio>

int main() {
    void *plugin = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!plugin) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    auto finished = reinterpret_cast<decltype(&QueryFinishFlag)>(dlsym(plugin, "QueryFinishFlag"));
    auto address =
        reinterpret_cast<decltype(&PLCAddressChangeIntef)>(dlsym(plugin, "PLCAddressChangeIntef"));
    if (!finished || !address) {
        std::fprintf(stderr, "entry points missing in %s\n", PLUGIN_PATH);
        return 1;
    }
    const int flag = finished();
    const int bit = address(1, QStringLiteral("12.3")); // byte 12, bit 3
    std::printf("QueryFinishFlag %d, bit address of 12.3: %d\n", flag, bit);
    dlclose(plugin);
    return flag == 1 && bit == 99 ? 0 : 1;
}
