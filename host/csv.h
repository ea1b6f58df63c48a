// Comma-separated values as RFC 4180 describes them, in both directions:
// records read one at a time as a stream delivers them, and fields quoted
// for output.
#ifndef PLCHOST_CSV_H
#define PLCHOST_CSV_H

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace plchost {

// A field in double quotes may hold separators, line breaks and "" for a
// quote; unquoted fields are trimmed of spaces and tabs; blank lines are
// skipped; lines end in LF or CRLF. In a file, fields are separated by ','
// or ';' (the first one outside quotes decides, for the whole file), and a
// UTF-8 byte order mark at the start and lines starting with '#' are
// skipped. A command-line argument is one record separated by ','.
enum class CsvSource { File, Argument };

class CsvReader {
public:
    CsvReader(std::istream &in, CsvSource source)
        : in_(*in.rdbuf()), separator_(source == CsvSource::File ? 0 : ','),
          started_(source == CsvSource::Argument), comments_(source == CsvSource::File) {}

    // The next record into `fields`, and the line it starts on; false at the
    // end of the input, or on malformed quoting with `error` set.
    bool next(std::vector<std::string> &fields, int &line, std::string &error);
    bool failed() const { return failed_; }

private:
    int take();
    int peek();
    int get();
    void skipByteOrderMark();
    bool skipLine(); // false at the end of the input

    std::streambuf &in_;
    std::string pending_; // bytes taken from the stream but not yet read
    char separator_ = 0;  // not known yet
    int line_ = 1;
    bool started_;
    bool comments_;
    bool failed_ = false;
};

// A field as RFC 4180 wants it: in double quotes, inner quotes doubled, when
// it holds a comma, a semicolon, a quote, a line break or leading or
// trailing blanks.
void writeCsvField(std::ostream &out, const std::string &text);

} // namespace plchost

#endif
