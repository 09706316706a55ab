/* The suite's simulated peer applications: the controller communication application (AP "09",
 * DkcSim.exe), which executes drive commands against the simulated subsystem, and the diagnosis
 * log application (AP "05", DiagLogSim.exe), which acknowledges and records error reports.
 *
 * simcore.cpp owns what both share: the command line, the quit event, the queue of received
 * messages, the main thread's loop, scaled waits and trace lines. dkcdesc.cpp reads the
 * controller simulator's part of the subsystem description (drives and faults); diagdesc.cpp
 * the diagnosis log's part and its log line.
 *
 * Threads. The receive thread of the messaging layer only copies each message into the queue
 * (under g_simCore.lock) and wakes the main thread. Everything else, drive state, replies and
 * the log file, belongs to the main thread, which takes one message at a time, so a reply is
 * never sent while another is being built and the receive thread is never held up by a reply.
 *
 * Everything that arrives from another process or from the description file is untrusted: each
 * length is checked before anything is read. */
#pragma once
#include "iw/iw.h"
#include <stddef.h>
#include <stdint.h>

/* ---- byte helpers ---- */

static inline uint16_t GetBe16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
static inline uint32_t GetBe32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
static inline void PutBe16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
static inline void PutBe32(uint8_t *p, uint32_t v)
{
    PutBe16(p, uint16_t(v >> 16));
    PutBe16(p + 2, uint16_t(v));
}

/* ---- drive command requests and replies (wire formats, controller records big-endian) ---- */

/* Request: header, then the parameters of FC 0x83 or of FC 0x89 / 0xBE. */
enum : size_t {
    DREQ_FD = 0, DREQ_FC = 1, DREQ_SF = 2, DREQ_APID = 3,
    DREQ_UNIT = 12, DREQ_ROWCOUNT = 13, DREQ_ROWBITMAP = 20, DREQ_CDBLEN = 32, DREQ_DIR = 33,
    DREQ_CDB = 34, DREQ_DATALEN = 44,
    DREQ83_MIN = 46,               /* bytes the simulator reads of an FC 0x83 request */
    DREQ83_LEN = 1064,
    DREQ_MARK = 16, DREQ_KIND = 17, DREQ_SUB = 18, DREQ_ADAPTER = 19, DREQ_BITMAP = 20,
    DREQ89_MIN = 340,              /* through the 80 bitmap words */
    DREQ89_LEN = 1040,
    DREQ_CDB_LEN = 6, DREQ_ROWWORDS = 3,
};
enum : uint8_t {
    FD_DRIVE = 3,
    FC_PASS = 0x83, FC_PATH = 0x89, FC_READ = 0xBE,
    DREQ_MARK_VALUE = 0x30,
    KIND_PATH = 6, KIND_LAMP = 4, KIND_READ = 8,
    SUB_LIP = 0x13, SUB_RESETBYPASS = 0x14, SUB_SETBYPASS = 0x15, SUB_CHECKBYPASS = 0x16,
    SUB_STARTINLINE = 0x21, SUB_ENDINLINE = 0x22, SUB_REJECTLAMP = 0x02, SUB_READ = 0,
    CDB_TUR = 0x00, CDB_SENSE = 0x03, CDB_INQUIRY = 0x12, CDB_STARTSTOP = 0x1B, CDB_SELFTEST = 0x1D,
    CDB_IMMED = 0x01,              /* descriptor byte 1: reply before the drive is ready */
    CDB_START = 0x01,              /* descriptor byte 4: start (else stop) */
};
enum : uint16_t { MP_ID_BASE = 0x80 };

/* Reply message: 8-byte prefix, then the payload P, F and the segment data. */
enum : size_t { MSG_FLAGS = 1, MSG_PAYLOAD_LEN = 6, MSG_PREFIX = 8, PL_P = 0, PL_F = 1, PL_SEG = 2 };
enum : uint8_t { MSG_FIRST = 0x01, MSG_LAST = 0x02 };

/* Segment data. */
enum : size_t {
    SEG_ID = 0, SEG_FC = 1, SEG_SF = 2, SEG_FLAG = 3, SEG_RC = 4,
    SEG83_TOTAL = 8, SEG83_COUNT = 12, SEG83_HEAD = 20,     /* first FC 0x83 segment */
    SEG89_CR = 8, SEG89_ANSWER = 12, SEG89_MASK = 16, SEG89_LEN = 20,
    SEGBE_CR = 8, SEGBE_SIZE = 10, SEGBE_RECORDS = 12, SEGBE_RECORD_LEN = 64,
    SEGBE_LEN = 12 + 64 * 32,      /* head and one record per unit */
    SEG_HEAD_LEN = 12,             /* a data segment that carries only its head */
};
enum : uint8_t { SEG_DATA = 1, SEG_END = 2 };

