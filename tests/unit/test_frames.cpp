// Request frames byte by byte: Modbus TCP reads, every kind of write
// (including the read-then-write pair of a byte), requests no 16-bit address
// can carry, a new transaction identifier per frame, and remote-area records.
#include "driver_fixture.h"

#include <QDataStream>
#include <QIODevice>

#include <climits>

namespace {

// A Modbus TCP request: transaction id, protocol 0, length, unit, then the PDU.
QByteArray tcp(int transaction, int unit, const QByteArray &pdu) {
    const int length = pdu.size() + 1;
    return bytes({transaction >> 8, transaction & 0xFF, 0, 0, length >> 8, length & 0xFF, unit}) + pdu;
}

using Frames = DriverTest;

// A request reaching past register 65535 (area 2 counts from 5000), of
// station 0 or of no area is refused, reported failed, and never sent to a
// wrapped address. Pdus in hex; none: refused.
TEST_F(Frames, Reads) {
    const struct { int station, area, regAddr, count; const char *pdu = nullptr; } cases[] = {
        {1, 1, 100, 10, "03 0064 000a"}, {17, 0, 0, 1, "04 0000 0001"},
        {300, 2, 10, 1, "03 1392 0001"}, // area 2 starts at 5000; unit 300 & 0xFF
        {1, 1, 65535, 1, "03 ffff 0001"}, {1, 2, 60535, 1, "03 ffff 0001"},
        {1, 2, 60535, 2}, {1, 2, 61000, 2}, {1, 1, 65535, 2}, {1, 1, 65536, 1}, {1, 1, -1, 40000},
        {1, 1, 0, 65537}, {0, 1, 0, 1}, {1, 3, 0, 1},
    };
    int transaction = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "area " << c.area << " at " << c.regAddr << " count " << c.count);
        callbacks = {};
        queue({readVar(c.station, c.area, c.regAddr, c.count, 7, 8)});
        Protocol *p = nextFrame();
        if (!c.pdu) {
            EXPECT_EQ(p, nullptr);
            EXPECT_EQ(callbacks.completions, (Calls{{42, 7, 8, 2}}));
            continue;
        }
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->frame.toHex(), tcp(++transaction, c.station & 0xFF, QByteArray::fromHex(c.pdu)).toHex());
        // header, function code and byte count, then two bytes a register
        EXPECT_EQ(std::make_tuple(p->frameLen, p->replyLen, p->replyHeadLen, p->dataLen),
                  std::make_tuple(12, 9 + 2 * c.count, 9, 2 * c.count));
        EXPECT_EQ(p->var.hostTag1, 8);
        EXPECT_EQ(std::make_pair(info.framesExpected, info.framesDone), std::make_pair(1, 0));
        EXPECT_EQ(answer(replyTo(*p)), 1);
    }
}

// The frames of each write; a byte write reads its register, which the PLC
// answers with 0 here, then writes it back with the byte merged in. Values and
// pdus in hex; no pdus: refused.
TEST_F(Frames, Writes) {
    const QByteArray sparse = "10 0000 0064 c8 007f" + QByteArray(396, '0');
    const struct { int regType, regAddr, station, count; QByteArray value; std::vector<QByteArray> pdus = {}; }
        cases[] = {
        {7, 100, 1, 1, "3412", {"06 0064 1234"}}, {8, 100, 1, 1, "3412", {"06 13ec 1234"}},
        {7, 100, 1, 2, "01020304", {"10 0064 0002 04 0201 0403"}},
        {7, 0, 1, 100, "7f", {sparse}}, {7, 100, 1, 1, "", {"06 0064 0000"}}, // a short value sends zeros
        {7, 0, 1, 124, ""}, {7, 100, 0, 1, "3412", {"06 0064 1234"}}, // function 16: at most 123; broadcast
        {10, 3, 1, 1, "78563412", {"10 0006 0002 04 5678 1234"}},
        {10, 0, 1, 1, "78", {"10 0000 0002 04 0078 0000"}},
        {1, 99, 1, 1, "02", {"05 0063 ff00"}}, // any non-zero is on
        {2, 3, 1, 7, "0101", {"05 138b ff00"}}, // count ignored
        {4, 7, 3, 1, "5a", {"03 0003 0001", "06 0003 5a00"}}, {0, 0, 1, 1, "0100"}, // read-only type
        {5, 6, 3, 1, "5a", {"03 138b 0001", "06 138b 005a"}}, {12, 0, 1, 1, "0100"}, // unknown type
        // the last addresses the wire reaches, and the first beyond them
        {4, 131071, 3, 1, "5a", {"03 ffff 0001", "06 ffff 5a00"}}, {4, 131072, 3, 1, "5a"},
        {4, -1, 3, 1, "5a"}, {10, INT_MAX, 1, 1, "01000000"},
        {1, 65535, 1, 1, "01", {"05 ffff ff00"}}, {1, 65536, 1, 1, "01"}, {2, 60536, 1, 1, "01"},
        {7, 65535, 1, 1, "0100", {"06 ffff 0001"}}, {7, 65535, 1, 2, "01000200"}, {8, 60535, 1, 2, "01000200"},
        {10, 32767, 1, 1, "01000000", {"10 fffe 0002 04 0001 0000"}}, {10, 32768, 1, 1, "01000000"},
    };
    int transaction = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.regType << " at " << c.regAddr);
        callbacks = {};
        const QByteArray value = QByteArray::fromHex(c.value);
        queue({writeVar(c.station, c.regType, c.regAddr, value, c.count, 5)});
        if (c.pdus.empty()) {
            EXPECT_EQ(nextFrame(), nullptr);
            EXPECT_EQ(callbacks.completions, (Calls{{42, 5, 0, 2}}));
            EXPECT_TRUE(callbacks.notifies.empty());
            continue;
        }
        for (const QByteArray &pdu : c.pdus) {
            Protocol *p = nextFrame();
            ASSERT_NE(p, nullptr);
            const bool readHalf = pdu.startsWith("03");
            EXPECT_EQ(p->frame.toHex(), tcp(++transaction, c.station, QByteArray::fromHex(pdu)).toHex());
            EXPECT_EQ(p->frameLen, p->frame.size());
            EXPECT_EQ(p->replyLen, c.station == 0 ? 0 : readHalf ? 11 : 12);
            EXPECT_EQ(std::make_pair(p->var.accessKind, p->var.aux0),
                      readHalf ? std::make_pair(0, -1) : std::make_pair(1, 0));
            EXPECT_EQ(p->var.value, value);
            EXPECT_EQ(info.framesExpected, int(c.pdus.size()));
            EXPECT_EQ(answer(replyTo(*p)), 1);
        }
        EXPECT_EQ(callbacks.notifies, std::vector<int>{5});
    }
    d.setCallbacks(nullptr, nullptr); // no callbacks: skipped
    queue({writeVar(1, 7, 10, bytes({0x34, 0x12}))});
    EXPECT_NE(d.nextRequest(), nullptr);
}

