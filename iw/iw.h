/* Messaging layer: the named objects of every AP id, the transfer to another application of the
 * suite, the receive thread, the history ring file and the failure record.
 *
 * Threads. The entries run on the caller's thread: the main thread, or the receive thread when
 * a receive handler sends. mtp1_iwini and iwend run on the main thread only. IwRecvThread runs
 * the receive handlers. g_iw is shared without a lock: recvRunning and recvThread are the only
 * fields one thread writes while the other reads them (each one aligned word, accessed through
 * Interlocked calls); curHeader belongs to the receive thread; every other field is written by
 * the main thread while no receive thread runs, or only read. RecvHandlerTable is swapped by the
 * communication library while no message is delivered. IwLayoutTable is filled by mtp1_iwini and
 * only read afterwards.
 *
 * The block in a DATA mapping is a wire format between processes: it is laid out byte for byte
 * here and everything read from another process's block is checked against the mapping first. */
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>
#include "svclib/mtptime.h"

/* ---- codes ---- */

enum : int32_t { IW_OK = 0, IW_FAIL = -1 };
enum : uint32_t { IW_TABLE_NO_MEMORY = 0x80000000u };   /* mtp1_iwini: layout table step failed */
enum : uint32_t { IW_HANDLED = 0x8000 };                /* a receive handler consumed the message */

/* Trace kinds; the AP-relative ones are added to ownApNo. */
enum : uint16_t {
    IW_KIND_INFO      = 0x0009,   /* start and end of mtp1_iwini and iwend */
    IW_KIND_ERROR     = 0x002B,   /* errors of mtp1_iwini and iwend */
    IW_KIND_TRN       = 0x1000,   /* + ownApNo: transfer steps, thread start and stop */
    IW_KIND_RECV      = 0x1100,   /* + ownApNo: receive thread steps */
    IW_KIND_COMMON    = 0x1000,   /* entries' start/end, mutex lines, thread file open/close */
    IW_KIND_REPLY_ERR = 0x10FF,   /* second copy of a failed wait for RECV_OK */
};

/* Message kinds: rows of RecvHandlerTable. */
enum : uint16_t { IW_ROW_DKC = 0, IW_ROW_SUB = 1, IW_ROW_AP = 2, IW_ROW_COUNT = 3 };

/* Access rights of the World ACEs and of the open fallbacks. */
enum : DWORD {
    IW_ACE_DENY          = 0x000C0000,   /* WRITE_DAC | WRITE_OWNER */
    IW_ACE_MUTEX         = 0x101F0001,   /* GENERIC_ALL | MUTEX_ALL_ACCESS */
    IW_ACE_EVENT         = 0x101F0003,   /* GENERIC_ALL | EVENT_ALL_ACCESS */
    IW_ACE_MAPPING       = 0x10000004,   /* GENERIC_ALL | FILE_MAP_READ */
    IW_OPEN_MUTEX        = 0x00100001,   /* SYNCHRONIZE | MUTEX_MODIFY_STATE: it must be released */
    IW_OPEN_EVENT        = 0x00100002,   /* SYNCHRONIZE | EVENT_MODIFY_STATE */
    IW_OPEN_MAPPING      = 0x000F001F,   /* FILE_MAP_ALL_ACCESS */
};

enum : uint32_t {
    IW_STAGE_MS       = 10000,   /* budget of one pumped wait stage (scaled by MTP_TIME_DIVISOR) */
    IW_PASSES         = 2,       /* a transfer makes at most two passes */
    IW_END_POLL_MS    = 100,     /* IwEnd's sleep between two looks at the thread */
    IW_END_POLLS      = 100,
    IW_WAKE_MASK      = 0xFF,    /* input that wakes a pumped wait */
    IW_NAME_LEN       = 32,      /* room for every object name */
    IW_APID_LEN       = 4,       /* two digits, a zero, one spare */
    IW_APNO_MAX       = 0xFF,
    IW_MPID_NONE      = 0x7FFF,  /* MPID of a cleared BitmapMP */
};

/* Fixed AP ids of the routing rules. */
#define IW_APID_08 "08"
#define IW_APID_09 "09"
#define IW_APID_0A "0A"