/* FC 0x83 reply data: head, then one block per row. */
enum : size_t {
    R83_LEN = 75040, R83_HEAD = 2080, R83_BLOCK = 912,
    HEAD_UNIT = 0, HEAD_VALID_ROWS = 1, HEAD_MPID = 2, HEAD_ROWBITMAP = 4, HEAD_CDB = 16,
    HEAD_STATUS = 1058, HEAD_RC = 1183,
    BLK_FLAG = 0, BLK_ERROR = 1, BLK_CDEV = 2, BLK_RDEV = 3,
    BLK_DATA = 16,                 /* data from the drive (INQUIRY, REQUEST SENSE) */
    BLK_SELFTEST = 16, BLK_TUR = 18, BLK_INQ_RESULT = 22, BLK_VENDOR = 24, BLK_PRODUCT = 32,
    BLK_REVISION = 48, BLK_SENSE = 143,
    PRODUCT_LEN = 16, REVISION_LEN = 4,
    /* Inside the data from the drive: standard INQUIRY data, fixed-format sense data. */
    INQ_VERSION_AT = 2, INQ_FORMAT_AT = 3, INQ_ADD_LEN_AT = 4, INQ_DATA_LEN = 36,
    SENSE_KEY_AT = 2, SENSE_ADD_LEN_AT = 7, SENSE_ASC_AT = 12, SENSE_ASCQ_AT = 13,
};
enum : uint8_t { HEAD_STATUS_OK = 0, HEAD_STATUS_NO_ROW = 1, HEAD_STATUS_RC = 2 };

/* Drive Read record, one per unit. */
enum : size_t {
    REC_FLAG = 0, REC_CDEV = 1, REC_RDEV = 2, REC_ERROR = 3, REC_VALUE = 4, REC_PDEV = 8,
    REC_STATE = 10, REC_COUNTERS = 12, REC_SELFTEST = 44,
};
enum : uint16_t {
    STATE_READY = 0x0001, STATE_STOPPED = 0x0002, STATE_SPINNING = 0x0004,
    STATE_BYPASS_A = 0x0010, STATE_BYPASS_B = 0x0020, STATE_LAMP = 0x0100, STATE_INLINE = 0x0200,
};

/* Drive answers. */
enum : uint8_t {
    STATUS_GOOD = 0x00, STATUS_CHECK = 0x02,          /* error byte */
    TUR_READY = 0x00, TUR_NOT_READY = 0x17,           /* TEST UNIT READY result byte */
    SENSE_NOT_READY = 0x02, ASC_NOT_READY = 0x04,
    ASCQ_BECOMING_READY = 0x01, ASCQ_START_NEEDED = 0x02,
    SENSE_ILLEGAL = 0x05, ASC_BAD_OPCODE = 0x20,
    SENSE_FIXED = 0x70, SENSE_ADD_LEN = 10,
    INQ_VERSION = 0x05, INQ_FORMAT = 0x02, INQ_ADD_LEN = INQ_DATA_LEN - 5,
};

/* Controller return codes. */
enum : uint32_t { RC_OK = 0, RC_NO_DRIVE = 0x0F001750, RC_BAD_REQUEST = 0x0F0017FF };

/* Error report request and its acknowledgement. */
enum : size_t {
    DIAG_REQ_KIND = 0, DIAG_REQ_OP = 1, DIAG_REQ_UNIT = 12, DIAG_REQ_ROW = 13, DIAG_REQ_MP = 15,
    DIAG_REQ_ROUTINE = 20, DIAG_REQ_STEP = 21, DIAG_REQ_DETAIL = 22, DIAG_REQ_TMPCFG = 43,
    DIAG_REQ_LEN = 1064,
    DIAG_ACK_APNO = 0, DIAG_ACK_BYTE1 = 1, DIAG_ACK_SEQ = 4, DIAG_ACK_UNIT = 12, DIAG_ACK_ROW = 13,
    DIAG_ACK_CODE = 14,
};
enum : uint8_t { DIAG_KIND_REPORT = 5, DIAG_OP_REPORT = 1, DIAG_ACK_OK = 1, DIAG_ACK_REFUSED = 0 };

/* ---- the shared core (simcore.cpp) ---- */

#define SIM_APID_DKC  "09"
#define SIM_APID_DIAG "05"
#define SIM_QUIT_FMT  "Global\\MTP_SIM_%s_QUIT"

enum : uint16_t { SIM_TRACE_BASE = 0x0200 };      /* trace kind: base + own AP number */

/* Exit codes of both programs. */
enum : int {
    SIM_EXIT_QUIT     = 0,    /* the quit event was set (or WM_QUIT) */
    SIM_EXIT_START    = 1,    /* messaging, quit event or configuration could not be had */
    SIM_EXIT_LIFETIME = 2,    /* --lifetime ran out */
    SIM_EXIT_USAGE    = 3,    /* bad command line */
};

