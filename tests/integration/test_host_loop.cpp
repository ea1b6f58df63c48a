// The reference host and the driver plug-in against the simulated PLC on
// loopback: every test starts its own simulator and stops it by PID.
#include "host_rig.h"
#include "modbus_protocol.h"

#include <arpa/inet.h>
#include <sys/resource.h>

using namespace rig;
using Values = std::vector<std::uint32_t>;

namespace {

// A Modbus TCP peer written for one test: answer() gives the bytes sent back
// to each request (none, one reply, or more than one).
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::function<QByteArray(const QByteArray &)> answer)
        : answer_(std::move(answer)), listener_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&a), len), 0);
        EXPECT_EQ(listen(listener_, 4), 0);
        getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedPeer() {
        stopping_ = true;
        thread_.join();
        close(listener_);
    }
    int port = 0;

private:
    bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        while (!stopping_)
            if (poll(&p, 1, 20) > 0)
                return true;
        return false;
    }
    bool readExactly(int fd, char *to, int n) {
        for (ssize_t got = 0; n > 0; to += got, n -= static_cast<int>(got))
            if (!readable(fd) || (got = recv(fd, to, n, 0)) <= 0)
                return false;
        return true;
    }
    // One connection at a time, each request framed by its length field.
    void serve() {
        while (readable(listener_)) {
            const int fd = accept(listener_, nullptr, nullptr);
            QByteArray request(modbus::kMbapLength, '\0');
            while (readExactly(fd, request.data(), modbus::kMbapLength)) {
                const int rest = modbus::getUint16(request.constData(), modbus::kLengthOffset) - 1;
                request.resize(modbus::kMbapLength + rest);
                if (rest < 1 || !readExactly(fd, request.data() + modbus::kMbapLength, rest))
                    break;
                const QByteArray reply = answer_(request);
                send(fd, reply.constData(), reply.size(), MSG_NOSIGNAL);
                request.resize(modbus::kMbapLength);
            }
            close(fd);
        }
    }

    std::function<QByteArray(const QByteArray &)> answer_;
    const int listener_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A reply to `request` with the PDU that follows its function code.
QByteArray replyTo(const QByteArray &request, int function, const QByteArray &pdu) {
    QByteArray reply = request.left(modbus::kFunctionOffset);
    reply[modbus::kLengthOffset] = 0;
    reply[modbus::kLengthOffset + 1] = static_cast<char>(2 + pdu.size());
    return reply + static_cast<char>(function) + pdu;
}

std::string preset(int unit, const char *reg, int value) {
    return std::to_string(unit) + ":" + reg + "=" + std::to_string(value);
}

// Every register type, polled cyclically, against registers 10 and 11 of
// each area, which hold different words per area.
TEST(HostLoop, CyclicPollingOfEveryRegisterType) {
    const int lo[3] = {0x1234, 0x2345, 0x3456}, hi[3] = {0x5678, 0x6789, 0x789A};
    Rig r({"--set", preset(1, "i10", lo[0]), "--set", preset(1, "i11", hi[0]), "--set",
           preset(1, "h10", lo[1]), "--set", preset(1, "h11", hi[1]), "--set",
           preset(1, "h5010", lo[2]), "--set", preset(1, "h5011", hi[2])});
    std::vector<Variable> plan;
    std::vector<Values> expected;
    for (int area = 0; area < 3; ++area) {
        Values bits;
        for (int b = 0; b < 8; ++b)
            bits.push_back(lo[area] >> b & 1);
        plan.push_back(var(area, "20.0", 8)); // bits of register 10's low byte
        expected.push_back(bits);
        plan.push_back(var(3 + area, "20", 2)); // the two bytes of register 10
        expected.push_back({std::uint32_t(lo[area] & 0xFF), std::uint32_t(lo[area] >> 8)});
        plan.push_back(var(6 + area, "10", 2));
        expected.push_back({std::uint32_t(lo[area]), std::uint32_t(hi[area])});
        plan.push_back(var(9 + area, "5", 1)); // registers 10 (low half) and 11
        expected.push_back({std::uint32_t(hi[area]) << 16 | std::uint32_t(lo[area])});
    }
    r.start(plan);
    for (size_t i = 0; i < plan.size(); ++i)
        EXPECT_TRUE(eventually([&] { return r.host->values(plan[i]) == expected[i]; }))
            << plan[i].label;
    EXPECT_TRUE(eventually([&] { return r.host->cycleDone(); }));
    EXPECT_EQ(r.host->stats().failures, 0u);
    for (size_t i = 0; i < plan.size(); ++i) {
        const Reading got = r.host->reading(plan[i]);
        EXPECT_EQ(got.quality, Quality::Good) << plan[i].label;
        EXPECT_EQ(decodeValues(plan[i].type, got.data), expected[i]) << plan[i].label;
    }
    EXPECT_EQ(r.host->reading(var(7, "900")).quality, Quality::NeverRead); // not polled
}

