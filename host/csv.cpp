#include "csv.h"

namespace plchost {

namespace {

constexpr int kEnd = std::char_traits<char>::eof();

bool isBlank(int c) { return c == ' ' || c == '\t'; }

void trim(std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    s.erase(e);
    s.erase(0, b);
}

bool isBlankText(const std::string &s) { return s.find_first_not_of(" \t") == std::string::npos; }

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
        if (state == Unquoted)
            trim(field);
        fields.push_back(std::move(field));
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
            const bool blank = fields.empty() && state == Unquoted && isBlankText(field);
            if (blank && c == kEnd)
                return false;
            if (blank) {
                line = line_;
                continue;
            }
            endField();
            return true;
        }
        if (c == '#' && comments_ && fields.empty() && state == Unquoted && isBlankText(field)) {
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
        } else if (c == '"' && state == Unquoted && isBlankText(field)) {
            field.clear();
            state = Quoted;
        } else if (state == Unquoted)
            field += static_cast<char>(c);
    }
}

void writeCsvField(std::ostream &out, const std::string &text) {
    const bool plain = text.find_first_of(",;\"\r\n") == std::string::npos &&
                       (text.empty() || (!isBlank(text.front()) && !isBlank(text.back())));
    if (plain) {
        out << text;
        return;
    }
    out << '"';
    for (size_t start = 0;;) {
        const size_t quote = text.find('"', start);
        out.write(text.data() + start,
                  static_cast<std::streamsize>((quote == std::string::npos ? text.size() : quote) -
                                               start));
        if (quote == std::string::npos)
            break;
        out << "\"\"";
        start = quote + 1;
    }
    out << '"';
}

} // namespace plchost