enum : uint32_t {
    SIM_QUEUE_MAX     = 256,      /* messages waiting; more are dropped */
    SIM_MSG_MAX       = 65536,    /* data bytes of one accepted message */
    SIM_EVENT_NAME    = 128,      /* quit event name, NUL included */
    SIM_LIFETIME_MAX  = 86400,    /* seconds */
    SIM_TRACE_LEN     = 512,
};

/* Row bits of the message kinds a program serves. */
enum : uint16_t { SIM_ROW_DKC = 1u << IW_ROW_DKC, SIM_ROW_SUB = 1u << IW_ROW_SUB, SIM_ROW_AP = 1u << IW_ROW_AP };

struct SimArgs {
    char     quitEvent[SIM_EVENT_NAME];
    uint32_t lifetimeS;          /* 0: none */
};

/* One received message, copied off the receive thread. The data follows the record. */
struct SimMsg {
    SimMsg  *next;
    uint16_t kind;               /* row of the message */
    uint16_t from;               /* sender's AP number */
    uint16_t func;
    uint16_t mpid;               /* target1's MPID */
    uint32_t dataLen;
    uint8_t *data;
};

/* Executes one message on the main thread; the record is freed after it returns. */
typedef void (*SimHandleFn)(const SimMsg *msg);

/* Names the program for its trace lines (kind SIM_TRACE_BASE + AP number). Call first. */
void SimInit(const char *apId, const char *name);
/* Reads "--quit-event NAME" and "--lifetime SECONDS"; the quit event defaults to
 * SIM_QUIT_FMT with the AP id. Returns 1, or 0 on anything else (a usage error). */
int SimParseArgs(int argc, char **argv, const char *apId, SimArgs *a);
/* Runs the program as apId: quit event, receive handlers for the rows in rowMask, messaging,
 * the main thread's loop calling fn per queued message, then iwend. Returns the exit code.
 * The caller has loaded its configuration: requests can arrive as soon as RECV is set. */
int SimRun(const char *apId, const char *name, const SimArgs *a, uint16_t rowMask, SimHandleFn fn);
/* Waits ms (scaled by MTP_TIME_DIVISOR); 1 when the time passed, 0 when the quit event came
 * first. Main thread. */