// Remote records: length byte, hostTag0, accessKind, nodeId, station (low 8
// bits each), regType and count (16 bits), regAddr, aux0, aux1 (32 bits), the
// value of a write, then the 8-bit sum of everything before it.
QByteArray record(const RW_VAR &v) {
    QByteArray out;
    QDataStream(&out, QIODevice::WriteOnly) << quint8(0) << quint8(v.hostTag0) << quint8(v.accessKind)
        << quint8(v.nodeId) << quint8(v.station) << quint16(v.regType) << v.regAddr << quint16(v.count)
        << v.aux0 << v.aux1;
    out += v.value;
    out[0] = static_cast<char>(out.size() + 1);
    quint8 sum = 0;
    for (char c : out)
        sum = quint8(sum + quint8(c));
    return out + static_cast<char>(sum);
}

// The length byte wraps modulo 256; the record keeps its full length and the
// sum covers all of it, also beyond the 16-bit length a sum call takes.
TEST_F(Frames, RemoteRecords) {
    info.remoteMode = 1;
    const auto counting = [](int n) { return QByteArray("\0\1\2\3\4\5\6", 7).repeated(n / 7 + 1).left(n); };
    // replyLen -2: no record at all.
    const struct { int accessKind, station, regType; QByteArray value; int replyLen, replyHeadLen; } cases[] = {
        {0, 3, 2, {}, 29, 9},
        {0, 0, 1, {}, -2, 0}, {0, 1, 3, {}, -2, 0}, {0, 1, 11, {}, -2, 0}, {0, 1, -1, {}, -2, 0},
        {1, 3, 7, bytes({0xDE, 0xAD, 0xBE, 0xEF}), 12, 0},
        {1, 0, 7, bytes({1, 0}), 0, 0}, // station 0 answers nothing
        {1, 3, 7, counting(233), 12, 0}, {1, 3, 7, counting(234), 12, 0}, {1, 3, 7, counting(70000), 12, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.regType << " station " << c.station);
        callbacks = {};
        const RW_VAR var{0x1FF, 0, c.accessKind, 0, 0x102, 0, {}, {}, c.regType, 0x12345678, c.station, 10,
                         -1, 0x0A0B0C0D, c.value};
        queue({var});
        Protocol *p = d.nextRequest();
        if (c.replyLen == -2) {
            EXPECT_EQ(p, nullptr);
            EXPECT_EQ(callbacks.completions.size(), 1u);
            continue;
        }
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->frame.toHex(), record(var).toHex());
        EXPECT_EQ(std::make_tuple(p->frameLen, p->replyLen, p->replyHeadLen, p->dataLen),
                  std::make_tuple(p->frame.size(), c.replyLen, c.replyHeadLen, c.replyHeadLen ? 20 : 0));
        answer(replyTo(*p));
    }
}

} // namespace
