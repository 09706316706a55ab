/* Application shell: program entry and launch block, main window and run sequence,
 * equipment configuration and drive table.
 *
 * Everything here runs on the main thread and owns the AppContext (shell/AppContext.h). */
#pragma once
#include "shell/AppContext.h"
#include "base/DlgTable.h"

/* Private messages of the main window. Every step is posted by the window to itself with zero
 * parameters, never sent; each handler ends by posting the next step or nothing. */
enum : UINT {
    UM_ROUTINE_READY      = WM_USER + 10,  /* 1034 from START_UNIT, ROUTINE_RUN: → ROUTINE_RUN */
    UM_ROUTINE_RUN        = WM_USER + 20,  /* 1044 from ROUTINE_READY: → NEXT_UNIT, ABNORMAL_END,
                                                   USER_STOP, ROUTINE_READY, INVALID_PARAMETER */
    UM_ASK_PASSWORD       = WM_USER + 30,  /* 1054 from the accelerator: → DEBUG_MODE */
    UM_NORMAL_MODE        = WM_USER + 40,  /* 1064 from menu 40020 */
    UM_DEBUG_MODE         = WM_USER + 50,  /* 1074 from ASK_PASSWORD */
    UM_NORMAL_END         = WM_USER + 60,  /* 1084 from NEXT_UNIT: → RUN_ENDED */
    UM_ABNORMAL_END       = WM_USER + 70,  /* 1094 from START_UNIT, ROUTINE_RUN, NEXT_UNIT: → RUN_ENDED */
    UM_RUN_ENDED          = WM_USER + 80,  /* 1104 from every end: → WM_COMMAND 40013 (automatic) */
    UM_NEXT_UNIT          = WM_USER + 90,  /* 1114 from ROUTINE_RUN: → START_UNIT, NORMAL_END, ABNORMAL_END */
    UM_START_UNIT         = WM_USER + 100, /* 1124 from Start, the automatic request, NEXT_UNIT:
                                                   → ROUTINE_READY, USER_STOP, ABNORMAL_END */
    UM_USER_STOP          = WM_USER + 120, /* 1144 from START_UNIT, ROUTINE_RUN: → RUN_ENDED */
    UM_INVALID_PARAMETER  = WM_USER + 130, /* 1154 from ROUTINE_RUN (unknown routine), or a sender
                                                   outside: → RUN_ENDED */
    UM_CHECK_LDEV         = WM_USER + 140, /* 1164 from INITIALIZE (interactive) */
    UM_INITIALIZE         = WM_USER + 150, /* 1174 from timer 73 */
};

enum : UINT_PTR { TIMER_INIT = 73 };
enum : UINT { TIMER_INIT_MS = 100 };
enum : uint16_t { TRACE_KIND_APP = 6 };
enum : uint16_t { LDEV_ALL_BLOCKED = 11, LDEV_NOT_BLOCKED = 12 };
enum : uint16_t { TRACE_BANNER_START = 22, TRACE_BANNER_END = 23 };


/* Trace.cpp */
/* Formats one line into traceText and writes it to the trace log with kind 6. */
void AppTrace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Launch.cpp */
/* The program: launch block, main window, message loop, outcome. Always returns 0. */
int  RunProgram(HINSTANCE instance, const char *cmdLine);
int  OpenLaunchBlock(const char *cmdLine);
int  CloseLaunchBlock();
void TraceLaunchBlock(uint16_t kind);
/* Reads the automatic run's request from the launch block and posts UM_START_UNIT. */
void ReadLaunchRequest(HWND wnd);
/* End of the program, on WM_DESTROY: closes communication, writes the outcome, quits. */
void EndProgram();
/* 1 when any DriveEntry holds an error code. */
int  AnyDriveError();
/* Hands the routines and the drive command layer the shell's decisions (instance, window,
 * modes, launch block, status display); called whenever one of them changes. */
void ConfigureLayers();

/* MainWnd.cpp */
INT_PTR CALLBACK MainDlgProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
void ShowStatus(uint16_t kind);
void ReportServiceFailure(HWND wnd, uint16_t ec);
void ReportInitFailure(HWND wnd);

/* Config.cpp */
void ReadConfiguration();
int  DkaPareConf(uint16_t *conKind);
int  GetPdevEquipState(uint16_t pdev, uint16_t *state, uint16_t *ec);
int  GetPdevOfLocation(uint16_t dku, uint16_t box, uint16_t hdd, uint8_t *unit, uint8_t *row);
int  GetHddBoxEquipStatus(uint16_t dku, uint16_t box, uint16_t *state, uint16_t *ec);
int  GetLdevStatus(uint16_t *result, uint16_t *ec);
int  GetDkuLocationText(uint16_t dku, char *buf);
int  GetHduBoxLocationText(uint16_t dku, uint16_t box, char *buf);
int  GetPdevLocationText(uint16_t pdev, char *buf);
int  RenewInformation();
int  GetMpIds(uint16_t pdev);

/* Debug.cpp */
void AskPassword(HWND wnd);
void EnterDebugMode(HWND wnd);
void EnterNormalMode(HWND wnd);
/* Commands of the debug menu; 1 when the id was one of them. */
int  DebugCommand(HWND wnd, UINT id);

/* Where the user last went in the selection dialogs: DKU index (button - 1001), HDU box index
 * (button - 1005) and the last clicked HDD position (check box - 1013). Main thread. */
struct SelectChoice {
    uint16_t dku;
    uint16_t box;
    uint16_t hdd;
};
extern SelectChoice g_selectChoice;

/* Select.cpp */
/* Start's unit and drive selection (Select Unit and the dialogs it opens): returns 1 (OK) when a
 * run is to start, 2 when it was cancelled. Fills the selected flags, routineId and runOption. */
int  RunSelectUnit(HWND owner);
/* A failed service query inside a selection dialog: the failure report, the message box with
 * the location code, the trace line "<query> Function failed. EC = %04x", and the end of the
 * program posted to the main window. */
void ReportSelectFailure(HWND dlg, uint16_t ec, const char *code, const char *query);
/* Calls mark for every equipped drive; a failed query (other than "no drive here") is reported
 * under code and ends the scan with 0. */
int  ForEachEquipped(HWND owner, const char *code, void (*mark)(DriveEntry &));

/* SelectRoutine.cpp */
/* ROUTINE dialog (debug mode): 1 when routineId and runOption were taken (and, for D8, the
 * connection pre-check passed), 2 otherwise. */
int  RunRoutineDialog(HWND owner);
/* D8 connection pre-check: equipped drives get equipState 3, then Select Cluster sets cluster.
 * 0 after a reported query failure. */
int  CheckConnection(HWND owner);
/* Error HDD List after a run with errors. */
void ShowErrorList(HWND owner);
