// The reference host reads which Qt a plug-in needs before it loads it.
#include "plugin.h"

#include <gtest/gtest.h>

namespace {

// A plug-in built for the other Qt major is refused with both majors named,
// and nothing of it runs: the stand-in aborts as soon as it is loaded.
TEST(PluginGuard, RefusesAPluginBuiltForTheOtherQtMajor) {
    const std::string ours = std::to_string(QT_VERSION_MAJOR);
    const std::string other = QT_VERSION_MAJOR == 5 ? "6" : "5";
    plchost::Plugin plugin;
    std::string error;
    EXPECT_FALSE(plugin.open(OTHER_QT_PLUGIN_PATH, &error));
    EXPECT_NE(error.find("is built for Qt " + other + " (it needs libQt" + other + "Core.so." +
                         other + ") but this host uses Qt " + ours),
              std::string::npos)
        << error;
}

} // namespace
