// What plc_poll prints: snapshots of the polled variables and the results
// of one-shot reads, as a table (redrawn in colour on a terminal, plain
// text otherwise), CSV (RFC 4180) or JSON lines (always valid UTF-8). Every
// row says the variable's quality; values are only those the PLC gave.
#ifndef PLCHOST_POLL_OUTPUT_H
#define PLCHOST_POLL_OUTPUT_H

#include "plc_host.h"
#include "text_encoding.h"

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace plchost {

enum class OutputFormat { Table, Csv, Json };

class PollOutput {
public:
    // `terminal`: the table may be redrawn in place, and is coloured. `valueColumns`:
    // the CSV value columns, enough for the variable with the most values.
    // `header`: CSV starts with its header row (not when appending to a file
    // that has rows already).
    PollOutput(OutputFormat format, std::ostream &out, bool terminal, int valueColumns,
               bool header);

    // One row per variable; `title` heads a table snapshot, which replaces
    // the previous one on a terminal when `inPlace`.
    void snapshot(const std::vector<Variable> &vars, const std::vector<Reading> &readings,
                  const std::string &title, bool inPlace);

private:
    void tableRow(const Variable &v, const Reading &r, WallClock::time_point now) const;
    void csvRow(const Variable &v, const Reading &r, WallClock::time_point now) const;
    void jsonRow(const Variable &v, const Reading &r, WallClock::time_point now) const;

    OutputFormat format_;
    std::ostream &out_;
    bool terminal_;
    int valueColumns_;
};

} // namespace plchost

#endif
