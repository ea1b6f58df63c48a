// The diagnostic log: no path of the driver writes to it; hosts may.
#include "plc_driver.h"

#include <QDebug>

#include <cstdarg>
#include <cstdio>
#include <fstream>

extern "C" {

// One line, cut to 1023 characters: to the Qt debug output and appended to
// "drivers.log" in the current directory, opened for each line so that the
// file is never held open between calls.
void Debug_log(const char *format, ...) {
    if (!format)
        return;
    char text[1024] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    qDebug("%s", text);
    std::ofstream log("drivers.log", std::ios::app);
    if (log)
        log << text << std::endl;
}

} // extern "C"