/* Name formats of the six objects of one AP id. */
#define IW_FMT_RECV    "Global\\MTP_EVENT_%s_RECV"
#define IW_FMT_SEND    "Global\\MTP_EVENT_%s_SEND"
#define IW_FMT_RECV_OK "Global\\MTP_EVENT_%s_RECV_OK"
#define IW_FMT_END     "Global\\MTP_EVENT_%s_END"
#define IW_FMT_MUTEX   "Global\\MTP_MUTEX_%s_SEND"
#define IW_FMT_DATA    "Global\\MTP_MAP_%s_DATA"
/* Held by the one process that receives as the id, from mtp1_iwini to iwend; senders never
 * open it. */
#define IW_FMT_RECEIVER "Global\\MTP_RECEIVER_%s"

/* ---- byte layouts ---- */

/* IwDataBlock: the contents of a DATA mapping, little-endian, packed. */
enum : size_t {
    HDR_KIND     = 0,
    HDR_FROM     = 2,
    HDR_TO       = 4,
    HDR_FUNC     = 6,
    HDR_ZERO1    = 8,
    HDR_TARGET1  = 9,
    HDR_TARGET2  = 43,
    HDR_DATALEN  = 77,
    HDR_TAG      = 81,
    HDR_EXTRALEN = 85,
    HDR_SENTAT   = 87,
    HDR_ZERO4    = 91,
    HDR_SIZE     = 95,     /* the extra part starts here, the data part behind it */
};
enum : size_t { BMP_BITS = 0, BMP_MPID = 32, BMP_SIZE = 34, BMP_BITS_LEN = 32 };

#pragma pack(push, 1)
struct BitmapMP {
    uint8_t  bits[BMP_BITS_LEN];   /* one bit per MP of the controller */
    uint16_t mpid;
};

struct IwHeader {
    uint16_t kind;        /* low 16 bits of the route: row of RecvHandlerTable */
    uint16_t from;        /* sender's ownApNo */
    uint16_t to;          /* destination AP number */
    uint16_t func;
    uint8_t  zero1;
    BitmapMP target1;
    BitmapMP target2;
    uint32_t dataLen;
    uint32_t tag;
    uint16_t extraLen;
    uint32_t sentAt;      /* sender's tick count */
    uint8_t  zero4[4];
};

/* Optional extra part of a message (in-process). */
struct IwExtra {
    uint16_t       len;
    const uint8_t *data;
};

/* IwLayoutTable entry: 16-bit values, the first is the prefix before a payload. */
struct IwLayout {
    uint16_t prefixLen;
    uint16_t value[4];
    uint8_t  spare;
};
#pragma pack(pop)

static_assert(offsetof(BitmapMP, mpid) == BMP_MPID, "BitmapMP mpid");
static_assert(sizeof(BitmapMP) == BMP_SIZE, "BitmapMP size");
static_assert(offsetof(IwHeader, kind) == HDR_KIND, "IwHeader kind");
static_assert(offsetof(IwHeader, from) == HDR_FROM, "IwHeader from");
static_assert(offsetof(IwHeader, to) == HDR_TO, "IwHeader to");
static_assert(offsetof(IwHeader, func) == HDR_FUNC, "IwHeader func");
static_assert(offsetof(IwHeader, zero1) == HDR_ZERO1, "IwHeader zero1");
static_assert(offsetof(IwHeader, target1) == HDR_TARGET1, "IwHeader target1");
static_assert(offsetof(IwHeader, target2) == HDR_TARGET2, "IwHeader target2");
static_assert(offsetof(IwHeader, dataLen) == HDR_DATALEN, "IwHeader dataLen");
static_assert(offsetof(IwHeader, tag) == HDR_TAG, "IwHeader tag");
static_assert(offsetof(IwHeader, extraLen) == HDR_EXTRALEN, "IwHeader extraLen");
static_assert(offsetof(IwHeader, sentAt) == HDR_SENTAT, "IwHeader sentAt");
static_assert(offsetof(IwHeader, zero4) == HDR_ZERO4, "IwHeader zero4");
static_assert(sizeof(IwHeader) == HDR_SIZE, "IwHeader size");
static_assert(offsetof(IwExtra, data) == 2, "IwExtra data");
static_assert(sizeof(IwExtra) == 2 + sizeof(void *), "IwExtra size");
static_assert(sizeof(IwLayout) == 11, "IwLayout size");