// One-shot reads and long word and double-word writes go out in several
// requests when longer than the request size; each is reported once.
TEST(HostLoop, OneShotReadsAndLongWritesSplitOverSeveralRequests) {
    Rig r({"--set", "1:h3=7", "--set", "1:h12=9", "--set", "1:i5=42", "--set", "1:h5100=5"},
          [](HostConfig &c) { c.regsPerFrame = 4; });
    r.start();
    Values words = r.readBack(var(7, "0", 14));
    ASSERT_EQ(words.size(), 14u);
    EXPECT_EQ(words[3], 7u);
    EXPECT_EQ(words[12], 9u);
    EXPECT_EQ(r.readBack(var(6, "5")), Values{42});
    EXPECT_EQ(r.readBack(var(8, "100")), Values{5});
    EXPECT_EQ(r.host->stats().exchanges, 6u); // 4 + 1 + 1 requests

    QByteArray wordBytes, dwordBytes;
    Values expectedWords, expectedDwords;
    for (int i = 0; i < 10; ++i) {
        wordBytes.append(le({i + 1, 0x10}));
        expectedWords.push_back(0x1000 + i + 1);
    }
    for (int i = 0; i < 5; ++i) {
        dwordBytes.append(le({i, 0, 0, 0x40}));
        expectedDwords.push_back(0x40000000u + i);
    }
    EXPECT_EQ(r.write(var(7, "100", 10), wordBytes), PlcHost::Done);
    EXPECT_EQ(r.write(var(11, "50", 5), dwordBytes), PlcHost::Done);
    EXPECT_EQ(r.host->stats().exchanges, 11u); // 4 + 4 + 2 words, 4 + 1 double words
    EXPECT_EQ(r.readBack(var(7, "100", 10)), expectedWords);
    EXPECT_EQ(r.readBack(var(11, "50", 5)), expectedDwords);
    int completions = 0;
    for (const HostEvent &e : r.host->events())
        completions += e.kind == HostEvent::Completion;
    EXPECT_EQ(completions, 7); // five reads, two writes
}

