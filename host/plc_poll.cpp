// plc_poll: polls a PLC through the driver plug-in. Values go to stdout or
// the --output file (a table, redrawn on a terminal, or CSV or JSON lines),
// each with its quality; progress, the host's reports, errors and the
// closing statistics line go to stderr. `plc_poll --help` explains the rest.
#include "csv.h"
#include "live_view.h"
#include "plc_host.h"
#include "poll_output.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

using namespace plchost;

namespace {

enum Exit { kOk = 0, kNotDone = 1, kBadInput = 2, kUnreachable = 3 };

struct Write {
    Variable target;
    QByteArray value;
    std::string text;
};

struct Options {
    HostConfig host;
    ArgumentDefaults defaults;
    bool multiStation = false;
    // --var, --vars, --read, --write and -r in the order given; parsed once
    // every default they take is known.
    std::vector<std::pair<std::string, std::string>> variableArgs;
    std::string registerType = "hold";
    std::string registerCount;
    std::string hostArgument;
    std::vector<Variable> vars;
    std::vector<Variable> reads;
    std::vector<Write> writes;
    double durationS = -1;
    bool once = false;
    OutputFormat format = OutputFormat::Table;
    std::string outputPath;
    std::string serve; // [ADDRESS:]PORT of the live view
    bool help = false;
};

bool wholeNumber(const std::string &text, long lo, long hi, int &out, std::string &error) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) {
        error = "needs a whole number " + std::to_string(lo) + ".." + std::to_string(hi) +
                ", not '" + text + "'";
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool seconds(const std::string &text, double lo, double hi, double &out, std::string &error) {
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= lo && v <= hi)) {
        std::ostringstream range;
        range << "needs seconds " << lo << ".." << hi << ", not '" << text << "'";
        error = range.str();
        return false;
    }
    out = v;
    return true;
}

bool keepInOrder(Options &o, const char *name, const std::string &value) {
    o.variableArgs.emplace_back(name, value);
    return true;
}

struct Option {
    const char *name;
    const char *shortName; // "" for none
    const char *value;     // nullptr for a switch
    const char *help;
    bool (*apply)(Options &o, const std::string &value, std::string &error);
};