enum : size_t { IW_LAYOUT_ROWS = 4, IW_LAYOUT_COLS = 2 };

/* What a receive handler gets: the receiver's copies, valid until the handler returns. */
struct IwMsgDesc {
    IwHeader *header;     /* header, extra part behind it */
    uint8_t  *data;       /* data part, a block of the process heap */
};

typedef uint32_t (WINAPI *IwRecvProc)(IwMsgDesc *msg);

/* Process-wide state. "32-bit" values of the wire era are pointer-sized here. */
struct IwState {
    char           ownApId[IW_APID_LEN];  /* two upper-case hex digits */
    uint16_t       ownApNo;
    uintptr_t      apInstance;            /* mtp1_iwini's instance, 0 after iwend */
    uintptr_t      apWindow;              /* mtp1_iwini's window, 0 after iwend */
    HANDLE         recvThread;            /* null when no receive thread runs */
    LONG           recvRunning;           /* 1 while the receive thread is to go on */
    intptr_t       startMark;             /* instance when the thread was started, -1 none */
    intptr_t       endMark;               /* startMark as mtp1_iwini left it */
    uint32_t       retryCount;            /* passes of the transfer under way */
    IwHeader      *curHeader;             /* receive thread's copy being delivered, else null */
    HANDLE         receiverLock;          /* IW_FMT_RECEIVER of ownApId while receiving */
};

/* Mtp_iw04.cpp */
extern IwState  g_iw;
/* Rows DKC, SUB, AP; the thread calls the middle entry. All nine start as IwDefaultEntry. */
extern IwRecvProc RecvHandlerTable[IW_ROW_COUNT][3];
extern IwLayout IwLayoutTable[IW_LAYOUT_ROWS][IW_LAYOUT_COLS];
/* Creation with the World descriptor; on failure the existing object is opened. Null when
 * neither works or the descriptor cannot be built. Any thread. */
HANDLE IwCreateMutex(BOOL initialOwner, const char *name);
HANDLE IwCreateEvent(BOOL manualReset, BOOL initialState, const char *name);
HANDLE IwCreateMapping(HANDLE file, DWORD protect, DWORD sizeHigh, DWORD sizeLow, const char *name);
/* 1 when text is one or two hexadecimal digits; out gets two upper-case digits, *apNo the
 * number. 0 otherwise, outputs untouched. */
int  IwNormaliseApId(const char *text, char out[IW_APID_LEN], uint16_t *apNo);
/* Object name of an AP id from one of the IW_FMT_ formats. */
void IwFormatName(char name[IW_NAME_LEN], const char *fmt, const char *apId);
/* One trace line (kind as given) through the service library's trace log. Any thread. */
void IwTrace(uint16_t kind, const char *fmt, ...) __attribute__((format(gnu_printf, 2, 3)));
/* "%s%s(%u):%d" line for a failed system call: system text, source, line, error. */
void IwTraceSysError(uint16_t kind, unsigned line, DWORD error);
/* Fills IwLayoutTable; IW_OK or IW_TABLE_NO_MEMORY. Main thread. */
int32_t IwFillLayoutTable();
/* Payload of a received data copy: the copy advanced by the entry's prefix. Null when the
 * indices lie outside the table or copy is null. Receive thread. */
uint8_t *IwGetData(uint16_t row, uint16_t col, uint8_t *copy);
/* As IwGetData; *len is the copy's heap size less the prefix, 0 when shorter or on null. */
uint8_t *IwGetDataLen(uint16_t row, uint16_t col, uint8_t *copy, uint32_t *len);
/* The thread frees the copy after the handler; this only keeps the callers' contract. */
int  IwReleaseData(uint8_t *copy);

/* iwtrn.cpp */
/* The transfer: routing, handshake with pumped waits, one retry. 0, or -1. Caller's thread;
 * one transfer at a time per process. destination is rewritten in place (two upper-case
 * digits) when its text is not already so. */