// Writes of every element kind in both writable areas, each checked by a
// fresh read of the register from the PLC.
TEST(HostLoop, WritesOfEveryElementKind) {
    Rig r({"--set", "1:h30=4660", "--set", "1:h5030=4660", "--set", "1:h31=240", "--set",
           "1:h5031=240", "--set", "1:h32=65535"});
    r.start();
    struct Case {
        Variable target;
        QByteArray value;
        Variable check;
        Values expected;
    } cases[] = {
        {var(1, "62.0"), le({1}), var(7, "31"), {0x00F1}},  // coil 496: register 31, bit 0
        {var(2, "62.3"), le({1}), var(8, "31"), {0x00F8}},
        {var(1, "64.5"), le({0}), var(7, "32"), {0xFFDF}},  // clearing a bit
        {var(4, "61"), le({0xAB}), var(7, "30"), {0xAB34}}, // high byte; the low one stays
        {var(5, "60"), le({0xCD}), var(8, "30"), {0x12CD}}, // low byte; the high one stays
        {var(7, "40"), le({0xEF, 0xBE}), var(7, "40"), {0xBEEF}},
        {var(8, "40"), le({0x34, 0x12}), var(8, "40"), {0x1234}},
        {var(10, "21"), le({0xEF, 0xCD, 0xAB, 0x89}), var(7, "42", 2), {0xCDEF, 0x89AB}},
        {var(11, "21"), le({1, 2, 3, 4}), var(8, "42", 2), {0x0201, 0x0403}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(r.write(c.target, c.value), PlcHost::Done) << c.target.label;
        EXPECT_EQ(r.readBack(c.check), c.expected) << c.target.label;
    }
}

// Three units with their own memory; a switched-off station is no longer
// polled while the others are.
TEST(HostLoop, MultiStationAndSwitchingStationsOff) {
    Rig r({"--units", "1,2,3", "--set", "1:h0=101", "--set", "2:h0=202", "--set", "3:h0=303"},
          [](HostConfig &c) { c.multiStation = true; });
    // The last variable is cut over two requests and is good once both were answered.
    const std::vector<Variable> plan = {var(7, "0", 1, 1), var(7, "0", 1, 2), var(7, "0", 1, 3),
                                        var(7, "800", 150, 3)};
    r.start(plan);
    auto valueOf = [&](int station) { return r.first(plan[station - 1]); };
    EXPECT_TRUE(eventually([&] { return valueOf(1) == 101 && valueOf(2) == 202 && valueOf(3) == 303; }));
    EXPECT_TRUE(eventually([&] { return r.host->reading(plan[3]).quality == Quality::Good; }));
    EXPECT_EQ(r.host->reading(plan[3]).data.size(), 300);

    r.host->setStationEnabled(2, false);
    ModbusClient plc(r.sim.port());
    for (int unit = 1; unit <= 3; ++unit) {
        plc.setUnit(unit);
        ASSERT_EQ(modbus_write_register(plc.ctx(), 0, 111 * unit), 1);
    }
    EXPECT_TRUE(eventually([&] { return valueOf(1) == 111 && valueOf(3) == 333; }));
    const auto seen = r.host->stats().exchanges;
    EXPECT_TRUE(eventually([&] { return r.host->stats().exchanges > seen + 6; }));
    EXPECT_EQ(valueOf(2), 202u);
    r.host->setStationEnabled(2, true);
    EXPECT_TRUE(eventually([&] { return valueOf(2) == 222; }));

    // A write goes to its own station only.
    EXPECT_EQ(r.write(var(7, "5", 1, 3), le({9, 0})), PlcHost::Done);
    plc.setUnit(3);
    EXPECT_EQ(plc.readHolding(5), 9);
    plc.setUnit(1);
    EXPECT_EQ(plc.readHolding(5), 0);
}

TEST(HostLoop, RemoteAreaMode) {
    Rig r({"--remote", "--set", "1:h10=4660", "--set", "1:i3=77"},
          [](HostConfig &c) { c.remote = true; });
    const Variable word = var(7, "10"), input = var(6, "3");
    r.start({word, input});
    EXPECT_TRUE(eventually([&] { return r.host->values(word) == Values{4660}; }));
    EXPECT_TRUE(eventually([&] { return r.host->values(input) == Values{77}; }));
    EXPECT_EQ(r.write(var(4, "21"), le({0x56})), PlcHost::Done); // high byte of register 10
    EXPECT_TRUE(eventually([&] { return r.host->values(word) == Values{0x5634}; }));
    EXPECT_EQ(r.write(var(11, "2"), le({1, 0, 2, 0})), PlcHost::Done);
    EXPECT_EQ(r.readBack(var(8, "4", 2)), (Values{1, 2}));
}

// Nothing answered: the write is sent retryLimit + 1 times, then given up,
// and the host hears of it through both callbacks.
TEST(HostLoop, RetriesThenGiveUpWhenRepliesAreDropped) {
    Rig r({"--drop-every", "1"}, [](HostConfig &c) {
        c.retryLimit = 2;
        c.timeoutMs = 100;
    });
    r.start();
    RequestId id;
    std::string error;
    ASSERT_TRUE(r.host->write(var(7, "5"), le({1, 0}), &id, error)) << error;
    EXPECT_EQ(r.host->waitCompletion(id, 3000), PlcHost::Failed);
    const StatsSnapshot s = r.host->stats();
    EXPECT_EQ(s.exchanges, 3u);
    EXPECT_EQ(s.retries, 2u);
    EXPECT_EQ(s.givenUp, 1u);
    EXPECT_GE(s.reconnects, 2u); // a connection that timed out is never reused
    const std::vector<HostEvent> events = r.host->events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, HostEvent::Notify); // the write was dispatched
    EXPECT_EQ(events[1].kind, HostEvent::Completion);
    EXPECT_EQ(events[1].tag1, id.tag1);
    EXPECT_EQ(events[1].status, 2);
    EXPECT_EQ(events[2].kind, HostEvent::Notify); // the exchange was given up
    EXPECT_TRUE(r.reported("station 1: write hold.word 5 (hold.word 5) given up: no reply within 100 ms"));
}

