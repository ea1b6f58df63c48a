// plc_poll as a field engineer runs it, against the simulated PLC on
// loopback: exit statuses, messages, values in their formats, the quality
// of every value, and output that real CSV and JSON parsers read back.
#include "sim_process.h"

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <gtest/gtest.h>

#include <fstream>

namespace {

struct PollRun {
    int status; // -1 when the program did not exit normally
    std::string output; // stdout and stderr
};

// Runs plc_poll (or another program) to its end.
PollRun plcPoll(const std::vector<std::string> &args, const QString &program = PLC_POLL_PATH) {
    QStringList list;
    for (const std::string &a : args)
        list << QString::fromStdString(a);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, list);
    const bool exited = process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit;
    return {exited ? process.exitCode() : -1, process.readAll().toStdString()};
}

// Qt's expressions rather than std::regex, whose inlined automaton trips
// g++ 12's uninitialised-use warning in the sanitizer builds.
QRegularExpressionMatch firstMatch(const std::string &text, const char *pattern) {
    return QRegularExpression(QString::fromLatin1(pattern)).match(QString::fromStdString(text));
}

// Help (0), a write that fails (1), each kind of bad command line (2; what
// the arguments themselves refuse is HostInput's to check), and no PLC or
// plug-in to use (3).
TEST(PlcPoll, ExitStatusesAndMessages) {
    const int port = SimProcess().port(); // stopped at once: nothing listens there now
    SimProcess dropping({"--drop-every", "1"});
    ASSERT_TRUE(port > 0 && dropping.running());
    const struct { std::vector<std::string> args; int status; const char *message; } cases[] = {
        {{"--help"}, 0, "Exit status: 0"},
        {{"-p", std::to_string(dropping.port()), "--retries", "1", "--timeout-ms", "100", "--write", "hold.word,5,1"},
         1, "write hold.word,5,1: failed"},
        {{}, 2, "nothing to do"},
        {{"--write", "hold.byte,1,300"}, 2, "bad value '300'"},
        {{"--vars", "/nonexistent.csv"}, 2, "cannot open"},
        {{"-p", "70000", "-r", "1"}, 2, "-p needs a whole number 1..65535"},
        {{"--frobnicate"}, 2, "unknown option --frobnicate"},
        {{"-t", "0", "-r", "1"}, 2, "coils and discrete inputs are not read"},
        {{"--order", "ACBD", "-r", "1"}, 2, "needs ABCD, CDAB, BADC or DCBA"},
        {{"--format", "xml", "-r", "1"}, 2, "needs table, csv or json"},
        {{"-r", "1", "localhost", "502"}, 2, "unexpected argument '502'"},
        {{"-p", std::to_string(port), "--read", "hold.word,1"}, 3, "cannot connect"},
        {{"--plugin", "/nonexistent/libplcdriver.so", "--read", "hold.word,1"}, 3, "plug-in"},
    };
    for (const auto &c : cases) {
        const PollRun run = plcPoll(c.args);
        EXPECT_EQ(run.status, c.status) << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.message << " in: " << run.output;
    }
}

// Written by plc_poll or preset in the PLC, read back as JSON numbers,
// arrays and hex strings. (Each format's text: the HostInput tests.)
TEST(PlcPoll, TypedValuesWrittenAndReadBack) {
    SimProcess sim({"-s", "1:h30=f32:21.5"});
    ASSERT_TRUE(sim.running());
    const PollRun run = plcPoll({"-p", std::to_string(sim.port()), "--format", "json", "--write",
                                 "hold.word,203,1 2 0x3", "--write", "hold:int32:abcd,40,-100000", "--read",
                                 "hold.word,203,3", "--read", "hold:float,30", "--read", "hold:int32:abcd,40",
                                 "--read", "hold.word:hex,40,2"});
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char *values : {"\"values\":[1,2,3]", "\"values\":[21.5]}", "\"values\":[-100000]",
                               "\"values\":[\"0xFFFE\",\"0x7960\"]"})
        EXPECT_NE(run.output.find(values), std::string::npos) << values << " in: " << run.output;
}

