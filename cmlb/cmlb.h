/* Controller communication library: the one communication session, its attachment to the
 * messaging layer with the swap of the receive handlers, and the communication trace files.
 *
 * The session and the trace state are set and cleared on the main thread. The receive handlers
 * RecvDKC, RecvSUB and RecvAP run on the messaging layer's receive thread and only read the
 * session and the saved handler table, which do not change while the session is attached. */
#pragma once
#include <windows.h>
#include <stdint.h>
#include "iw/iw.h"

enum : uint16_t {
    CM_OK             = 0,
    CM_ERR_NO_AP      = 0x0300,     /* apId not in ApTable */
    CM_ERR_MESSAGING  = 0x0301,     /* the messaging layer refused to start (mtp1_iwini) */
    CM_MODE_QUERY     = 0,
    CM_MODE_ATTACH    = 1,
    CM_MODE_DETACH    = 2,
    CM_WAIT_TEXT_MAX  = 99,         /* characters of the waiting text */
    CM_AP_ROWS        = 23,
    CM_AP_CODES_LEN   = 26,
};

/* Trace modes. */
enum : uint16_t {
    CMT_LINE       = 0,    /* format, values */
    CMT_OPEN       = 1,    /* id text, flags */
    CMT_CLOSE      = 2,
    CMT_DUMP_SHORT = 3,    /* data, length, label: at most 64 bytes, unless quiet */
    CMT_DUMP       = 4,    /* data, length, label */
    CMT_LINE_QUIET = 6,    /* format, values: unless quiet */
    CMT_FLAGS      = 7,    /* u32* old flags (may be null), new flags: takes bit 2 */
};
enum : uint16_t { CMT_FLAG_ALT_FILES = 0x0001, CMT_FLAG_QUIET = 0x0004 };
enum : uint32_t {
    CMT_FILE_SIZE     = 655616,   /* a trace file is created at this size, all spaces */
    CMT_ROTATE_AT     = 655360,   /* a write offset from here on starts a new file */
    CMT_HEADER_LEN    = 25,       /* "CMLB_TRACE   Seq=%06d\r\n" */
    CMT_SEQ_AT        = 17,       /* the offset digits start here */
    CMT_LINE_MAX      = 256,      /* formatted message, terminator included */
    CMT_DUMP_SHORT_MAX = 64,
    CMT_HEX_PER_LINE  = 32,
};
#define CMT_FILE_MAIN      "c:\\trn600\\mp\\pc\\mtp_cmlb.dmp"
#define CMT_FILE_MAIN_PREV "c:\\trn600\\mp\\pc\\mtp_cmlb.dmb"
#define CMT_FILE_ALT       "c:\\trn600\\mp\\pc\\mtp_cmlx.dmp"
#define CMT_FILE_ALT_PREV  "c:\\trn600\\mp\\pc\\mtp_cmlx.dmb"

/* What the application hands to CMSETComenv; zero-filled by the caller. The handle, text
 * and procedure fields of the 32-bit record are pointer-sized in this build: the record only
 * passes between the application and this library. */
struct ComenvParam {
    uintptr_t   hInstance;
    uintptr_t   hwndOwner;
    uint8_t     apId;
    uint16_t    ddeFlag;
    uint16_t    envFlags;
    const char *waitText;     /* null for the default */
    uintptr_t   progressProc;
    uint16_t    traceFlags;
};

#pragma pack(push, 1)
/* One application of the suite. */
struct ApTableRow {
    uint8_t     apId;
    const char *idText;       /* two upper-case hex digits */
    const char *name;
    uint8_t     codes[CM_AP_CODES_LEN];
};
#pragma pack(pop)

/* The session. Handles and procedures are pointer-sized in this build. */
struct Comenv {
    uintptr_t          hInstance;
    uintptr_t          hwndOwner;
    uint8_t            apId;
    uint16_t           ddeFlag;
    uint16_t           envFlags;
    char               waitText[CM_WAIT_TEXT_MAX + 1];
    uintptr_t          progressProc;
    const ApTableRow  *apRow;
    HWND               hwndWait;     /* the library's own waiting window: never opened here */
    uint16_t           traceFlags;
};

/* Mtplow0.cpp */
extern const ApTableRow ApTable[CM_AP_ROWS];
extern Comenv  *g_comenv;            /* null while no session is set */
/* The library's own receive rows, and the application's table as saved at attach. */
extern IwRecvProc g_cmRecvTable[IW_ROW_COUNT][3];
extern IwRecvProc g_cmSavedTable[IW_ROW_COUNT][3];
/* Sets the session and attaches it: CM_OK, CM_ERR_NO_AP, or CM_ERR_MESSAGING when the
 * messaging layer did not start (the session is then not set). Main thread. */
uint16_t CMSETComenv(const ComenvParam *param);
/* Ends the session (detach); a second call only traces. Main thread. */
void     CMDELComend();
/* Attach (1), detach (2) or query (0). Attach returns 0 when already attached or when the
 * messaging layer does not start (the handlers are then put back). Main thread. */
int      CMLB_INI(Comenv *env, uint16_t mode);
uint32_t WINAPI RecvDKC(IwMsgDesc *msg);
uint32_t WINAPI RecvSUB(IwMsgDesc *msg);
uint32_t WINAPI RecvAP(IwMsgDesc *msg);

/* cmtrace.cpp */
/* The communication trace: writes lines and dumps, opens and closes (modes above). Lines are
 * written with the file opened and closed each time; a failure drops the line. Any thread. */
void CMTrace(int mode, ...);
/* The trace file pair in use (current and previous). */
void CMTraceFiles(const char **current, const char **previous);
