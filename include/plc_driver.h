/*
 * plc_driver.h - the interface between a host application and the Modbus TCP
 * PLC driver plug-in.
 *
 * The host loads the plug-in, hands it a ComInfo settings record and two
 * callbacks, registers its variables, and then runs the communication loop on
 * one thread of its own:
 *
 *     for (;;) {
 *         Protocol *p = ComCommunication();          // next request, or null
 *         if (!p) { wait a little; continue; }
 *         send p->frame, collect up to p->replyLen bytes;
 *         RW_VAR *r = DataCom(&reply, reply.size());  // judge, store, advance
 *         r->result: 1 or 100 success, 0 retry pending, other values failure
 *     }
 *
 * Other host threads read and write values at any time with GetRegisterData
 * and SetRegisterData. Both callbacks are called with the driver's queue lock
 * held: a callback must not call back into a queue entry point
 * (AddList*, ReCreatReadVarList, SetRegisterData).
 *
 * The records below cross the plug-in boundary, so the order and width of
 * every field are part of the interface; the static_asserts at the end pin
 * them for Qt 5 and Qt 6, on 64-bit and 32-bit targets. Values cross the
 * interface least significant byte first.
 */
#ifndef PLC_DRIVER_H
#define PLC_DRIVER_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <stddef.h>

#define PLC_EXPORT __attribute__((visibility("default")))

/* One variable request: a cyclic block, a one-shot read or a write. */
struct RW_VAR {
    int hostTag0 = 0;   /* first host key, returned through the callbacks */
    int hostTag1 = 0;   /* second host key */
    int accessKind = 0; /* 0 read, 1 write */
    int remoteMode = 0; /* copy of ComInfo::remoteMode, carried only */
    int nodeId = 0;     /* equal to ComInfo::localNodeId: local-area exchange */
    int result = 0;     /* result code, meaningful in the record DataCom returns */
    QString label;      /* host text, carried unchanged */
    QString address;    /* address text: "12.3" for bits, "100" otherwise */
    int regType = 0;    /* type 0..11; area 0..2 in queued read records */
    int regAddr = 0;    /* register (or element) address */
    int station = 0;    /* Modbus unit identifier */
    int count = 0;      /* registers to read, or elements to write */
    int aux0 = 0;       /* -1 marks the read half of a byte write */
    int aux1 = 0;
    QByteArray value;   /* value bytes of a write, least significant first */
};

/* One prepared request frame, handed to the host by ComCommunication. */
struct Protocol {
    QByteArray frame;     /* the bytes to send */
    int frameLen = 0;     /* frame.size() */
    int replyLen = 0;     /* expected reply length; 0 none, -1 any */
    int replyHeadLen = 0; /* reply bytes in front of the register data */
    int dataLen = 0;      /* register data bytes in the reply */
    RW_VAR var;           /* the variable this frame serves */
    int hostData0 = 0;    /* free for the host, never touched by the driver */
    int hostData1 = 0;
    int hostData2 = 0;
};

/* The host's settings and status record, owned by the host. */
struct ComInfo {
    int hostReserved0;
    int hostReserved1;
    int hostReserved2;
    int hostReserved3;
    int maxRegsPerFrame; /* largest register count of one request (< 1 counts as 1) */
    int hostReserved4;
    int defaultStation;  /* station of every variable while multiStation is 0 */
    int retryLimit;      /* failed exchanges retried before a frame is given up */
    int retryCount;      /* failures counted so far (driver writes) */
    int multiStation;    /* 0 one station in register images, else per-station store */
    int hostStatus0;     /* cleared by SetComInfo */
    int framesExpected;  /* frames of the request being served (driver writes) */
    int framesDone;      /* frames of it answered so far (driver writes) */
    int hostStatus1;     /* cleared by SetComInfo */
    int remoteMode;      /* non-zero: remote-area records instead of Modbus TCP */
    int localNodeId;     /* node number of this side */
    int writeMode;       /* 2: SetRegisterData queues writes to the PLC */
    int cycleDone;       /* 1 once a full pass over the cyclic list completed */
    int hostHandle;      /* first argument of the completion callback */
    int hostReserved5;
    int hostReserved6;
    int hostReserved7;
    int hostReserved8;
};