const Option kOptions[] = {
    {"--host", "", "ADDR", "PLC address (default 127.0.0.1; also the one plain argument)",
     [](Options &o, const std::string &v, std::string &) {
         o.host.address = v;
         return true;
     }},
    {"--port", "-p", "N", "TCP port (default 502)",
     [](Options &o, const std::string &v, std::string &e) {
         return wholeNumber(v, 1, 65535, o.host.port, e);
     }},
    {"--station", "-a", "N", "station (unit id) of variables that name none (default 1)",
     [](Options &o, const std::string &v, std::string &e) {
         return wholeNumber(v, 0, 255, o.host.defaultStation, e);
     }},
    {"--register", "-r", "ADDR", "poll the register(s) at ADDR, as -t, -c and -a say (repeatable)",
     [](Options &o, const std::string &v, std::string &) { return keepInOrder(o, "-r", v); }},
    {"--type", "-t", "TYPE",
     "type of -r: hold or 4 (default), in or 3, ref, or a driver type;\n"
     "any type may end in :FORMAT, e.g. -t hold:float, -t in:int32:abcd",
     [](Options &o, const std::string &v, std::string &e) {
         const std::string table = v.substr(0, v.find(':'));
         if (!table.empty() && std::isdigit(static_cast<unsigned char>(table[0])) && table != "3" &&
             table != "4") {
             e = "takes hold (or 4), in (or 3), ref or a type name, not '" + table +
                 "'; coils and discrete inputs are not read, the driver reads registers "
                 "(their bits are hold.bit and in.bit)";
             return false;
         }
         o.registerType = (table == "4"   ? "hold"
                           : table == "3" ? "in"
                                          : table) +
                          v.substr(table.size());
         return true;
     }},
    {"--count", "-c", "N", "values of -r (default 1)",
     [](Options &o, const std::string &v, std::string &) {
         o.registerCount = v;
         return true;
     }},
    {"--one-based", "", nullptr, "plain register numbers count from 1 (default: from 0)",
     [](Options &o, const std::string &, std::string &) { return o.defaults.oneBased = true; }},
    {"--order", "", "ORDER",
     "byte order of 32-bit values: CDAB (default, low word first),\n"
     "ABCD (high word first), BADC or DCBA",
     [](Options &o, const std::string &v, std::string &e) {
         if (parseByteOrder(v, o.defaults.format.order))
             return true;
         e = "needs ABCD, CDAB, BADC or DCBA, not '" + v + "'";
         return false;
     }},
    {"", "-B", nullptr, "high word first: --order ABCD",
     [](Options &o, const std::string &, std::string &) {
         o.defaults.format.order = ByteOrder::ABCD;
         return true;
     }},
    {"--var", "", "VAR", "poll LABEL,TYPE,ADDRESS[,COUNT[,STATION[,FORMAT]]] (repeatable)",
     [](Options &o, const std::string &v, std::string &) { return keepInOrder(o, "--var", v); }},
    {"--vars", "", "FILE", "poll the variables of a CSV file with those columns",
     [](Options &o, const std::string &v, std::string &) { return keepInOrder(o, "--vars", v); }},
    {"--read", "", "ITEM", "read TYPE,ADDRESS[,COUNT[,STATION]] once (repeatable)",
     [](Options &o, const std::string &v, std::string &) { return keepInOrder(o, "--read", v); }},
    {"--write", "", "ITEM",
     "write TYPE,ADDRESS,VALUES[,STATION] once, before the reads;\n"
     "VALUES separated by blanks: hold.word,10,\"1 -2 0x3\"",
     [](Options &o, const std::string &v, std::string &) { return keepInOrder(o, "--write", v); }},
    {"--once", "-1", nullptr, "poll every variable once, then stop",
     [](Options &o, const std::string &, std::string &) { return o.once = true; }},
    {"--interval-ms", "-l", "N", "pause after each scan of the polled variables (default 500)",
     [](Options &o, const std::string &v, std::string &e) {
         return wholeNumber(v, 0, 86400000, o.host.intervalMs, e);
     }},
    {"--duration", "", "SECONDS", "stop polling after this long (default: until interrupted)",
     [](Options &o, const std::string &v, std::string &e) {
         return seconds(v, 0, 1e7, o.durationS, e);
     }},
    {"--format", "", "FORMAT", "table (default), csv or json",
     [](Options &o, const std::string &v, std::string &e) {
         o.format = v == "csv"    ? OutputFormat::Csv
                    : v == "json" ? OutputFormat::Json
                                  : OutputFormat::Table;
         if (v == "table" || v == "csv" || v == "json")
             return true;
         e = "needs table, csv or json, not '" + v + "'";
         return false;
     }},
    {"--output", "", "FILE", "append the values to FILE instead of printing them",
     [](Options &o, const std::string &v, std::string &) {
         o.outputPath = v;
         return true;
     }},
    {"--serve", "", "[ADDR:]PORT",
     "show the polled values in a web browser while polling\n(ADDR 127.0.0.1 unless given)",
     [](Options &o, const std::string &v, std::string &) {
         o.serve = v;
         return true;
     }},
    {"--timeout-ms", "", "N", "connect and reply time-out (default 1000)",
     [](Options &o, const std::string &v, std::string &e) {
         return wholeNumber(v, 1, 600000, o.host.timeoutMs, e);
     }},
    {"", "-o", "SECONDS", "the time-out in seconds",
     [](Options &o, const std::string &v, std::string &e) {
         double s = 0;
         if (!seconds(v, 0.001, 600, s, e))
             return false;
         o.host.timeoutMs = static_cast<int>(std::lround(s * 1000));
         return true;
     }},
    {"--retries", "", "N", "failed exchanges retried before giving up (default 2)",
     [](Options &o, const std::string &v, std::string &e) {
         return wholeNumber(v, 0, 100, o.host.retryLimit, e);
     }},
    {"--multi-station", "", nullptr,
     "keep values per station (automatic when several stations\n"
     "are named or a register lies outside the single-station images)",
     [](Options &o, const std::string &, std::string &) { return o.multiStation = true; }},
    {"--regs-per-frame", "", "N", "largest request in registers, 1..123 (default 100)",
     [](Options &o, const std::string &v, std::string &e) {
         return wholeNumber(v, 1, 123, o.host.regsPerFrame, e);
     }},
    {"--demote-after", "", "N",
     "switch a station off after N given-up requests in a row (default 3)",
     [](Options &o, const std::string &v, std::string &e) {
         return wholeNumber(v, 0, 1000, o.host.demoteAfter, e);
     }},
    {"--demote-ms", "", "N", "for this long (default 5000)",
     [](Options &o, const std::string &v, std::string &e) {
         return wholeNumber(v, 0, 3600000, o.host.demoteMs, e);
     }},
    {"--remote", "", nullptr, "remote-area records instead of Modbus TCP",
     [](Options &o, const std::string &, std::string &) { return o.host.remote = true; }},
    {"--plugin", "", "PATH", "driver plug-in (default: the one built with this program)",
     [](Options &o, const std::string &v, std::string &) {
         o.host.pluginPath = v;
         return true;
     }},
    {"--help", "-h", nullptr, "this text",
     [](Options &o, const std::string &, std::string &) { return o.help = true; }},
};