int SimSleep(uint32_t ms);
/* The same for a time already scaled. */
int SimWaitReal(uint32_t ms);
/* 1 when the quit event is set. Any thread. */
int SimQuitSet();
/* One trace line of kind SIM_TRACE_BASE + own AP number. Any thread. */
void SimTrace(const char *fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
/* Two upper-case hex digits of an AP number; 0 when it has more. */
int SimApIdText(uint16_t apNo, char out[IW_APID_LEN]);

/* Profile reads, bounded. SimIniText: 1 when the key has a non-empty value that fits in len
 * (NUL included). SimParseNum: the whole text one number ("0x" makes it hex, else base), at
 * most max. */
int SimIniText(const char *path, const char *sect, const char *key, char *buf, uint32_t len);
int SimParseNum(const char *text, int base, uint32_t max, uint32_t *out);
/* The description file (SubsysGetPath) and whether it exists. 0 when the path does not fit. */
int SimDescPath(char *buf, uint32_t len, int *exists);

/* ---- the controller simulator's description (dkcdesc.cpp) ---- */

enum : int {
    SIM_UNITS      = 32,
    SIM_ROWS       = 80,
    SIM_FAULT_MAX  = 64,
    SIM_VENDOR_LEN = 8,
    SIM_SENSE_LEN  = 3,
    SIM_SECTIONS_LEN = 65536,    /* bytes of section names or of one section read */
    SIM_VALUE_LEN  = 256,
};

enum : uint32_t {
    SIM_SEGMENT_DEFAULT = 4096,
    SIM_SEGMENT_MAX     = 65513,    /* 16-bit payload length less P, F and the 20-byte head */
    SIM_SPINUP_DEFAULT  = 5000,
    SIM_MS_MAX          = 600000,   /* any configured delay */
    SIM_COUNT_MAX       = 1000000,
};

enum : uint8_t { SIM_MP_NONE = 0xFF, SIM_PATH_A = 1, SIM_PATH_B = 2 };

/* Commands that faults can name. */
enum : uint8_t {
    SIM_CMD_TUR, SIM_CMD_INQUIRY, SIM_CMD_SENSE, SIM_CMD_STOP, SIM_CMD_START, SIM_CMD_SELFTEST,
    SIM_CMD_OTHER,                                   /* a descriptor of another opcode */
    SIM_CMD_LIP, SIM_CMD_RESETBYPASS, SIM_CMD_SETBYPASS, SIM_CMD_CHECKBYPASS,
    SIM_CMD_STARTINLINE, SIM_CMD_ENDINLINE, SIM_CMD_REJECTLAMP, SIM_CMD_DRIVEREAD,
    SIM_CMD_COUNT,
    SIM_CMD_ANY = 0xFF,                              /* a fault for every command */
};

enum : uint8_t {
    SIM_FAULT_TIMEOUT,      /* no reply at all */
    SIM_FAULT_RC,           /* controller return code arg */
    SIM_FAULT_ERROR,        /* error byte arg in the drive's row report */
    SIM_FAULT_WRONGROW,     /* the row report names the next row */
    SIM_FAULT_MISSINGROW,   /* no row report (flag 0) */
    SIM_FAULT_SLOW,         /* arg ms before the reply */
};

struct SimFault {
    uint8_t  anyDrive;          /* 1: not tied to a drive */
    uint16_t pdev;
    uint8_t  cmd;               /* SIM_CMD_…, or SIM_CMD_ANY */
    uint8_t  kind;              /* SIM_FAULT_… */
    uint32_t arg;
    int32_t  remaining;         /* commands it still applies to; -1 every one */
};

/* One addressable drive (unit < 32, row < 80). Main thread only. */
struct SimDrive {
    uint8_t  present;           /* mapped and equipped in the description */
    uint8_t  mpA, mpB;          /* MP numbers of its paths, SIM_MP_NONE when unknown */
    uint8_t  bypassed;          /* SIM_PATH_A | SIM_PATH_B */
    uint8_t  stopped;
    uint8_t  spinning;          /* started, not yet found ready */
    uint8_t  neverReady;        /* stays not ready after a START UNIT */
    uint8_t  lamp;              /* reject lamp lit */
    uint8_t  inlineOn;          /* between Start Inline and End Inline */
    uint8_t  selfTest;          /* SELF TEST result byte */
    uint8_t  sense[SIM_SENSE_LEN];   /* key, ASC, ASCQ of a ready drive */
    char     vendor[SIM_VENDOR_LEN]; /* not NUL-terminated */
    uint32_t driveValue;        /* Drive Read's drive value */
    uint32_t spinUpMs;
    uint32_t spinStart;         /* tick of the START UNIT */
};

struct DkcConfig {
    uint8_t  fileRead;          /* the description file was there */
    uint8_t  demoFaults;
    uint32_t segmentLen;        /* FC 0x83 reply bytes per segment */
    uint32_t spinUpMs;
    int      driveCount;        /* present drives */
    SimDrive drive[SIM_UNITS][SIM_ROWS];
    int      faultCount;
    SimFault fault[SIM_FAULT_MAX];
};

/* Vendor identifications the program accepts, and the demo's refused one. */
extern const char *const kSimVendors[3];
#define SIM_DEMO_VENDOR "OLDVEND1"

/* Fills c from the description at path (null: none): drives from the subsystem description,
 * then [Sim], [Drive.XXXX] and [Fault]; DemoFaults on top when asked for. Returns 1, 0 when
 * the memory for the subsystem description cannot be had. Main thread. */
int DkcLoadConfig(DkcConfig *c, const char *path);
/* Adds the faults of one [Fault] line; returns how many were added (0 for a bad line). */
int DkcAddFaults(DkcConfig *c, const char *key, const char *value);
/* Command of a [Fault] key name, SIM_CMD_ANY for "ANY"; 0 when unknown. */
int DkcCommandByName(const char *name, uint8_t *cmd);
const char *DkcCommandName(uint8_t cmd);

/* ---- the diagnosis log's description and log line (diagdesc.cpp) ---- */

enum : uint32_t {
    DIAG_ACK_LEN      = 16,
    DIAG_REQ_MIN      = 44,     /* bytes up to the temporary-configuration flag */
    DIAG_LINE_LEN     = 256,
    DIAG_DETAIL_COUNT = 16,
};
#define DIAG_LOG_DEFAULT "c:\\trn600\\log\\diaglog.txt"

struct DiagConfig {
    uint32_t ackDelayMs;
    uint8_t  ack;               /* 0: acknowledgements withheld */
    uint8_t  ackByte1;
    char     logPath[MAX_PATH];
};

/* [DiagLog] of the description and MTP_DIAG_LOG. Returns 1, 0 when the log path does not fit. */
int DiagLoadConfig(DiagConfig *c, const char *descPath);
/* Decodes an error report into one line (no line end): time, drive, MP, routine, step, code,
 * detail bytes, flag, sender. Returns 1, or 0 (line untouched) when req is not a report. */
int DiagFormatLine(const uint8_t *req, uint32_t len, uint16_t from, const SYSTEMTIME *t,
                   char *line, size_t lineLen);