/* The host's description of one cyclic variable, for ReCreatReadVarList. */
struct HOSTVAR {
    quint8 hostFlags = 0;
    quint8 regType = 0;  /* type 0..11 */
    quint8 station = 0;  /* used in multi-station mode only */
    quint8 hostByte = 0;
    qint32 hostWord = 0;
    QString address;
    QString label;
    qint32 count = 0;    /* number of elements */
};

/* completionCallback(hostHandle, hostTag0, hostTag1, status): status 1 done, 2 failed. */
typedef int (*CompletionCallback)(int hostHandle, int hostTag0, int hostTag1, int status);
/* notifyCallback(empty list, hostTag0, 1): a write was dispatched or an exchange given up. */
typedef int (*NotifyCallback)(QList<RW_VAR> list, int hostTag0, int flag);

/*
 * The driver's own codes. None of them changes a layout: every field and
 * argument that carries one stays a plain int.
 */

/* DataCom: RW_VAR::result of the record it returns. A request that is given
 * up carries base + k, where k = hostTag0 + 1 for hostTag0 0..11, else 1. */
enum PlcResultCode {
    PLC_RESULT_RETRY_PENDING = 0, /* failed, retries left: the frame stays pending */
    PLC_RESULT_DONE = 1,          /* accepted (Modbus TCP, or a remote frame of several) */
    PLC_RESULT_REMOTE_DONE = 100, /* accepted remote-area exchange */
    /* given up, Modbus TCP: */
    PLC_RESULT_INVALID_ACCESS = 10, /* an accessKind that is neither read nor write */
    PLC_RESULT_NO_REPLY = 40,
    PLC_RESULT_BAD_REPLY = 70, /* wrong length or contents, or an exception response */
    /* given up, remote-area records: */
    PLC_RESULT_REMOTE_INVALID_ACCESS = 110,
    PLC_RESULT_REMOTE_NO_REPLY = 140,
    PLC_RESULT_REMOTE_BAD_REPLY = 170
};

/* The last argument of completionCallback. */
enum PlcCompletionStatus { PLC_COMPLETION_DONE = 1, PLC_COMPLETION_FAILED = 2 };

/* RW_VAR::accessKind. */
enum PlcAccessKind { PLC_ACCESS_READ = 0, PLC_ACCESS_WRITE = 1 };

/* ComInfo::writeMode: only PLC_WRITE_TO_PLC queues writes; any other value
 * updates the local store only. */
enum PlcWriteMode { PLC_WRITE_LOCAL_ONLY = 0, PLC_WRITE_TO_PLC = 2 };

/* The mode argument of AddListOnceReadVar and AddListWriteVar: PLC_ADD_AS_IS
 * appends the record unchanged; any other value converts it (one-shot reads:
 * to register terms, cut and de-duplicated) or merges it (writes: replaces a
 * waiting write to the same target). */
enum PlcAddMode { PLC_ADD_MERGED = 0, PLC_ADD_AS_IS = 1 };

/* The op argument of EnCommStation. */
enum PlcStationOp { PLC_STATION_OFF = 0, PLC_STATION_ON = 1 };