// Every reply comes after the time-out. The frames carry no transaction
// number, so on a reused connection a late reply would answer the next
// request; the host drops the connection instead, and nothing is stored.
TEST(HostLoop, LateRepliesAreNeverTakenForLaterRequests) {
    Rig r({"--delay-ms", "150", "--set", "1:h0=1", "--set", "1:h1=2"}, [](HostConfig &c) {
        c.timeoutMs = 100;
        c.retryLimit = 1;
    });
    r.start();
    for (const char *address : {"0", "1"})
        EXPECT_EQ(r.read(var(7, address)), PlcHost::Failed) << address;
    EXPECT_EQ(r.host->values(var(7, "0", 2)), (Values{0, 0}));
}

// A PLC that refuses every request: the polled value is failed and never
// shown, each request given up gets a line naming it, its station and the
// exception, and the connection stays, since a refusal is a whole reply.
TEST(HostLoop, RefusedRequestsFailWithTheExceptionNamed) {
    Rig r({"--exception-every", "1"}, [](HostConfig &c) { c.retryLimit = 1; });
    const Variable polled = var(7, "0", 2);
    r.start({polled});
    ASSERT_TRUE(r.host->waitScan(0, 3000));
    const Reading failed = r.host->reading(polled);
    EXPECT_EQ(failed.quality, Quality::Failed);
    EXPECT_TRUE(failed.data.isEmpty());
    EXPECT_EQ(failed.reason, "exception 4 (server device failure)");
    EXPECT_EQ(r.read(var(7, "10")), PlcHost::Failed);
    for (const char *line : {"station 1: read hold.word 0..1 (hold.word 0) given up: exception 4",
                             "station 1: read hold.word 10 (hold.word 10) given up: exception 4"})
        EXPECT_TRUE(r.reported(line)) << line;
    EXPECT_EQ(r.host->stats().reconnects, 0u);
}

// Every second request goes unanswered and each reply takes 100 ms: the
// value is stale while its block is retried, with its last good bytes.
TEST(HostLoop, ValueIsStaleWhileItsBlockIsRetried) {
    Rig r({"--drop-every", "2", "--delay-ms", "100", "--set", "1:h4=7"}, [](HostConfig &c) {
        c.timeoutMs = 300;
        c.retryLimit = 1;
    });
    const Variable v = var(7, "4");
    std::string error;
    ASSERT_TRUE(r.host->setPlan({v}, error)) << error;
    EXPECT_EQ(r.host->reading(v).quality, Quality::NeverRead);
    const auto before = WallClock::now();
    r.host->start();
    ASSERT_TRUE(r.host->waitScan(0, 3000));
    const Reading good = r.host->reading(v);
    EXPECT_EQ(good.quality, Quality::Good);
    EXPECT_EQ(good.data, le({7, 0}));
    EXPECT_TRUE(good.lastGood >= before && good.lastGood <= WallClock::now());
    ASSERT_TRUE(eventually([&] { return r.host->reading(v).quality == Quality::Stale; }));
    const Reading stale = r.host->reading(v);
    EXPECT_EQ(stale.data, le({7, 0}));
    EXPECT_EQ(stale.reason, "no reply within 300 ms");
    EXPECT_TRUE(eventually([&] { return r.host->reading(v).quality == Quality::Good; }));
    EXPECT_EQ(r.host->stats().givenUp, 0u);

    r.host->setStationEnabled(1, false);
    EXPECT_EQ(r.host->reading(v).reason, "station 1 switched off");
    EXPECT_TRUE(r.reported("station 1: switched off"));
}

