#include "csv.h"

namespace plchost {

namespace {

constexpr int kEnd = std::char_traits<char>::eof();

bool isBlank(int c) { return c == ' ' || c == '\t'; }

std::string trimmed(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

} // namespace

int CsvReader::take() {
    if (pending_.empty())
        return in_.sbumpc();
    const int c = static_cast<unsigned char>(pending_[0]);
    pending_.erase(0, 1);
    return c;
}

int CsvReader::peek() {
    return pending_.empty() ? in_.sgetc() : static_cast<unsigned char>(pending_[0]);
}

// One character; CRLF comes as LF, and lines are counted.
int CsvReader::get() {
    int c = take();
    if (c == '\r' && peek() == '\n')
        c = take();
    if (c == '\n')
        ++line_;
    return c;
}

// Drops a byte order mark; the bytes of anything else that starts alike are
// kept for reading.
void CsvReader::skipByteOrderMark() {
    for (const char mark : {'\xEF', '\xBB', '\xBF'}) {
        if (in_.sgetc() != static_cast<unsigned char>(mark))
            return;
        pending_ += static_cast<char>(in_.sbumpc());
    }
    pending_.clear();
}

bool CsvReader::skipLine() {
    for (int c = get(); c != kEnd; c = get())
        if (c == '\n')
            return true;
    return false;
}

bool CsvReader::next(std::vector<std::string> &fields, int &line, std::string &error) {
    if (!started_) {
        started_ = true;
        skipByteOrderMark();
    }
    enum { Unquoted, Quoted, AfterQuoted } state = Unquoted;
    std::string field;
    fields.clear();
    line = line_;
    auto endField = [&] {
        fields.push_back(state == Unquoted ? trimmed(field) : field);
        field.clear();
        state = Unquoted;
    };
    for (;;) {
        const int c = get();
        if (state == Quoted) {
            if (c == kEnd) {
                error = "line " + std::to_string(line) + ": a quoted field is not closed";
                failed_ = true;
                return false;
            }
            if (c != '"')
                field += static_cast<char>(c);
            else if (peek() == '"')
                field += static_cast<char>(take());
            else
                state = AfterQuoted;
            continue;
        }
        if (c == kEnd || c == '\n') {
            const bool blank = fields.empty() && state == Unquoted && trimmed(field).empty();
            if (blank && c == kEnd)
                return false;
            if (blank) {
                line = line_;
                continue;
            }
            endField();
            return true;
        }
        if (c == '#' && comments_ && fields.empty() && state == Unquoted &&
            trimmed(field).empty()) {
            if (!skipLine())
                return false;
            line = line_;
            field.clear();
            continue;
        }
        if (!separator_ && (c == ',' || c == ';'))
            separator_ = static_cast<char>(c);
        if (c == separator_)
            endField();
        else if (state == AfterQuoted && !isBlank(c)) {
            error = "line " + std::to_string(line_) + ": text after the closing quote of a field";
            failed_ = true;
            return false;
        } else if (c == '"' && state == Unquoted && trimmed(field).empty()) {
            field.clear();
            state = Quoted;
        } else if (state == Unquoted)
            field += static_cast<char>(c);
    }
}

std::string csvField(const std::string &text) {
    const bool plain = text.find_first_of(",\"\r\n;") == std::string::npos &&
                       (text.empty() || (!isBlank(text.front()) && !isBlank(text.back())));
    if (plain)
        return text;
    std::string out = "\"";
    for (char c : text)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

} // namespace plchost