// Every value is the PLC's own, marked with its quality; a variable that
// ends without a good value makes the run exit 1.
TEST(PlcPoll, QualityIsShownTruthfully) {
    SimProcess sim({"--units", "1,2", "--set", "1:h10=31", "--set", "2:h10=32"});
    ASSERT_TRUE(sim.running());
    const std::string port = std::to_string(sim.port());
    // An ISO-8601 time with milliseconds and offset, the quality, the time
    // of the last good read, no reason, one value per column.
    const char *row = R"((^|\n)\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d,)"
                      R"(good,hold\.word,unsigned,2,10,good,\d{4}-[^,]+,,32,*\r\n)";
    // A refused variable is failed, never a number. (A station that never
    // answers is failed as well, the host loop tests show; a variable of many
    // requests is shown whole: the reliability stress test.)
    PollRun run = plcPoll({"-p", port, "--format", "csv", "--once", "--retries", "0", "--multi-station",
                           "--var", "bad,hold.word,1500", "--var", "good,hold.word,10,1,2"});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(firstMatch(run.output, row).hasMatch()) << run.output;
    EXPECT_NE(run.output.find(",bad,hold.word,unsigned,1,1500,failed,,"), std::string::npos) << run.output;
    // A run too short for the first scan shows the variable never read.
    run = plcPoll({"-p", port, "--format", "json", "--duration", "0", "--var", "x,hold.word,10"});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(R"("quality":"never read","last_good":null,"reason":null,"values":[]})"),
              std::string::npos) << run.output;
    // The PLC stops: the last good value stays, marked failed with its time.
    std::thread poller([&] {
        run = plcPoll({"-p", port, "--format", "csv", "-l", "100", "--duration", "3", "--timeout-ms",
                       "200", "--var", "v,hold.word,10"});
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    sim.stop();
    poller.join();
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(firstMatch(run.output, R"(,v,hold\.word,unsigned,1,10,failed,\d{4}-[^,]+,[^,]+,31\r\n)").hasMatch())
        << run.output;
}

// Labels no one should have to handle, through real CSV and JSON parsers.
TEST(PlcPoll, HostileLabelsSurviveCsvAndJson) {
    SimProcess sim({"--set", "1:h1=7"});
    ASSERT_TRUE(sim.running());
    const std::string vars = "/tmp/plc_poll_labels_" + std::to_string(getpid());
    std::ofstream(vars) << "\"\"\"starts with a quote\",hold.word,1\n\"comma, and \"\"quotes\"\"\",hold.word,1\n"
                           "\"CR\rLF\nlabel\",hold.word,1\ncaf\xE9,hold.word,1\n";
    const std::string script = R"(
import csv, json, sys
expected = ['"starts with a quote', 'comma, and "quotes"', 'CR\rLF\nlabel', 'caf\udce9']
with open(sys.argv[1] + '.csv', newline='', encoding='utf-8', errors='surrogateescape') as f:
    rows = list(csv.DictReader(f))
assert [r['label'] for r in rows] == expected, rows
assert all(r['value'] == '7' and r['quality'] == 'good' for r in rows), rows
with open(sys.argv[1] + '.json', encoding='utf-8') as f:
    lines = [json.loads(line) for line in f]
assert [l['label'] for l in lines] == expected[:3] + ['caf\ufffd'], lines
assert all(l['values'] == [7] for l in lines), lines
print('parsed')
)";
    for (const char *format : {"csv", "json"}) {
        const PollRun run = plcPoll({"-p", std::to_string(sim.port()), "--once", "--format", format,
                                     "--vars", vars, "--output", vars + "." + format});
        EXPECT_EQ(run.status, 0) << run.output;
    }
    const PollRun parsed = plcPoll({"-c", script, vars}, "/usr/bin/python3");
    EXPECT_EQ(parsed.output, "parsed\n");
    for (const std::string suffix : {"", ".csv", ".json"})
        unlink((vars + suffix).c_str());
}

TEST(PlcPoll, ScansAreNotClamped) {
    SimProcess sim;
    ASSERT_TRUE(sim.running());
    // A snapshot per completed scan and one at the end; a pause of 2.5 s
    // leaves room for at most two scans in 1.5 s.
    const PollRun run = plcPoll({"-p", std::to_string(sim.port()), "-l", "2500", "--duration", "1.5", "-r", "1"});
    EXPECT_EQ(run.status, 0) << run.output;
    const QRegularExpressionMatch last = firstMatch(run.output, R"((?s)scan (\d+)(?!.*scan \d))");
    ASSERT_TRUE(last.hasMatch()) << run.output;
    const int scans = last.captured(1).toInt();
    const int snapshots = QString::fromStdString(run.output).count(QLatin1String("\nhold 1 "));
    EXPECT_LE(scans, 2) << run.output;
    EXPECT_TRUE(snapshots == scans || snapshots == scans + 1) << run.output;
}

} // namespace