// A peer that answers a write twice and answers unit 0 (which nobody may)
// costs one retry and no wrong value; its refusal of a register fails the
// polled value, which keeps its last good bytes.
TEST(HostLoop, SurplusRepliesNeverMeetALaterRequest) {
    std::atomic<int> writes{0};
    std::atomic<bool> refuse{false};
    ScriptedPeer plc([&](const QByteArray &request) -> QByteArray {
        const int function = static_cast<quint8>(request[modbus::kFunctionOffset]);
        const int first = modbus::getUint16(request.constData(), modbus::kAddressOffset);
        if (refuse)
            return replyTo(request, function | modbus::kExceptionFlag,
                           le({int(modbus::ExceptionCode::IllegalDataAddress)}));
        if (function != int(modbus::FunctionCode::ReadHoldingRegisters)) { // a write: the echo of its address and value or quantity
            const QByteArray echo = replyTo(request, function, request.mid(modbus::kAddressOffset, 4));
            return writes++ == 0 ? echo + echo : echo;
        }
        const int count = modbus::getUint16(request.constData(), modbus::kQuantityOffset);
        QByteArray data(1, static_cast<char>(2 * count));
        for (int reg = first; reg < first + count; ++reg) // each register holds its address
            data.append(le({reg >> 8, reg & 0xFF}));
        return replyTo(request, function, data);
    });
    HostConfig c = config(plc.port);
    c.multiStation = true;
    std::vector<std::string> lines;
    c.report = [&](const std::string &line) { lines.push_back(line); };
    PlcHost host(c);
    std::string error;
    const Variable polled = var(7, "30");
    ASSERT_TRUE(host.load(error) && host.setPlan({polled}, error)) << error;
    host.start();
    ASSERT_TRUE(host.waitScan(0, 3000));
    auto outcome = [&](bool ok, RequestId id) { return ok ? host.waitCompletion(id, 3000) : PlcHost::Failed; };
    RequestId id;
    EXPECT_EQ(outcome(host.write(var(7, "5"), le({1, 0}), &id, error), id), PlcHost::Done);
    EXPECT_EQ(outcome(host.readOnce(var(7, "10"), &id, error), id), PlcHost::Done);
    EXPECT_EQ(outcome(host.write(var(7, "5", 1, 0), le({2, 0}), &id, error), id), PlcHost::Done);
    EXPECT_EQ(outcome(host.readOnce(var(7, "20"), &id, error), id), PlcHost::Done);
    EXPECT_EQ(host.values(var(7, "10")), Values{10});
    EXPECT_EQ(host.values(var(7, "20")), Values{20});
    EXPECT_EQ(host.reading(polled).data, le({30, 0}));
    EXPECT_EQ(host.stats().failures, 1u);
    EXPECT_EQ(host.stats().reconnects, 2u); // after the refused surplus and after unit 0

    refuse = true;
    EXPECT_TRUE(eventually([&] { return host.reading(polled).quality == Quality::Failed; }));
    EXPECT_EQ(host.reading(polled).data, le({30, 0}));
    EXPECT_EQ(host.reading(polled).reason, "exception 2 (illegal data address)");
    host.stop();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "station 1: read hold.word 30 (hold.word 30) given up: exception 2 "
                        "(illegal data address)");
}

// A server that takes unit 0 for "this device" answers a broadcast write.
// A host that keeps its connection and reads one reply per frame then finds
// that answer in front of the next request's, and each reply after it one
// request late. Transaction ids tell them apart: each late reply fails and
// the frame's retry meets its own answer, so no value is ever another's.
TEST(HostLoop, TransactionIdsKeepANaiveHostInStepWithAServerAnsweringUnitZero) {
    SimProcess sim({"--answer-unit0", "-s", "1:h0=11", "-s", "1:h5000=22"});
    Plugin plugin;
    std::string error;
    ASSERT_TRUE(plugin.open(PLUGIN_PATH, &error)) << error;
    const PluginApi &api = plugin.api();
    ComInfo info{};
    info.maxRegsPerFrame = 100;
    info.retryLimit = 3;
    info.multiStation = 1;
    info.writeMode = PLC_WRITE_TO_PLC;
    api.SetComInfo(&info);
    api.RegistCallBackFuncIntf([](int, int, int, int) { return 0; },
                               [](QList<RW_VAR>, int, int) { return 0; });
    QList<HOSTVAR> plan{HOSTVAR(), HOSTVAR()};
    for (int i = 0; i < 2; ++i) {
        plan[i].regType = quint8(7 + i); // hold.word 0, ext.word 0 (register 5000)
        plan[i].station = 1;
        plan[i].address = QStringLiteral("0");
        plan[i].count = 1;
    }
    api.ReCreatReadVarList(&plan);
    api.SetRegisterData(QString(), 7, QStringLiteral("3"), 0, le({5, 0}), 1, 1, 1);
    TcpLink link;
    ASSERT_TRUE(link.open("127.0.0.1", sim.port(), 3000, error)) << error;
    for (int exchange = 0; exchange < 12; ++exchange) {
        const Protocol *p = api.ComCommunication();
        ASSERT_NE(p, nullptr);
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        QByteArray reply;
        ASSERT_EQ(link.send(p->frame, deadline), Io::Ok);
        if (p->replyLen != 0) {
            ASSERT_EQ(link.receiveModbusReply(&reply, deadline), Io::Ok);
        }
        EXPECT_NE(api.DataCom(&reply, reply.size())->result, PLC_RESULT_BAD_REPLY + 1);
    }
    for (int type : {7, 8}) {
        QByteArray value;
        ASSERT_EQ(api.GetRegisterData(nullptr, type, QStringLiteral("0"), 1, value, 1), 1);
        EXPECT_EQ(value, type == 7 ? le({11, 0}) : le({22, 0})) << "type " << type;
    }
}

