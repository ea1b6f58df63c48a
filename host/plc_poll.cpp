// plc_poll: polls a PLC through the driver plug-in. Values go to stdout (a
// live table on a terminal, plain lines otherwise, or CSV / JSON lines);
// progress, errors and the closing statistics line go to stderr.
//
// Exit status: 0 success, 1 a write or one-shot read failed, 2 bad input,
// 3 the plug-in or the PLC could not be reached.
#include "live_view.h"
#include "plc_host.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace plchost;

namespace {

const char kUsage[] = R"(usage: plc_poll [options]
  --host ADDR           PLC address (default 127.0.0.1)
  --port N              TCP port (default 502)
  --station N           station (unit id) of variables that name none (default 1)
  --multi-station       keep values per station (automatic when several stations are named)
  --remote              remote-area records instead of Modbus TCP
  --regs-per-frame N    largest request in registers, 1..123 (default 100)
  --retries N           failed exchanges retried before giving up (default 2)
  --timeout-ms N        connect and reply time-out (default 1000)
  --interval-ms N       pause between polling passes and refreshes (default 500)
  --var LABEL,TYPE,ADDRESS,COUNT[,STATION]   poll a variable (repeatable)
  --vars FILE           poll the variables of a CSV file with those columns
  --read TYPE,ADDRESS[,COUNT[,STATION]]      read once and print (repeatable)
  --write TYPE,ADDRESS,VALUE[,STATION]       write once (repeatable), before the reads
  --duration SECONDS    stop polling after this long (default: until interrupted)
  --format table|csv|json   output format (default table)
  --demote-after N      switch a station off after N given-up requests in a row (default 3)
  --demote-ms N         for this long (default 5000)
  --plugin PATH         driver plug-in (default: the one built with this program)
  --serve [ADDR:]PORT   show the polled values in a web browser (ADDR default 127.0.0.1)
types: 0 in.bit 1 hold.bit 2 ext.bit 3 in.byte 4 hold.byte 5 ext.byte
       6 in.word 7 hold.word 8 ext.word 9 in.dword 10 hold.dword 11 ext.dword
addresses: byte.bit for bits (12.3), else a decimal number; counts are elements
)";

enum Exit { kOk = 0, kRequestFailed = 1, kBadInput = 2, kUnreachable = 3 };
enum class Format { Table, Csv, Json };

struct Write {
    Variable target;
    QByteArray value;
    std::string text;
};

struct Options {
    HostConfig host;
    std::vector<Variable> vars;
    std::vector<Variable> reads;
    std::vector<Write> writes;
    double durationS = -1;
    Format format = Format::Table;
    std::string serve; // [ADDRESS:]PORT of the live view
};

volatile std::sig_atomic_t interrupted = 0;

[[noreturn]] void usageError(const std::string &message) {
    std::cerr << "plc_poll: " << message << "\ntry plc_poll --help\n";
    std::exit(kBadInput);
}

int intArg(const std::string &name, const std::string &text, int lo, int hi) {
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < lo || v > hi)
        usageError(name + " needs a whole number " + std::to_string(lo) + ".." +
                   std::to_string(hi) + ", not '" + text + "'");
    return static_cast<int>(v);
}