const char kUsageTail[] = R"(
Types: driver types address the driver's register images: in.bit hold.bit
  ext.bit (byte.bit, e.g. 12.3), in.byte hold.byte ext.byte, in.word hold.word
  ext.word, in.dword hold.dword ext.dword (double word d = registers 2d, 2d+1),
  or their numbers 0..11. Input registers (in.*) are read with function 4,
  holding registers 0..1023 are hold.*, holding registers 5000..13191 ext.*.
  Device tables take register numbers as the PLC counts them: hold,N and in,N
  (from 0, or from 1 with --one-based), ref,40001 (4xxxx holding, 3xxxx input,
  always from 1). Any register 0..65535 can be reached: one outside the
  single-station images switches to multi-station mode, whose per-station
  store holds registers 0..65535 of every area.
Formats: unsigned (default), signed, hex, bin, and 32-bit int32, uint32 and
  float over a double word or two registers, in the byte order of --order or
  one added to the format (float:abcd). Writes take the same forms: -1,
  0xAB, 0b101, 3.14.
Vars file: CSV with ',' or ';', optional header row starting with "label",
  quoted fields, '#' comment lines; columns as --var, count 1 by default.

Examples:
  plc_poll -p 5020 -t hold:float -r 100 -c 2 192.168.0.10
  plc_poll -1 --var level,in,7,1,,signed --var total,ref,40101,1,,uint32:abcd
  plc_poll --var temp,hold:float:abcd,20 --var run,hold.bit,2.0 --format csv --output log.csv
  plc_poll --write hold:signed,10,-1 --write hold.word,203,"1 2 3" --read hold:signed,10

Exit status: 0 everything asked for was done (every polled variable ended
  with a good value, every write and one-shot read succeeded); 1 a polled
  variable ended without a good value, or a write or one-shot read failed;
  2 bad input; 3 the plug-in or the PLC could not be reached.
)";

std::string usage() {
    std::ostringstream out;
    out << "usage: plc_poll [options] [HOST]\n";
    for (const Option &option : kOptions) {
        std::string names = std::string(option.shortName) +
                            (*option.shortName && *option.name ? ", " : "") + option.name;
        if (option.value)
            names += std::string(" ") + option.value;
        std::istringstream help(option.help);
        std::string line;
        for (bool first = true; std::getline(help, line); first = false) {
            out << "  " << (first ? names : "");
            out << std::string(names.size() < 22 && first ? 22 - names.size()
                               : first                    ? 1
                                                          : 22,
                               ' ')
                << line << "\n";
        }
    }
    return out.str() + kUsageTail;
}

const Option *findOption(const std::string &name) {
    for (const Option &option : kOptions)
        if (name == option.name || name == option.shortName)
            return &option;
    return nullptr;
}

bool parseVariableArgs(Options &o, std::string &error) {
    ArgumentDefaults &d = o.defaults;
    d.station = o.host.defaultStation;
    LabelIndex labels;
    for (const auto &s : o.variableArgs) {
        const std::string &name = s.first;
        bool ok = true;
        std::string problem;
        if (name == "--vars") {
            ok = loadVariableCsv(s.second, d, labels, o.vars, problem);
        } else if (name == "--var" || name == "-r") {
            std::ostringstream arg; // -r: LABEL,TYPE,ADDRESS,COUNT
            if (name == "--var") {
                arg << s.second;
            } else {
                writeCsvField(arg,
                              o.registerType.substr(0, o.registerType.find(':')) + " " + s.second);
                arg << ",";
                writeCsvField(arg, o.registerType);
                arg << ",";
                writeCsvField(arg, s.second);
                arg << "," << o.registerCount;
            }
            o.vars.emplace_back();
            ok = parseVariableArg(arg.str(), d, o.vars.back(), problem) &&
                 labels.addLast(o.vars, problem);
        } else if (name == "--read") {
            o.reads.emplace_back();
            ok = parseReadArg(s.second, d, o.reads.back(), problem);
        } else {
            o.writes.push_back({{}, {}, s.second});
            ok = parseWriteArg(s.second, d, o.writes.back().target, o.writes.back().value, problem);
        }
        if (!ok) {
            error = name + ": " + problem;
            return false;
        }
    }
    if (o.vars.empty() && o.reads.empty() && o.writes.empty()) {
        error = "nothing to do: give -r, --var, --vars, --read or --write";
        return false;
    }
    return true;
}

