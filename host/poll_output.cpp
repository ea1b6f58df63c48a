#include "poll_output.h"

#include "csv.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <sstream>

namespace plchost {

namespace {

const size_t kLabelWidth = 20;
const char *const kColour[] = {"\033[2m", "\033[32m", "\033[33m", "\033[31m"}; // by Quality
const char kPlain[] = "\033[0m";

// Columns a character takes on a terminal: 2 for the wide East Asian ranges.
size_t columnsOf(const std::string &text, size_t i, size_t n) {
    char32_t c = static_cast<unsigned char>(text[i]) & (n == 1 ? 0x7F : 0x3F >> (n - 1));
    for (size_t k = 1; k < n; ++k)
        c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                      (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1FAFF) ||
                      (c >= 0x20000 && c <= 0x3FFFD);
    return wide ? 2 : 1;
}

// A label for a table cell `width` columns wide: control characters and
// bytes that are not UTF-8 shown as '?', a longer label cut with an
// ellipsis, a shorter one padded.
std::string cell(const std::string &text, size_t width) {
    std::string out;
    size_t shown = 0;
    for (size_t i = 0; i < text.size();) {
        const size_t n = std::max<size_t>(utf8Length(text, i), 1);
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool printable = utf8Length(text, i) != 0 && c >= 0x20 && c != 0x7F;
        const size_t columns = printable ? columnsOf(text, i, n) : 1;
        if (shown + columns + (i + n < text.size() ? 1 : 0) > width) {
            out += "\xE2\x80\xA6"; // more follows: an ellipsis in the last place
            ++shown;
            break;
        }
        out += printable ? text.substr(i, n) : std::string("?");
        shown += columns;
        i += n;
    }
    return out + std::string(width > shown ? width - shown : 0, ' ');
}

// A variable that failed before its first good read has no last good time.
bool everGood(const Reading &r) { return r.lastGood != WallClock::time_point{}; }

std::string ageText(const Reading &r, WallClock::time_point now) {
    if (!everGood(r))
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1fs",
                  std::chrono::duration<double>(now - r.lastGood).count());
    return text;
}

bool isNumber(const Variable &v, const std::string &text) {
    const bool digitFirst =
        !text.empty() &&
        (std::isdigit(static_cast<unsigned char>(text[0])) ||
         (text[0] == '-' && text.size() > 1 && std::isdigit(static_cast<unsigned char>(text[1]))));
    return digitFirst && v.format.display != Display::Hex && v.format.display != Display::Binary;
}

} // namespace


PollOutput::PollOutput(OutputFormat format, std::ostream &out, bool terminal, int valueColumns,
                       bool header)
    : format_(format), out_(out), terminal_(terminal), valueColumns_(std::max(valueColumns, 1)) {
    if (format_ != OutputFormat::Csv || !header)
        return;
    out_ << "time,label,type,format,station,address,quality,last_good,reason";
    for (int i = 1; i <= valueColumns_; ++i)
        out_ << ",value" << (valueColumns_ > 1 ? std::to_string(i) : "");
    out_ << "\r\n" << std::flush;
}

// Rows go to the stream as they are made, so a long label is not copied
// into each of them.
void PollOutput::snapshot(const std::vector<Variable> &vars, const std::vector<Reading> &readings,
                          const std::string &title, bool inPlace) {
    const WallClock::time_point now = WallClock::now();
    if (format_ == OutputFormat::Table) {
        char head[128];
        std::snprintf(head, sizeof head, "%-10s %-13s %3s %-8s %-10s %7s  %s", "TYPE", "FORMAT",
                      "STN", "ADDRESS", "QUALITY", "AGE", "VALUES");
        out_ << (terminal_ && inPlace ? "\033[H\033[2J" : "") << "-- " << isoTime(now) << "  "
             << title << "\n"
             << cell("LABEL", kLabelWidth) << " " << head << "\n";
    }
    for (size_t i = 0; i < vars.size(); ++i) {
        switch (format_) {
        case OutputFormat::Table:
            tableRow(vars[i], readings[i], now);
            break;
        case OutputFormat::Csv:
            csvRow(vars[i], readings[i], now);
            break;
        case OutputFormat::Json:
            jsonRow(vars[i], readings[i], now);
            break;
        }
    }
    out_ << std::flush;
}

void PollOutput::tableRow(const Variable &v, const Reading &r, WallClock::time_point now) const {
    char row[160];
    std::snprintf(row, sizeof row, " %-10s %-13s %3d %-8s %s%-10s%s %7s ", typeName(v.type),
                  formatName(v.type, v.format).c_str(), v.station, v.address.c_str(),
                  terminal_ ? kColour[static_cast<int>(r.quality)] : "", qualityName(r.quality),
                  terminal_ ? kPlain : "", ageText(r, now).c_str());
    out_ << cell(v.label, kLabelWidth) << row;
    const std::vector<std::string> values = formatValues(v.type, v.format, r.data);
    for (const std::string &value : values)
        out_ << " " << value;
    out_ << (values.empty() ? " -" : "") << (r.reason.empty() ? "" : "  (" + r.reason + ")")
         << "\n";
}

void PollOutput::csvRow(const Variable &v, const Reading &r, WallClock::time_point now) const {
    out_ << isoTime(now) << ",";
    writeCsvField(out_, v.label);
    out_ << "," << typeName(v.type) << "," << formatName(v.type, v.format) << "," << v.station
         << "," << v.address << "," << qualityName(r.quality) << ","
         << (everGood(r) ? isoTime(r.lastGood) : "") << ",";
    writeCsvField(out_, r.reason);
    const std::vector<std::string> values = formatValues(v.type, v.format, r.data);
    for (int i = 0; i < std::max(valueColumns_, static_cast<int>(values.size())); ++i)
        out_ << "," << (i < static_cast<int>(values.size()) ? values[i] : std::string());
    out_ << "\r\n";
}

void PollOutput::jsonRow(const Variable &v, const Reading &r, WallClock::time_point now) const {
    out_ << "{\"time\":\"" << isoTime(now) << "\",\"label\":";
    out_ << jsonString(v.label);
    out_ << ",\"type\":\"" << typeName(v.type) << "\",\"format\":\"" << formatName(v.type, v.format)
         << "\",\"station\":" << v.station << ",\"address\":\"" << v.address << "\",\"quality\":\""
         << qualityName(r.quality)
         << "\",\"last_good\":" << (everGood(r) ? "\"" + isoTime(r.lastGood) + "\"" : "null")
         << ",\"reason\":";
    if (r.reason.empty())
        out_ << "null";
    else
        out_ << jsonString(r.reason);
    out_ << ",\"values\":[";
    const char *separator = "";
    for (const std::string &value : formatValues(v.type, v.format, r.data)) {
        out_ << separator;
        if (isNumber(v, value))
            out_ << value;
        else
            out_ << jsonString(value);
        separator = ",";
    }
    out_ << "]}\n";
}

} // namespace plchost