// Station-bearing specs are parsed once the default station is known.
Options parseOptions(int argc, char **argv) {
    Options o;
    o.host.pluginPath = PLC_DEFAULT_PLUGIN;
    o.host.intervalMs = 500;
    std::vector<std::pair<std::string, std::string>> specs;
    bool multi = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i], value;
        if (name == "--help" || name == "-h") {
            std::cout << kUsage;
            std::exit(kOk);
        }
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        static const std::set<std::string> kFlags = {"--multi-station", "--remote"};
        static const std::set<std::string> kValued = {
            "--host",        "--port",     "--station",      "--regs-per-frame", "--retries",
            "--timeout-ms",  "--interval-ms", "--demote-after", "--demote-ms",   "--plugin",
            "--var",         "--vars",     "--read",         "--write",          "--duration",
            "--format",      "--serve"};
        if (!kFlags.count(name) && !kValued.count(name))
            usageError("unknown option " + name);
        if (kValued.count(name) && eq == std::string::npos) {
            if (i + 1 >= argc)
                usageError(name + " needs a value");
            value = argv[++i];
        }
        if (name == "--host") o.host.address = value;
        else if (name == "--port") o.host.port = intArg(name, value, 1, 65535);
        else if (name == "--station") o.host.defaultStation = intArg(name, value, 0, 255);
        else if (name == "--multi-station") multi = true;
        else if (name == "--remote") o.host.remote = true;
        else if (name == "--regs-per-frame") o.host.regsPerFrame = intArg(name, value, 1, 123);
        else if (name == "--retries") o.host.retryLimit = intArg(name, value, 0, 100);
        else if (name == "--timeout-ms") o.host.timeoutMs = intArg(name, value, 1, 600000);
        else if (name == "--interval-ms") o.host.intervalMs = intArg(name, value, 0, 600000);
        else if (name == "--demote-after") o.host.demoteAfter = intArg(name, value, 0, 1000);
        else if (name == "--demote-ms") o.host.demoteMs = intArg(name, value, 0, 3600000);
        else if (name == "--plugin") o.host.pluginPath = value;
        else if (name == "--serve") o.serve = value;
        else if (name == "--var" || name == "--vars" || name == "--read" || name == "--write")
            specs.emplace_back(name, value);
        else if (name == "--duration") {
            char *end = nullptr;
            o.durationS = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(o.durationS >= 0 && o.durationS <= 1e6))
                usageError("--duration needs seconds (0..1000000), not '" + value + "'");
        } else if (name == "--format") {
            if (value == "table") o.format = Format::Table;
            else if (value == "csv") o.format = Format::Csv;
            else if (value == "json") o.format = Format::Json;
            else usageError("unknown format '" + value + "' (table, csv or json)");
        }
    }
    const int station = o.host.defaultStation;
    std::string error;
    for (const auto &s : specs) {
        bool ok = true;
        if (s.first == "--var") {
            o.vars.emplace_back();
            ok = parseVariableArg(s.second, station, &o.vars.back(), &error);
        } else if (s.first == "--vars") {
            ok = loadVariableCsv(s.second, station, &o.vars, &error);
        } else if (s.first == "--read") {
            o.reads.emplace_back();
            ok = parseReadArg(s.second, station, &o.reads.back(), &error);
        } else {
            o.writes.push_back({{}, {}, s.second});
            ok = parseWriteArg(s.second, station, &o.writes.back().target,
                                &o.writes.back().value, &error);
        }
        if (!ok)
            usageError(s.first + ": " + error);
    }
    if (o.vars.empty() && o.reads.empty() && o.writes.empty())
        usageError("nothing to do: give --var, --vars, --read or --write");
    auto other = [&](const Variable &v) { return v.station != station; };
    multi = multi || std::any_of(o.vars.begin(), o.vars.end(), other) ||
            std::any_of(o.reads.begin(), o.reads.end(), other) ||
            std::any_of(o.writes.begin(), o.writes.end(),
                        [&](const Write &w) { return other(w.target); });
    o.host.multiStation = multi;
    return o;
}

std::string joined(const std::vector<std::uint32_t> &values, const char *separator) {
    std::ostringstream out;
    for (size_t i = 0; i < values.size(); ++i)
        out << (i ? separator : "") << values[i];
    return out.str();
}

std::string jsonString(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else
            out += c;
    }
    return out + "\"";
}

// Writes values in the chosen format; the table is redrawn in place on a terminal.
class Output {
public:
    Output(Format format, PlcHost &host) : format_(format), host_(host), tty_(isatty(1)) {
        if (format_ == Format::Csv)
            std::cout << "time,label,type,station,address,values\n";
    }

    bool isData() const { return format_ != Format::Table; }

    void show(const std::vector<Variable> &vars, bool live) {
        const double t = std::chrono::duration<double>(Clock::now() - start_).count();
        std::ostringstream out;
        if (format_ == Format::Table && live)
            out << (tty_ ? "\033[H\033[2J" : "") << "-- " << std::fixed << std::setprecision(1)
                << t << " s  " << formatStats(host_.stats()) << "\n"
                << std::defaultfloat;
        for (const Variable &v : vars)
            out << line(v, host_.values(v), t) << "\n";
        std::cout << out.str() << std::flush;
    }

private:
    std::string line(const Variable &v, const std::vector<std::uint32_t> &values, double t) {
        char prefix[96];
        std::ostringstream out;
        switch (format_) {
        case Format::Table:
            std::snprintf(prefix, sizeof prefix, "%-16s %-10s %3d  %-8s ", v.label.c_str(),
                          typeName(v.type), v.station, v.address.c_str());
            out << prefix << joined(values, " ");
            break;
        case Format::Csv:
            out << t << "," << v.label << "," << typeName(v.type) << "," << v.station << ","
                << v.address << "," << joined(values, " ");
            break;
        case Format::Json:
            out << "{\"time\":" << t << ",\"label\":" << jsonString(v.label)
                << ",\"type\":\"" << typeName(v.type) << "\",\"station\":" << v.station
                << ",\"address\":" << jsonString(v.address) << ",\"values\":["
                << joined(values, ",") << "]}";
            break;
        }
        return out.str();
    }