// Replies arriving a few bytes at a time are reassembled, never cut.
TEST(HostLoop, RepliesSplitOverTcpSegments) {
    Rig r({"--split", "3", "--set", "1:h0=11", "--set", "1:h49=22", "--set", "1:i19=33"});
    const Variable holding = var(7, "0", 50), input = var(6, "0", 20);
    r.start({holding, input});
    EXPECT_TRUE(eventually([&] {
        Values h = r.host->values(holding), i = r.host->values(input);
        return h.size() == 50 && h[0] == 11 && h[49] == 22 && i.size() == 20 && i[19] == 33;
    }));
    EXPECT_EQ(r.host->stats().failures, 0u);
}

// A station that never answers is switched off for a while, so the live
// ones keep being polled; when the period ends it is tried (and demoted) again.
TEST(HostLoop, DeadStationIsDemotedWhileOthersKeepPolling) {
    Rig r({"--units", "1,2", "--animate"}, [](HostConfig &c) {
        c.multiStation = true;
        c.timeoutMs = 100;
        c.retryLimit = 0;
        c.demoteAfter = 1;
        c.demoteMs = 300;
    });
    const std::vector<Variable> plan = {var(6, "0", 1, 1), var(6, "0", 1, 3), var(6, "0", 1, 2)};
    r.start(plan);
    EXPECT_TRUE(eventually([&] { return r.host->stats().demotions >= 2; }));
    const std::uint32_t one = r.first(plan[0]), two = r.first(plan[2]);
    EXPECT_TRUE(eventually([&] { return r.first(plan[0]) > one + 3 && r.first(plan[2]) > two + 3; }));
    EXPECT_EQ(r.first(plan[1]), 0u);
    const Reading dead = r.host->reading(plan[1]);
    EXPECT_EQ(dead.quality, Quality::Failed);
    EXPECT_TRUE(dead.data.isEmpty());
    for (const char *line : {"station 3: read in.word 0 (in.word 0) given up: no reply within 100 ms",
                             "station 3: switched off for 300 ms", "station 3: switched back on"})
        EXPECT_TRUE(r.reported(line)) << line;
    EXPECT_TRUE(eventually([&] { // each time switched off until at most 300 ms on
        const std::vector<StationState> s = r.host->stations();
        return s.size() == 3 && s[0].on && s[1].on && s[2].station == 3 && !s[2].on &&
               s[2].backAt <= WallClock::now() + std::chrono::milliseconds(300);
    }));
}

// The PLC goes away and comes back on the same port: the host reconnects
// and resumes polling.
TEST(HostLoop, ResumesAfterThePlcRestarts) {
    const Variable word = var(7, "0");
    auto first = std::make_unique<SimProcess>(std::vector<std::string>{"--set", "1:h0=1"});
    ASSERT_TRUE(first->running());
    const int port = first->port();
    PlcHost host(config(port));
    std::string error;
    ASSERT_TRUE(host.load(error)) << error;
    ASSERT_TRUE(host.setPlan({word}, error)) << error;
    host.start();
    EXPECT_TRUE(eventually([&] { return host.values(word) == Values{1}; }));
    EXPECT_EQ(first->stop(), 0);
    first.reset();
    EXPECT_TRUE(eventually([&] { return host.stats().givenUp > 0; }));
    SimProcess second({"--port", std::to_string(port), "--set", "1:h0=2"});
    ASSERT_TRUE(second.running());
    EXPECT_TRUE(eventually([&] { return host.values(word) == Values{2}; }, 5000));
    EXPECT_GE(host.stats().reconnects, 1u);
    host.stop();
}