extern "C" {

/* Three host values stored by FlashLocalRegister; the driver does not read them. */
PLC_EXPORT extern int LB;
PLC_EXPORT extern int LW;
PLC_EXPORT extern int RWI;

/* Set-up: SetComInfo and RegistCallBackFuncIntf come before every other call. */
PLC_EXPORT void SetComInfo(ComInfo *info);
PLC_EXPORT void FlashLocalRegister(int lb, int lw, int rwi);
PLC_EXPORT void RegistCallBackFuncIntf(CompletionCallback completion, NotifyCallback notify);
PLC_EXPORT int PLCAddressChangeIntef(int regType, QString address);

/* Queues. */
PLC_EXPORT int AddListReadVar(RW_VAR *var);
PLC_EXPORT int AddListOnceReadVar(RW_VAR *var, int mode);
PLC_EXPORT int AddListWriteVar(RW_VAR *var, int mode);
PLC_EXPORT int ReCreatReadVarList(QList<HOSTVAR> *vars);

/* The communication loop (one host thread). */
PLC_EXPORT Protocol *ComCommunication();
PLC_EXPORT void EnCommStation(int station, int op);
PLC_EXPORT RW_VAR *DataCom(QByteArray *reply, int length);

/* Values. */
PLC_EXPORT int GetRegisterData(void *ignored, int regType, QString address, int station,
                               QByteArray &data, int count);
PLC_EXPORT int QueryFinishFlag();
PLC_EXPORT int SetRegisterData(const QString &label, int regType, const QString &address,
                               int station, const QByteArray &value, int count,
                               int hostTag0, int hostTag1);

/* Utilities. */
PLC_EXPORT unsigned short CalSUM(unsigned char *buf, unsigned short len);
PLC_EXPORT unsigned short CalCRC(unsigned char *buf, unsigned short len);
PLC_EXPORT unsigned short CalLRC(unsigned char *buf, unsigned short len);
PLC_EXPORT unsigned short CalXOR(unsigned char *buf, unsigned short len);
PLC_EXPORT void Debug_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
PLC_EXPORT int DigitalToASCII(int value);
PLC_EXPORT int ASCIIToDigital(int ch);

} /* extern "C" */

/*
 * Layouts, pinned for each Qt major and pointer width. Qt 5's QString,
 * QByteArray and QList are one pointer wide, Qt 6's three (data header,
 * data pointer, size); every other field is a 32-bit int (HOSTVAR starts
 * with four single bytes). A plug-in and its host must use the same Qt major.
 */
#define PLC_BY_LAYOUT(qt5_64, qt5_32, qt6_64, qt6_32) \
    (QT_VERSION_MAJOR == 5 ? (sizeof(void *) == 8 ? (qt5_64) : (qt5_32)) \
                           : (sizeof(void *) == 8 ? (qt6_64) : (qt6_32)))