    Format format_;
    PlcHost &host_;
    bool tty_;
    Clock::time_point start_ = Clock::now();
};

// Long enough for every retry of a two-frame request, each with a reconnect.
int requestWaitMs(const HostConfig &c) { return (c.retryLimit + 1) * 4 * c.timeoutMs + c.intervalMs + 1000; }

std::string outcome(PlcHost::Status s, const std::string &error) {
    return std::string(s == PlcHost::Done ? "done" : s == PlcHost::Pending ? "no answer" : "failed") +
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
            status = kRequestFailed;
    }
    return status;
}

int runReads(PlcHost &host, Output &output, const std::vector<Variable> &reads) {
    int status = kOk;
    for (const Variable &v : reads) {
        RequestId id;
        std::string error;
        PlcHost::Status s = PlcHost::Failed;
        if (host.readOnce(v, &id, error))
            s = host.waitCompletion(id, requestWaitMs(host.config()));
        if (s == PlcHost::Done) {
            output.show({v}, false);
            continue;
        }
        std::cerr << "read " << v.label << ": " << outcome(s, error) << "\n";
        status = kRequestFailed;
    }
    return status;
}

bool keepPolling(Clock::time_point end) { return !interrupted && Clock::now() < end; }

void poll(PlcHost &host, Output &output, const std::vector<Variable> &vars, double durationS) {
    const auto end = durationS < 0 ? Clock::time_point::max()
                                   : Clock::now() + std::chrono::milliseconds(
                                                        static_cast<long long>(durationS * 1000));
    const auto step = std::chrono::milliseconds(20);
    // Show values only once the plan has been read through, bounded by one
    // round of retries.
    const auto firstPass = Clock::now() + std::chrono::milliseconds(requestWaitMs(host.config()));
    while (keepPolling(end) && !host.cycleDone() && Clock::now() < firstPass)
        std::this_thread::sleep_for(step);
    // A live table keeps pace with the polling (within 0.1..1 s); plain
    // lines scroll, so they come once a second.
    const auto refresh = std::chrono::milliseconds(
        isatty(1) || output.isData() ? std::clamp(host.config().intervalMs, 100, 1000) : 1000);
    while (keepPolling(end)) {
        output.show(vars, true);
        const auto next = std::min(end, Clock::now() + refresh);
        while (!interrupted && Clock::now() < next)
            std::this_thread::sleep_for(step);
    }
}

} // namespace

int main(int argc, char **argv) {
    Options options = parseOptions(argc, argv);
    std::signal(SIGINT, [](int) { interrupted = 1; });
    std::signal(SIGTERM, [](int) { interrupted = 1; });

    PlcHost host(options.host);
    std::string error;
    if (!host.load(error)) {
        std::cerr << "plc_poll: " << error << "\n";
        return kUnreachable;
    }
    TcpLink probe;
    if (!probe.open(options.host.address, options.host.port, options.host.timeoutMs, error)) {
        std::cerr << "plc_poll: " << error << "\n";
        return kUnreachable;
    }
    probe.close();
    if (!host.setPlan(options.vars, error))
        usageError(error);

    LiveView view; // after the host: stops following it first
    if (!options.serve.empty()) {
        if (!view.serve(options.serve, error))
            usageError("--serve: " + error);
        std::cerr << "plc_poll: live view at " << view.url() << " (open it in a web browser)\n";
        view.follow(host, options.vars, unsignedValues);
    }
    host.start();
    Output output(options.format, host);
    int status = runWrites(host, options.writes);
    status = std::max(status, runReads(host, output, options.reads));
    if (!options.vars.empty())
        poll(host, output, options.vars, options.durationS);
    host.stop();
    std::cerr << "plc_poll: " << formatStats(host.stats()) << "\n";
    return status;
}