// 82 requests of 10 ms each: the wait runs out only when no exchange makes
// progress, not when the whole read takes longer than the idle time.
TEST(HostLoop, LongSplitReadIsDoneWhileItsRequestsProgress) {
    Rig r({"--delay-ms", "10", "--set", "1:h5000=1", "--set", "1:h13191=2"});
    r.start();
    EXPECT_EQ(r.read(var(8, "0", 8192), 500), PlcHost::Done);
    const Values words = r.host->values(var(8, "0", 8192));
    ASSERT_EQ(words.size(), 8192u);
    EXPECT_EQ(words.front() + words.back(), 3u);
    EXPECT_EQ(r.host->stats().exchanges, 82u);
}

double cpuSeconds() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return use.ru_utime.tv_sec + use.ru_stime.tv_sec + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// With no pause between passes and every station switched off, the loop
// sleeps; against a PLC that never answers, stop() does not wait for the
// 15 s time-out.
TEST(HostLoop, IdlesWithoutSpinningAndStopsAtOnce) {
    ScriptedPeer silent([](const QByteArray &) { return QByteArray(); });
    HostConfig c = config(silent.port);
    c.intervalMs = 0;
    c.timeoutMs = 15000;
    PlcHost host(c);
    std::string error;
    ASSERT_TRUE(host.load(error) && host.setPlan({var(7, "0")}, error)) << error;
    host.setStationEnabled(1, false);
    host.start();
    const double cpu = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(cpuSeconds() - cpu, 0.1);

    host.setStationEnabled(1, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the request is in flight
    const auto start = std::chrono::steady_clock::now();
    host.stop();
    const auto stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_LT(stopMs.count(), 2000);
    EXPECT_EQ(host.stats().exchanges, 0u);
}

// Unusable requests are refused with a reason before they reach the driver.
TEST(HostLoop, UnusableRequestsAreRefused) {
    HostConfig bad = config(1);
    bad.regsPerFrame = 0;
    std::string error;
    EXPECT_FALSE(PlcHost(bad).load(error));
    EXPECT_NE(error.find("registers per frame"), std::string::npos) << error;

    PlcHost host(config(1)); // single station 1, 100 registers per request
    EXPECT_FALSE(host.setPlan({var(7, "0")}, error));
    EXPECT_NE(error.find("not loaded"), std::string::npos) << error;
    ASSERT_TRUE(host.load(error)) << error;
    PlcHost second(config(1));
    EXPECT_FALSE(second.load(error)); // one driver object per plug-in file
    EXPECT_NE(error.find("already in use"), std::string::npos) << error;

    const struct {
        Variable v;
        const char *reason;
    } plans[] = {
        {var(7, "0", 1, 2), "multi-station"},
        {var(7, "0", 101), "more than the 100"},
        {var(13, "0"), "unknown type"},
    };
    for (const auto &p : plans) {
        EXPECT_FALSE(host.setPlan({var(7, "0"), p.v}, error)) << p.reason;
        EXPECT_NE(error.find(p.reason), std::string::npos) << error;
    }
    RequestId id;
    EXPECT_FALSE(host.write(var(6, "0"), le({1, 0}), &id, error));
    EXPECT_NE(error.find("read-only"), std::string::npos) << error;
    EXPECT_FALSE(host.readOnce(var(7, "0", 1, 0), &id, error));
    EXPECT_TRUE(host.values(var(0, "3")).empty());

    // A write that its full queue refuses is reported failed at once, on the
    // thread that asked (the loop is not even running).
    for (int i = 0; i < 1024; ++i)
        ASSERT_TRUE(host.write(var(7, std::to_string(i)), le({1, 0}), &id, error)) << error;
    ASSERT_TRUE(host.write(var(8, "0"), le({1, 0}), &id, error)) << error;
    EXPECT_EQ(host.waitCompletion(id, 0), PlcHost::Failed);
}

} // namespace