#define PLC_PIN(type, field, qt5_64, qt5_32, qt6_64, qt6_32) \
    static_assert(offsetof(type, field) == PLC_BY_LAYOUT(qt5_64, qt5_32, qt6_64, qt6_32), \
                  #type "::" #field " moved")
#define PLC_SIZE(type, qt5_64, qt5_32, qt6_64, qt6_32) \
    static_assert(sizeof(type) == PLC_BY_LAYOUT(qt5_64, qt5_32, qt6_64, qt6_32), \
                  #type " size changed")

static_assert(sizeof(int) == 4 && (sizeof(void *) == 8 || sizeof(void *) == 4),
              "the plug-in interface assumes 32-bit ints and 32- or 64-bit pointers");
static_assert(QT_VERSION_MAJOR == 5 || QT_VERSION_MAJOR == 6, "Qt 5 or Qt 6 only");
PLC_SIZE(QString, 8, 4, 24, 12);
PLC_SIZE(QByteArray, 8, 4, 24, 12);
PLC_SIZE(QList<RW_VAR>, 8, 4, 24, 12);

/*                             Qt 5      Qt 6
 *                           64   32   64   32 bits */
PLC_PIN(RW_VAR, hostTag0,     0,   0,   0,   0);
PLC_PIN(RW_VAR, hostTag1,     4,   4,   4,   4);
PLC_PIN(RW_VAR, accessKind,   8,   8,   8,   8);
PLC_PIN(RW_VAR, remoteMode,  12,  12,  12,  12);
PLC_PIN(RW_VAR, nodeId,      16,  16,  16,  16);
PLC_PIN(RW_VAR, result,      20,  20,  20,  20);
PLC_PIN(RW_VAR, label,       24,  24,  24,  24);
PLC_PIN(RW_VAR, address,     32,  28,  48,  36);
PLC_PIN(RW_VAR, regType,     40,  32,  72,  48);
PLC_PIN(RW_VAR, regAddr,     44,  36,  76,  52);
PLC_PIN(RW_VAR, station,     48,  40,  80,  56);
PLC_PIN(RW_VAR, count,       52,  44,  84,  60);
PLC_PIN(RW_VAR, aux0,        56,  48,  88,  64);
PLC_PIN(RW_VAR, aux1,        60,  52,  92,  68);
PLC_PIN(RW_VAR, value,       64,  56,  96,  72);
PLC_SIZE(RW_VAR,             72,  60, 120,  84);

PLC_PIN(Protocol, frame,         0,   0,   0,   0);
PLC_PIN(Protocol, frameLen,      8,   4,  24,  12);
PLC_PIN(Protocol, replyLen,     12,   8,  28,  16);
PLC_PIN(Protocol, replyHeadLen, 16,  12,  32,  20);
PLC_PIN(Protocol, dataLen,      20,  16,  36,  24);
PLC_PIN(Protocol, var,          24,  20,  40,  28);
PLC_PIN(Protocol, hostData0,    96,  80, 160, 112);
PLC_PIN(Protocol, hostData1,   100,  84, 164, 116);
PLC_PIN(Protocol, hostData2,   104,  88, 168, 120);
PLC_SIZE(Protocol,             112,  92, 176, 124);

PLC_PIN(HOSTVAR, hostFlags,   0,   0,   0,   0);
PLC_PIN(HOSTVAR, regType,     1,   1,   1,   1);
PLC_PIN(HOSTVAR, station,     2,   2,   2,   2);
PLC_PIN(HOSTVAR, hostByte,    3,   3,   3,   3);
PLC_PIN(HOSTVAR, hostWord,    4,   4,   4,   4);
PLC_PIN(HOSTVAR, address,     8,   8,   8,   8);
PLC_PIN(HOSTVAR, label,      16,  12,  32,  20);
PLC_PIN(HOSTVAR, count,      24,  16,  56,  32);
PLC_SIZE(HOSTVAR,            32,  20,  64,  36);

/* ComInfo holds ints only: one layout everywhere. */
#define PLC_PIN_INT(field, off) \
    static_assert(offsetof(ComInfo, field) == (off), "ComInfo::" #field " moved")
PLC_PIN_INT(hostReserved0, 0);
PLC_PIN_INT(maxRegsPerFrame, 16);
PLC_PIN_INT(hostReserved4, 20);
PLC_PIN_INT(defaultStation, 24);
PLC_PIN_INT(retryLimit, 28);
PLC_PIN_INT(retryCount, 32);
PLC_PIN_INT(multiStation, 36);
PLC_PIN_INT(hostStatus0, 40);
PLC_PIN_INT(framesExpected, 44);
PLC_PIN_INT(framesDone, 48);
PLC_PIN_INT(hostStatus1, 52);
PLC_PIN_INT(remoteMode, 56);
PLC_PIN_INT(localNodeId, 60);
PLC_PIN_INT(writeMode, 64);
PLC_PIN_INT(cycleDone, 68);
PLC_PIN_INT(hostHandle, 72);
PLC_PIN_INT(hostReserved5, 76);
PLC_PIN_INT(hostReserved8, 88);
static_assert(sizeof(ComInfo) == 23 * 4, "ComInfo size changed");

#undef PLC_PIN_INT
#undef PLC_SIZE
#undef PLC_BY_LAYOUT
#undef PLC_PIN

#endif /* PLC_DRIVER_H */
