/* Drive command layer: the two command buffers, the transport with its waiting dialog and
 * retries, reply assembly on the receive thread, the command set, the delay and error report
 * windows.
 *
 * Main thread, except mtp_cdcalbak and mtp_cdDDEbak, which run on the messaging layer's receive
 * thread and touch only the AppContext fields marked (rt); they reach windows only by posting
 * WM_COMEND. */
#pragma once
#include "shell/AppContext.h"
#include "shell/DlgTable.h"
#include "iw/iw.h"

enum : uint32_t {
    COM_AREA_LEN      = 75041,
    REPLY_LEN         = 75040,     /* data of a pass-through reply */
    REPLY_HEAD_LEN    = 2080,
    REPLY_BLOCK_LEN   = 912,
    FIRST_SEG_HEAD    = 20,        /* the first pass-through segment's head */
    TRANSFER_LEN_83   = 1064,
    TRANSFER_LEN      = 1040,
    ATTEMPTS          = 3,
    COM_TIMEOUT_S     = 63,
    PREFIX_LEN        = 8,         /* before the payload of a controller message */
};
enum : UINT { WM_COMEND = 0x417, UM_DELAY_START = 0x40D };
enum : UINT_PTR { TIMER_COM = 50, TIMER_DELAY = 57, TIMER_BLINK = 60 };
enum : UINT { TIMER_COM_MS = 1000, TIMER_DELAY_MS = 1000, TIMER_BLINK_MS = 500 };

/* Function codes, destination and this program's id in a request. */
enum : uint8_t {
    FD_DRIVE = 3, FC_PASS = 0x83, FC_PATH = 0x89, FC_READ = 0xBE, APP_ID = 0x0D,
    SF_PATH = 6, SF_LAMP = 5, SF_READ = 10,
    SEG_DATA = 1, SEG_END = 2,
};

/* Request offsets. */
enum : size_t {
    RQ_FD = 0, RQ_FC = 1, RQ_SF = 2, RQ_APP = 3,
    RQ_UNIT = 12, RQ_ROW_COUNT = 13, RQ_ROW_BITMAP = 20, RQ_DESC_LEN = 32, RQ_DIRECTION = 33,
    RQ_DESC = 34, RQ_DATA_LEN = 44, RQ_DATA_OUT = 48,
    RQ_PARAM_MARK = 16, RQ_PARAM_KIND = 17, RQ_SUBCMD = 18, RQ_ADAPTER = 19, RQ_BITMAP = 20,
};

/* Transport status of a command that got no complete reply. */
enum : uint16_t { COM_DONE = 0, COM_TIMED_OUT = 1, COM_CANCELLED = 3 };

#pragma pack(push, 1)
/* One row of a multi-drive reply, as the routines read it. */
struct RowResult {
    uint8_t valid;
    uint8_t errorByte;
    uint8_t unit;
    uint8_t row;
    uint8_t result;
    uint8_t senseKey;
    uint8_t senseCodeHi;
    uint8_t senseCodeLow;
    char    vendorId[8];
};

/* What every command hands back: the head, then the family's fields. */
struct DriveResult {
    uint32_t returnCode;
    uint16_t status;
    uint16_t spare;
    union {
        RowResult rows[ROW_COUNT];                              /* pass-through commands */
        struct { uint32_t answer; uint32_t bypass[ROW_COUNT]; } path;   /* path control */
        struct { uint16_t word8, word10, words12[16], word44; } read;   /* Drive Read */
    };
};
#pragma pack(pop)
static_assert(sizeof(RowResult) == 16, "RowResult size");
static_assert(offsetof(DriveResult, status) == 4, "DriveResult status");
static_assert(offsetof(DriveResult, rows) == 8, "DriveResult rows");
static_assert(offsetof(DriveResult, path.bypass) == 12, "DriveResult bypass");
static_assert(offsetof(DriveResult, read.word10) == 10, "DriveResult read word10");
static_assert(offsetof(DriveResult, read.words12) == 12, "DriveResult read words12");
static_assert(offsetof(DriveResult, read.word44) == 44, "DriveResult read word44");

static inline uint16_t GetBe16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
static inline uint32_t GetBe32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
static inline void PutBe16(uint8_t *p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
static inline void PutBe32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}

/* Trace.cpp */
/* One application trace line (kind 6), formatted in a buffer of the calling thread. */
void DcTrace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Transport.cpp */
int OpenCommunication();
int CloseCommunication();
/* Sends the request built in ComArea and waits for its reply: 1 complete, 0 with *status 1
 * (every attempt timed out) or 3 (cancelled). */
int SendCommand(HINSTANCE instance, HWND owner, uint16_t mainMp, uint16_t subMp, uint16_t timeout,
                uint16_t *status);
/* Receive handler of controller replies. Receive thread. */
extern "C" __declspec(dllexport) uint32_t WINAPI mtp_cdcalbak(IwMsgDesc *msg);
/* Drive name for the waiting windows: the current unit's first row under test. */
const char *DriveUnderTestName();
/* The blinking status text of the waiting windows (timer 60). */
void BlinkStatus(HWND dlg);
/* WM_TIMER and WM_COMEND of the command and error report windows. */
INT_PTR WaitTimer(HWND dlg, WPARAM id, LPARAM);
INT_PTR WaitEnd(HWND dlg, WPARAM, LPARAM);

/* Commands.cpp */
uint32_t CmdInquiry(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout, DriveResult *r);
uint32_t CmdTestUnitReady(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout, DriveResult *r);
uint32_t CmdRequestSense(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout, DriveResult *r);
uint32_t CmdStopUnit(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout, DriveResult *r);
uint32_t CmdStartUnit(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout, DriveResult *r);
uint32_t CmdSelfTest(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout, DriveResult *r);
uint32_t CmdLip(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r);
uint32_t CmdResetBypass(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r);
uint32_t CmdSetBypass(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r);
uint32_t CmdCheckBypass(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r);
uint32_t CmdRejectLamp(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout, DriveResult *r);
uint32_t CmdStartInline(uint16_t mp, uint16_t crNo, uint16_t timeout, DriveResult *r);
uint32_t CmdEndInline(uint16_t mp, uint16_t crNo, uint16_t timeout, DriveResult *r);
uint32_t CmdDriveRead(uint16_t mp, uint16_t crNo, uint16_t timeout, DriveResult *r);
/* Rows 0..79 set in a row bitmap. */
uint32_t CountRows(const uint32_t rows[3]);
/* Sets the drive's bit in word R; 0 and nothing set for C >= 32, R >= 80 or R >= rowLimit. */
int  MarkDrive(uint32_t *bitmap, uint16_t rowLimit, uint16_t crNo);
void ClearWords(uint32_t *bitmap, uint32_t n);

/* Windows.cpp */
/* Waits the seconds in the delay window; 1. */
int Delay(HINSTANCE instance, HWND owner, uint16_t seconds);
/* Error report window: sends errorRecord to the diagnosis log and waits; 1 acknowledged, 0
 * timed out. */
int ShowErrorReport(HINSTANCE instance, HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit,
                    uint8_t row, uint16_t count, uint16_t seconds);
/* Receive handler of the diagnosis log's acknowledgements. Receive thread. */
extern "C" __declspec(dllexport) uint32_t WINAPI mtp_cdDDEbak(IwMsgDesc *msg);
