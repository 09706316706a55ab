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
#include "base/dkcmsg.h"

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
    SIM_QUEUE_MAX     = 256,      /* messages waiting; the receive thread holds the next one back */
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