int32_t Iwtrn(uint32_t route, const BitmapMP *target1, const BitmapMP *target2, uint16_t func,
              char *destination, uint32_t reserved, const void *data, uint32_t sdlenw,
              const IwExtra *extra, uint32_t tag);
/* As Iwtrn without the routing table: the message goes to destination whatever the route.
 * For peers that answer with a kind the routing would redirect (a controller reply). */
int32_t IwTransferTo(uint32_t route, const BitmapMP *target1, const BitmapMP *target2,
                     uint16_t func, char *destination, const void *data, uint32_t sdlenw,
                     const IwExtra *extra, uint32_t tag);
int32_t mtp1_iwtrn(uint32_t route, uint32_t mask1, uint32_t mask2, uint16_t func,
                   char *destination, uint32_t reserved, const void *data, uint32_t length);
int32_t mtp2_iwtrn_300(uint32_t route, uint16_t mpid1, uint16_t mpid2, uint16_t func,
                       char *destination, uint32_t reserved, const void *data, uint32_t length);
int32_t mtpi2_iwtrn_300(uint32_t route, uint16_t mpid1, uint16_t mpid2, uint16_t func,
                        char *destination, uint32_t reserved, const void *data, uint32_t length,
                        const IwExtra *extra, uint32_t tag);

/* iwrecv.cpp */
/* Starts the messaging of this process as apId. 0, -1 (thread or id refused, or another
 * process receives as apId already) or IW_TABLE_NO_MEMORY. Main thread. */
int32_t mtp1_iwini(uintptr_t instance, uintptr_t window, const char *apId);
/* Stops it and gives up the receiver's name; 0, or -1 when the END event cannot be had.
 * Main thread. */
int32_t iwend();
/* Gives up the receiver's name of the id (mtp1_iwini takes it). Main thread. */
void ReleaseReceiver();
int32_t IwIni(uintptr_t instance, uintptr_t window, const char *apId);
int32_t IwEnd();

/* iwhist.cpp */
enum : uint32_t {
    HIST_RECORDS   = 2000,
    HIST_HEAD_LEN  = 8,
    HIST_LINE_LEN  = 64,
    HIST_BODY_LEN  = 576,
    HIST_REC_LEN   = HIST_LINE_LEN + HIST_BODY_LEN,
    HIST_DATA_MAX  = 256,     /* data bytes shown in a transfer record */
};
#define HIST_PATH "c:\\trn600\\mp\\pc\\history.dmp"
/* Records of the ring file; 0, or -1 when the file can be neither opened nor created. HistTrn
 * writes nothing (and returns 0) when the history filter refuses func. Any thread. */
int HistTrn(const BitmapMP *target1, uint16_t func, const void *data, uint32_t len);
int HistIni(uintptr_t instance, uintptr_t window);
int HistEnd();

/* iwfail.cpp */
enum : uint32_t {
    FAIL_REC_LEN      = 140,
    FAIL_TEXT_LEN     = 24,
    FAIL_VALUE_IWEND  = 0x140,
    FAIL_SERIAL_FIRST = 0xF000,
    FAIL_SERIAL_DEF   = 0xEFFF,
    FAIL_APP_NONE     = 255,
};
#define FAIL_DIR      "c:\\trn600\\log"
#define FAIL_SEQ_PATH "c:\\TRN600\\LOG\\SEQNO.INI"
#define FAIL_APP_NAME "VESTRAID"
/* Next serial from SEQNO.INI (0xF000..0xFFFF on a fresh installation), written back. */
uint16_t NextFailureSerial();
/* Application code of a suite id, FAIL_APP_NONE when not in the list. */
uint8_t  FailureAppCode(const char *name);
/* The 140 bytes of a record as written when a temporary name was had. */
void FillFailureRecord(uint8_t rec[FAIL_REC_LEN], const char *text, uint16_t value,
                       uint16_t event, uint32_t detail, uint16_t serial);
/* Changes a record for the fixed file name used when no temporary name could be had. */
void MarkNoTempName(uint8_t rec[FAIL_REC_LEN], DWORD error);
/* Writes a record to a new file in FAIL_DIR. Main thread. */
void WriteFailureRecord(const char *text, uint16_t value, uint16_t event, uint32_t detail);
