/* Drive command layer: the two command buffers, the transport with its waiting dialog and
 * retries, reply assembly on the receive thread, the command set, the delay and error report
 * windows.
 *
 * Main thread, except mtp_cdcalbak and mtp_cdDDEbak, which run on the messaging layer's receive
 * thread and touch only the AppContext fields marked (rt); they reach windows only by posting
 * WM_COMEND. */
/* Drive command layer: the two command buffers, the transport with its waiting dialog and
 * retries, reply assembly on the receive thread, the command set, the delay and error report
 * windows.
 *
 * Owns the transport state g_dc. Main thread, except mtp_cdcalbak and mtp_cdDDEbak, which run on
 * the messaging layer's receive thread and touch only the fields of g_dc marked (rt); they reach
 * windows only by posting WM_COMEND. What the layers above decide (instance, owner window, modes,
 * the drive name of the waiting windows) comes down once through ConfigureDriveCommands. */
#pragma once
#include "base/dkcmsg.h"
#include "base/DlgTable.h"
#include "iw/iw.h"

enum : uint32_t {
    COM_AREA_LEN      = 75041,
    ATTEMPTS          = 3,
    COM_TIMEOUT_S     = 63,
};
enum : UINT { WM_COMEND = 0x417, UM_DELAY_START = 0x40D };
enum : UINT_PTR { TIMER_COM = 50, TIMER_DELAY = 57, TIMER_BLINK = 60 };
enum : UINT { TIMER_COM_MS = 1000, TIMER_DELAY_MS = 1000, TIMER_BLINK_MS = 500 };
enum : uint8_t { APP_ID = 0x0D };       /* this program in a request */
enum : uint8_t { DISPLAY_INTERACTIVE = 0x00, DISPLAY_AUTOMATIC = 0xFF };
enum : uint32_t { DRIVE_NAME_LEN = 16, RC_LEN = 4 };

/* What the shell decides and this layer follows. Set by ConfigureDriveCommands. */
struct DcConfig {
    HINSTANCE  instance;
    HWND       mainWnd;             /* owner of the waiting windows, the session's window */
    uint8_t    displayMode;         /* DISPLAY_INTERACTIVE or DISPLAY_AUTOMATIC */
    uint16_t   debugMode;           /* 1: Stop cancels the command; delays show no Stop */
    uint32_t   tmpDirFlag;          /* told to the diagnosis log with each report */
    /* Names of drives in the waiting windows, from the routines' drive table: the drive under
     * test, and a drive by unit and row. */
    const char *(*driveUnderTest)();
    const char *(*driveName)(uint32_t unit, uint32_t row);
};

/* Transport state. The fields marked (rt) are also written by the receive thread while a
 * waiting window is up; the main thread reads them after the window has ended. */
struct DcState {
    DcConfig   cfg;
    uint8_t   *comArea;             /* request buffer, COM_AREA_LEN bytes */
    uint8_t   *comRArea;            /* reply buffer, COM_AREA_LEN bytes */
    HGLOBAL    comAreaMem, comRAreaMem;
    uint32_t   comenvSet;
    volatile uint32_t communicating;    /* (rt) read */
    volatile uint8_t  expectedFc;       /* (rt) read */
    uint16_t   mainMp, subMp;
    uint16_t   comTimeout;          /* seconds */
    uint32_t   comTicks;
    uint32_t   waitTimedOut;
    uint32_t   cancelFlag;
    uint32_t   stopRequested;       /* Stop pressed: the run ends after this unit */
    uint32_t   attempt;             /* 1..ATTEMPTS of the command under way */
    volatile uint32_t segmentsIn;       /* (rt) reply segments taken in this attempt */
    volatile uint32_t bytesIn;          /* (rt) their segment bytes */
    volatile int16_t  comCnt;           /* (rt) */
    uint8_t   *volatile replyWritePtr;  /* (rt) */
    volatile uint32_t replyRemaining;   /* (rt) */
    volatile uint32_t kipdevSize;       /* (rt) */
    volatile uint32_t endSegmentSeen;   /* (rt) */
    volatile uint32_t dataComplete;     /* (rt) */
    volatile uint8_t  comResult[RC_LEN];    /* (rt) the last return code, as its wire bytes */
    volatile uint32_t checkBypassMode;  /* (rt) read */
    uint32_t   bypassBitmap[ROW_COUNT];     /* (rt) */
    HWND volatile commDialog;           /* (rt) read: the waiting window to post to */
    char       statusText[64];
    uint32_t   blinkOn;
    uint16_t   delaySeconds, delayTicks;
    uint8_t    reportUnit, reportRow;
    uint16_t   reportCount;
    const uint8_t *reportRecord;
    volatile uint32_t reportOpen;       /* (rt) read */
};
extern DcState g_dc;

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

/* Trace.cpp */
/* One application trace line (kind 6), formatted in a buffer of the calling thread. */
void DcTrace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Transport.cpp */
void ConfigureDriveCommands(const DcConfig &cfg);
/* Stop has not been pressed: a run starts. */
void ClearStopRequest();
int OpenCommunication();
int CloseCommunication();
/* Sends the request built in ComArea and waits for its reply: 1 complete, 0 with *status 1
 * (every attempt timed out) or 3 (cancelled). */
int SendCommand(HINSTANCE instance, HWND owner, uint16_t mainMp, uint16_t subMp, uint16_t timeout,
                uint16_t *status);
/* Receive handler of controller replies. Receive thread. */
extern "C" __declspec(dllexport) uint32_t WINAPI mtp_cdcalbak(IwMsgDesc *msg);
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
/* Error report window: sends count bytes of the error record (routine, step, detail) to the
 * diagnosis log and waits; 1 acknowledged, 0 timed out. */
int ShowErrorReport(HINSTANCE instance, HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit,
                    uint8_t row, const uint8_t *record, uint16_t count, uint16_t seconds);
/* Receive handler of the diagnosis log's acknowledgements. Receive thread. */
extern "C" __declspec(dllexport) uint32_t WINAPI mtp_cdDDEbak(IwMsgDesc *msg);
