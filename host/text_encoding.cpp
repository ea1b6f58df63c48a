#include "text_encoding.h"

#include <cstdio>
#include <ctime>

namespace plchost {

size_t utf8Length(const std::string &s, size_t i) {
    auto at = [&](size_t k) -> unsigned {
        return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0;
    };
    auto continuation = [&](size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
        return at(k) >= lo && at(k) <= hi;
    };
    const unsigned lead = at(0);
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return continuation(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const bool second = lead == 0xE0   ? continuation(1, 0xA0)       // no overlong forms
                            : lead == 0xED ? continuation(1, 0x80, 0x9F) // no surrogates
                                           : continuation(1);
        return second && continuation(2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const bool second = lead == 0xF0   ? continuation(1, 0x90)
                            : lead == 0xF4 ? continuation(1, 0x80, 0x8F) // up to U+10FFFF
                                           : continuation(1);
        return second && continuation(2) && continuation(3) ? 4 : 0;
    }
    return 0;
}

std::string jsonString(const std::string &s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8Length(s, i);
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out + '"';
}

std::string isoTime(WallClock::time_point t) {
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char date[32], zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local); // +0200
    char text[64];
    std::snprintf(text, sizeof text, "%s.%03lld%.3s:%.2s", date, ((ms % 1000) + 1000) % 1000, zone,
                  zone + 3);
    return text;
}

} // namespace plchost
