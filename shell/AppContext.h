/* The program's one global record, alive for the whole process.
 *
 * Shared by the shell, the routines and the drive command layer; all of them use it directly
 * on the main thread. This header holds data only: the lower layers include it for the record,
 * never to call into the shell. The receive thread touches only the transport fields that the
 * drive command layer documents. */
#pragma once
#include <windows.h>
#include <stdint.h>

enum : uint32_t {
    UNIT_COUNT     = 32,        /* units 0..31: high byte of a PDEV */
    ROW_COUNT      = 80,        /* rows 0..79: low byte of a PDEV */
    UNIT_LIST_LEN  = 33,        /* at most 32 units and at least one end mark */
    UNIT_NONE      = 0xFF,      /* empty unitList slot */
    DRIVE_NAME_LEN = 16,
    TRACE_TEXT_LEN = 512,
};

enum : uint8_t {
    DISPLAY_INTERACTIVE = 0x00,
    DISPLAY_AUTOMATIC   = 0xFF,
};

/* Bit of a unit in a drive bitmap word; 0 for a unit outside the table. */
static inline uint32_t UnitBit(uint32_t unit) { return unit < UNIT_COUNT ? 0x80000000u >> unit : 0; }

struct DriveEntry {
    uint32_t selected;              /* 1 = chosen for the test */
    char     name[DRIVE_NAME_LEN];  /* location name; empty when not equipped */
    uint16_t equipState;            /* 3 equipped (D8 pre-check), 1 D8 passed, 2 D8 failed */
    uint16_t errorCode;             /* ErrorCode of the last run, 0 = none */
};

struct AppContext {
    /* start parameters */
    uint8_t    displayMode;         /* DISPLAY_INTERACTIVE or DISPLAY_AUTOMATIC */
    uint32_t   tmpDirFlag;          /* 1 when launched with the temporary configuration folder */
    const char *configDir;          /* configDirText or null; handed to configuration queries */
    char       configDirText[32];
    uint8_t   *launchBlock;         /* mapped LaunchBlock view, null when none */
    HANDLE     launchMapping;
    HINSTANCE  instance;
    HACCEL     accel;
    HWND       mainWnd;

    char       traceText[TRACE_TEXT_LEN];   /* scratch line for one trace line or box text */

    /* run state */
    uint32_t   abnormalEnd;
    uint32_t   stopRequested;
    uint16_t   debugMode;           /* 0 normal, 1 debug, 2 second maintenance mode */
    uint32_t   routineId;
    uint32_t   runOption;
    uint8_t    unitList[UNIT_LIST_LEN];
    uint16_t   unitCount;
    uint16_t   unitCursor;
    uint32_t   driveBitmap[ROW_COUNT];
    uint8_t    rowSelected[ROW_COUNT];
    uint16_t   mpIdMain, mpIdAlt;

    /* configuration */
    uint16_t   dkcModel;            /* 0 HV, 1 LT */
    uint16_t   dkuModel[8];         /* 0 QX7, 1 QX5 */
    uint16_t   conKind;             /* 1 two DKA pairs */
    uint16_t   dkuModelMenu, dkfType, conTypeMenu;
    uint16_t   cluster;

    /* error being reported */
    char       errorCodeText[64];
    char       errorContents[128];
    uint8_t    errorRoutine;
    uint8_t    errorStep;
    uint8_t    errorDetail[16];
    uint8_t    errorRecord[18];
    uint16_t   vendorMatch;         /* C2: table entry 1..3 of the last vendor compared, 4 none */
    uint32_t   passReplySeen;       /* 1 once a pass-through reply completed */
    uint8_t    passReplyTail[5];    /* its bytes 1058 and 1183..1186 */

    DriveEntry driveTable[UNIT_COUNT][ROW_COUNT];

    /* Drive command transport. The fields marked (rt) are also written by the receive thread
     * while a waiting window is up; the main thread reads them after the window has ended. */
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
    volatile int16_t  comCnt;           /* (rt) */
    uint8_t   *volatile replyWritePtr;  /* (rt) */
    volatile uint32_t replyRemaining;   /* (rt) */
    volatile uint32_t kipdevSize;       /* (rt) */
    volatile uint32_t endSegmentSeen;   /* (rt) */
    volatile uint32_t dataComplete;     /* (rt) */
    volatile uint32_t comResult;        /* (rt) host order, as received */
    volatile uint32_t checkBypassMode;  /* (rt) read */
    uint32_t   bypassBitmap[ROW_COUNT];     /* (rt) */
    HWND volatile commDialog;           /* (rt) read: the waiting window to post to */
    char       statusText[64];
    uint32_t   blinkOn;
    uint16_t   delaySeconds, delayTicks;
    uint8_t    reportUnit, reportRow;
    uint16_t   reportCount;
    volatile uint32_t reportOpen;       /* (rt) read */

    /* Registered by the shell: lets a routine refresh the status display (kind 1). */
    void     (*showStatus)(uint16_t kind);
};

extern AppContext g_app;