// Multi-station mode when asked for, when a variable names another station
// or a register lies outside the single-station images; then every
// variable is checked in that mode.
bool checkVariables(Options &o, std::string &error) {
    const int station = o.host.defaultStation;
    auto other = [&](const Variable &v) { return v.station != station; };
    o.host.multiStation = o.multiStation || o.defaults.needsMultiStation ||
                          std::any_of(o.vars.begin(), o.vars.end(), other) ||
                          std::any_of(o.reads.begin(), o.reads.end(), other) ||
                          std::any_of(o.writes.begin(), o.writes.end(),
                                      [&](const Write &w) { return other(w.target); });
    auto check = [&](const Variable &v, Access access) {
        std::string problem;
        if (checkVariable(v, access, o.host.multiStation, problem))
            return true;
        error = v.label + ": " + problem;
        return false;
    };
    for (const Variable &v : o.vars)
        if (!check(v, Access::Read))
            return false;
    for (const Variable &v : o.reads)
        if (!check(v, Access::Read))
            return false;
    for (const Write &w : o.writes)
        if (!check(w.target, Access::Write))
            return false;
    return true;
}

bool parseOptions(const std::vector<std::string> &args, Options &o, std::string &error) {
    o.host.pluginPath = PLC_DEFAULT_PLUGIN;
    o.host.intervalMs = 500;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        if (name.empty() || name[0] != '-') {
            if (!o.hostArgument.empty()) {
                error = "unexpected argument '" + name + "' (the PLC address is '" +
                        o.hostArgument + "')";
                return false;
            }
            o.hostArgument = o.host.address = name;
            continue;
        }
        const size_t equals = name.rfind("--", 0) == 0 ? name.find('=') : std::string::npos;
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        const Option *option = findOption(name);
        if (!option) {
            error = "unknown option " + name;
            return false;
        }
        if (option->value && equals == std::string::npos) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value (" + option->value + ")";
                return false;
            }
            value = args[++i];
        } else if (!option->value && equals != std::string::npos) {
            error = name + " takes no value";
            return false;
        }
        std::string problem;
        if (!option->apply(o, value, problem)) {
            error = name + " " + problem;
            return false;
        }
    }
    return o.help || (parseVariableArgs(o, error) && checkVariables(o, error));
}

volatile std::sig_atomic_t interrupted = 0;

// Long enough for every retry of a two-frame request, each with a reconnect.
int requestWaitMs(const HostConfig &c) {
    return (c.retryLimit + 1) * 4 * c.timeoutMs + c.intervalMs + 1000;
}

std::string outcome(PlcHost::Status s, const std::string &error) {
    return std::string(s == PlcHost::Done      ? "done"
                       : s == PlcHost::Pending ? "no answer"
                                               : "failed") +
           (error.empty() ? "" : " (" + error + ")");
}

int runWrites(PlcHost &host, const std::vector<Write> &writes) {
    int status = kOk;
    for (const Write &w : writes) {
        RequestId id;
        std::string error;
        PlcHost::Status s = PlcHost::Failed;
        if (host.write(w.target, w.value, &id, error))
            s = host.waitCompletion(id, requestWaitMs(host.config()));
        std::cerr << "write " << w.text << ": " << outcome(s, error) << "\n";
        if (s != PlcHost::Done)
            status = kNotDone;
    }
    return status;
}

// One snapshot of every one-shot read, in the order given.
int runReads(PlcHost &host, PollOutput &output, const std::vector<Variable> &reads) {
    int status = kOk;
    std::vector<Reading> results;
    for (const Variable &v : reads) {
        RequestId id;
        std::string error;
        PlcHost::Status s = PlcHost::Failed;
        if (host.readOnce(v, &id, error))
            s = host.waitCompletion(id, requestWaitMs(host.config()));
        results.emplace_back();
        Reading &reading = results.back();
        if (s == PlcHost::Done) {
            reading.quality = Quality::Good;
            reading.data = host.valueBytes(v);
            reading.lastGood = WallClock::now();
        } else {
            reading.quality = Quality::Failed;
            reading.reason = outcome(s, error);
            std::cerr << "read " << v.label << ": " << reading.reason << "\n";
            status = kNotDone;
        }
    }
    if (!reads.empty())
        output.snapshot(reads, results, "one-shot reads", false);
    return status;
}

