// Texts the host writes for other programs: JSON strings that always parse
// as UTF-8, and ISO 8601 times.
#ifndef PLCHOST_TEXT_ENCODING_H
#define PLCHOST_TEXT_ENCODING_H

#include "readings.h"

#include <string>

namespace plchost {

// Length of the valid UTF-8 sequence at s[i], 0 when the bytes there are
// none (cut short, overlong, a surrogate or past U+10FFFF).
size_t utf8Length(const std::string &s, size_t i);
// A JSON string literal of any bytes: what is not UTF-8 becomes U+FFFD.
std::string jsonString(const std::string &s);
// 2024-05-01T12:34:56.789+02:00, local time.
std::string isoTime(WallClock::time_point t);

} // namespace plchost

#endif