std::vector<Reading> readings(const PlcHost &host, const std::vector<Variable> &vars) {
    std::vector<Reading> all;
    for (const Variable &v : vars)
        all.push_back(host.reading(v));
    return all;
}

// A snapshot after every completed scan (--once: after the first), and one
// at the end; the status says whether every variable ended with a good value.
int poll(PlcHost &host, PollOutput &output, const Options &o) {
    using Clock = std::chrono::steady_clock;
    const auto end =
        o.durationS < 0
            ? Clock::time_point::max()
            : Clock::now() + std::chrono::milliseconds(std::llround(o.durationS * 1000));
    std::uint64_t shown = 0;
    std::vector<Reading> last; // what the latest snapshot showed
    bool done = false;
    auto show = [&] {
        shown = host.scans();
        last = readings(host, o.vars);
        output.snapshot(o.vars, last,
                        "scan " + std::to_string(shown) + "  " + formatStats(host.stats()),
                        !o.once);
    };
    while (!interrupted && !done && Clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (host.waitScan(shown, static_cast<int>(std::min<long long>(left.count() + 1, 200)))) {
            show();
            done = o.once;
        }
    }
    if (!done)
        show();
    // The status tells what the last snapshot showed.
    int status = kOk;
    for (size_t i = 0; i < o.vars.size(); ++i) {
        const Reading &r = last[i];
        if (r.quality != Quality::Good) {
            std::cerr << "plc_poll: " << o.vars[i].label << ": " << qualityName(r.quality)
                      << (r.reason.empty() ? "" : " (" + r.reason + ")") << "\n";
            status = kNotDone;
        }
    }
    return status;
}

int valueColumns(const Options &o) {
    int columns = 1;
    for (const auto *list : {&o.vars, &o.reads})
        for (const Variable &v : *list)
            columns = std::max(columns, v.count);
    return columns;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    std::string error;
    if (!parseOptions({argv + 1, argv + argc}, o, error)) {
        std::cerr << "plc_poll: " << error << "\ntry plc_poll --help\n";
        return kBadInput;
    }
    if (o.help) {
        std::cout << usage();
        return kOk;
    }
    std::ofstream file;
    std::error_code noFile;
    // CSV appended to a file that has rows already gets no second header.
    const bool header =
        o.outputPath.empty() || std::filesystem::file_size(o.outputPath, noFile) == 0 || noFile;
    if (!o.outputPath.empty()) {
        file.open(o.outputPath, std::ios::app | std::ios::binary);
        if (!file) {
            std::cerr << "plc_poll: cannot open " << o.outputPath << " for appending\n";
            return kBadInput;
        }
    }
    const char *term = std::getenv("TERM");
    const bool terminal = o.outputPath.empty() && isatty(STDOUT_FILENO) &&
                          !std::getenv("NO_COLOR") && !(term && std::string(term) == "dumb");
    std::signal(SIGINT, [](int) { interrupted = 1; });
    std::signal(SIGTERM, [](int) { interrupted = 1; });
    o.host.report = [](const std::string &line) { std::cerr << "plc_poll: " + line + "\n"; };

    PlcHost host(o.host);
    if (!host.load(error)) {
        std::cerr << "plc_poll: " << error << "\n";
        return kUnreachable;
    }
    TcpLink probe;
    if (!probe.open(o.host.address, o.host.port, o.host.timeoutMs, error)) {
        std::cerr << "plc_poll: " << error << "\n";
        return kUnreachable;
    }
    probe.close();
    if (!host.setPlan(o.vars, error)) {
        std::cerr << "plc_poll: " << error << "\ntry plc_poll --help\n";
        return kBadInput;
    }

    LiveView view; // after the host: stops following it first
    if (!o.serve.empty()) {
        if (!view.serve(o.serve, error)) {
            std::cerr << "plc_poll: --serve: " << error << "\n";
            return kBadInput;
        }
        std::cerr << "plc_poll: live view at " << view.url() << " (open it in a web browser)\n";
        view.follow(host, o.vars, [](const Variable &v, const QByteArray &data) {
            return formatValues(v.type, v.format, data);
        });
    }
    host.start();
    std::ostream &out = o.outputPath.empty() ? std::cout : file;
    PollOutput output(o.format, out, terminal, valueColumns(o), header);
    int status = runWrites(host, o.writes);
    status = std::max(status, runReads(host, output, o.reads));
    if (!o.vars.empty())
        status = std::max(status, poll(host, output, o));
    host.stop();
    std::cerr << "plc_poll: " << formatStats(host.stats()) << "\n";
    return status;
}
