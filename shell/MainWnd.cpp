/* The main window: a modeless dialog that runs initialisation and every run step as private
 * messages posted to itself. Main thread only. */
#include "shell/shell.h"
#include "routines/routines.h"
#include "drivecmd/drivecmd.h"
#include "res/resource.h"
#include "svclib/mtpsvc.h"
#include "svclib/mtptime.h"
#include <ctype.h>
#include <stdio.h>
#include <string.h>

enum : uint8_t { STEP_SERVICE_FAILURE = 0xEB, STEP_INIT_FAILURE = 0xEC };
enum : uint16_t { REPORT_PATH_NONE = 255, REPORT_DETAIL_COUNT = 16, REPORT_WAIT_SECONDS = 10 };

static const char kBlank[] = " ";

static void Post(HWND wnd, UINT msg) { PostMessageA(wnd, msg, 0, 0); }
static void PostExit(HWND wnd) { PostMessageA(wnd, WM_COMMAND, IDM_EXIT, 0); }
static void SetText(int id, const char *text) { SetDlgItemTextA(g_app.mainWnd, id, text); }

static void MessageBoxCode(HWND owner, const char *code)
{
    mtp_MessageBox(owner, 12, 2631, 20173, 0, 16, code);
}

/* Menu items Start and Exit and the system Close stay grayed in the normal menu. */
static void GrayMenus(HWND wnd)
{
    HMENU menu = GetMenu(wnd);
    if (menu) {
        EnableMenuItem(menu, IDM_START, MF_BYCOMMAND | MF_GRAYED);
        EnableMenuItem(menu, IDM_EXIT, MF_BYCOMMAND | MF_GRAYED);
    }
    HMENU sys = GetSystemMenu(wnd, FALSE);
    if (sys)
        EnableMenuItem(sys, SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
}

/* Routine id, drive under test and status text of the main window. */
void ShowStatus(uint16_t kind)
{
    SetText(IDC_ROUTINE_ID, kBlank);
    SetText(IDC_TESTING_HDD, kBlank);
    SetText(IDC_ERROR_CODE, kBlank);
    SetText(IDC_ERROR_CONTENTS, kBlank);
    if (g_run.routineId != 0) {
        char id[16];
        snprintf(id, sizeof id, "%02x", (unsigned)g_run.routineId);
        for (char *p = id; *p; p++)
            *p = char(toupper((unsigned char)*p));
        SetText(IDC_ROUTINE_ID, id);
        uint32_t unit = UnitUnderTest();
        uint32_t row = FirstRowUnderTest();
        /* An empty unit list leaves no drive to show. */
        if (unit < UNIT_COUNT)
            SetText(IDC_TESTING_HDD, g_run.driveTable[unit][row].name);
    }
    SetText(IDC_STATUS, kind == STATUS_RUNNING ? "Running..." :
                        kind == STATUS_INITIALIZING ? "Initializing..." : kBlank);
}

void ReportServiceFailure(HWND wnd, uint16_t ec)
{
    g_err.errorStep = STEP_SERVICE_FAILURE;
    g_err.errorDetail[0] = uint8_t(ec >> 8);
    g_err.errorDetail[1] = uint8_t(ec);
    g_app.abnormalEnd = 1;
    SetErrorInfo(REPORT_DETAIL_COUNT);
    if (wnd)
        ShowErrorReport(g_app.instance, wnd, REPORT_PATH_NONE, REPORT_PATH_NONE, 0xFF, 0xFF, g_err.errorRecord,
                        REPORT_DETAIL_COUNT, REPORT_WAIT_SECONDS);
}

void ReportInitFailure(HWND wnd)
{
    g_err.errorStep = STEP_INIT_FAILURE;
    g_app.abnormalEnd = 1;
    SetErrorInfo(REPORT_DETAIL_COUNT);
    if (wnd)
        ShowErrorReport(g_app.instance, wnd, REPORT_PATH_NONE, REPORT_PATH_NONE, 0xFF, 0xFF, g_err.errorRecord,
                        REPORT_DETAIL_COUNT, REPORT_WAIT_SECONDS);
}

/* GetLdevStatus with the reaction to a failed query: report, box, trace, end of program.
 * Returns 1 with the result, 0 after a failure. */
static int CheckLdevs(HWND wnd, uint16_t *result)
{
    uint16_t ec = 0;
    if (GetLdevStatus(result, &ec))
        return 1;
    ReportServiceFailure(wnd, ec);
    MessageBoxCode(wnd, "DC3-02");
    AppTrace("GetLdevStatus Function failed. EC = %04x", ec);
    PostExit(wnd);
    return 0;
}

/* ---- commands ---- */

/* Start: logical devices, selection, unit list and drive bitmap, then the first unit. */
static void OnStart(HWND wnd, UINT)
{
    uint16_t result = 0;
    if (!CheckLdevs(wnd, &result))
        return;
    if (g_app.debugMode != 1 && result != LDEV_ALL_BLOCKED) {
        SetText(IDC_STATUS, "All Logical Device[s] Not Blocked!");
        return;
    }
    if (RunSelectUnit(wnd) != 1)
        return;
    for (uint32_t unit = 0; unit < UNIT_COUNT; unit++) {
        for (uint32_t row = 0; row < ROW_COUNT; row++) {
            if (g_run.driveTable[unit][row].selected == 1) {
                g_run.unitList[g_run.unitCount++] = uint8_t(unit);
                break;
            }
        }
    }
    for (uint32_t row = 0; row < ROW_COUNT; row++) {
        uint32_t word = 0;
        for (uint32_t unit = 0; unit < UNIT_COUNT; unit++)
            if (g_run.driveTable[unit][row].selected == 1)
                word |= UnitBit(unit);
        g_run.driveBitmap[row] = word;
    }
    ClearStopRequest();
    Post(wnd, UM_START_UNIT);
}

static void OnExit(HWND wnd, UINT) { DestroyWindow(wnd); }

static const CmdEntry kMainCmds[] = {
    { IDC_START, IDC_START, OnStart },
    { IDM_START, IDM_START, OnStart },
    { IDC_EXIT,  IDC_EXIT,  OnExit  },
    { IDM_EXIT,  IDM_EXIT,  OnExit  },
    { IDM_CLOSE, IDM_CLOSE, OnExit  },
};

static INT_PTR OnCommand(HWND wnd, WPARAM wp, LPARAM)
{
    UINT id = LOWORD(wp);
    if (DispatchCommand(kMainCmds, std::size(kMainCmds), wnd, wp))
        return 0;
    if (DebugCommand(wnd, id))
        return 0;
    if (HIWORD(wp) == 1 && id == IDM_ASK_PASSWORD)
        Post(wnd, UM_ASK_PASSWORD);
    return 0;
}

/* ---- window messages ---- */

static INT_PTR OnInitDialog(HWND wnd, WPARAM, LPARAM)
{
    g_app.mainWnd = wnd;
    ConfigureLayers();
    GrayMenus(wnd);
    SetWindowPos(wnd, nullptr, 0, 20, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    SetTimer(wnd, TIMER_INIT, MtpScaleMs(TIMER_INIT_MS), nullptr);
    return 0;
}

static INT_PTR OnTimer(HWND wnd, WPARAM id, LPARAM)
{
    if (id == TIMER_INIT) {
        KillTimer(wnd, TIMER_INIT);
        Post(wnd, UM_INITIALIZE);
    }
    return 0;
}

static INT_PTR OnSysCommand(HWND wnd, WPARAM wp, LPARAM)
{
    if ((wp & 0xFFF0) == SC_CLOSE)
        SendMessageA(wnd, WM_COMMAND, IDM_CLOSE, 0);
    return 0;
}

static INT_PTR OnDestroy(HWND, WPARAM, LPARAM)
{
    EndProgram();
    return 0;
}

static INT_PTR OnInitialize(HWND wnd, WPARAM, LPARAM)
{
    g_app.abnormalEnd = 0;
    ClearStopRequest();
    GrayMenus(wnd);
    g_run.routineId = 0;
    ShowStatus(STATUS_INITIALIZING);
    ReadConfiguration();
    TraceLaunchBlock(TRACE_BANNER_START);
    AppTrace("Before Com Ini");
    if (!OpenCommunication()) {
        ReportInitFailure(nullptr);
        MessageBoxCode(wnd, "DC3-01");
        AppTrace("Communication Initialized Failed. EC = %04x", 0);
        PostExit(wnd);
        return 0;
    }
    AppTrace("After Com Ini");
    memset(g_run.driveTable, 0, sizeof g_run.driveTable);
    memset(g_run.unitList, UNIT_NONE, sizeof g_run.unitList);
    g_run.unitCount = 0;
    g_run.unitCursor = 0;
    memset(g_run.driveBitmap, 0, sizeof g_run.driveBitmap);
    if (g_app.displayMode == DISPLAY_INTERACTIVE) {
        RenewInformation();
        Post(wnd, UM_CHECK_LDEV);
    } else {
        ReadLaunchRequest(wnd);
    }
    ShowStatus(STATUS_CLEAR);
    return 0;
}

static INT_PTR OnCheckLdev(HWND wnd, WPARAM, LPARAM)
{
    uint16_t result = 0;
    BringWindowToTop(wnd);
    SetText(IDC_STATUS, "Checking the Logical Device[s] Status...");
    if (!CheckLdevs(wnd, &result))
        return 0;
    if (result != LDEV_ALL_BLOCKED) {
        SetText(IDC_STATUS, "All Logical Device[s] Not Blocked!");
    } else {
        SetText(IDC_STATUS, kBlank);
        SetText(IDC_ERROR_CODE, kBlank);
    }
    return 0;
}

/* The two paths to the current unit, through its first selected drive: when the unit starts and
 * before each dispatch of its routine. */
static void ReadPaths() { GetMpIds(uint16_t(UnitUnderTest() << 8 | FirstRowUnderTest())); }

static INT_PTR OnStartUnit(HWND wnd, WPARAM, LPARAM)
{
    uint32_t bit = UnitBit(UnitUnderTest());
    for (uint32_t row = 0; row < ROW_COUNT; row++)
        g_run.rowSelected[row] = (g_run.driveBitmap[row] & bit) ? 1 : 0;
    ReadPaths();
    ShowStatus(STATUS_RUNNING);
    uint16_t failKind = 0;
    if (StartDiag(wnd, &failKind))
        Post(wnd, UM_ROUTINE_READY);
    else
        Post(wnd, failKind == FAIL_STOPPED ? UM_USER_STOP : UM_ABNORMAL_END);
    return 0;
}

static INT_PTR OnRoutineReady(HWND wnd, WPARAM, LPARAM)
{
    ReadPaths();
    ShowStatus(STATUS_RUNNING);
    Post(wnd, UM_ROUTINE_RUN);
    return 0;
}

/* Closes the diagnosis; 1 when closing ended by a user stop. */
static int EndDiagStopped(HWND wnd)
{
    uint16_t failKind = 0;
    return !EndDiag(wnd, &failKind) && failKind == FAIL_STOPPED;
}

static INT_PTR OnRoutineRun(HWND wnd, WPARAM, LPARAM)
{
    uint16_t outcome = OUTCOME_UNKNOWN_ROUTINE;
    RunRoutine(wnd, &outcome);
    switch (outcome) {
    case OUTCOME_CONTINUE:
        Post(wnd, EndDiagStopped(wnd) ? UM_USER_STOP : UM_NEXT_UNIT);
        break;
    case OUTCOME_FAILED:
        Post(wnd, EndDiagStopped(wnd) ? UM_USER_STOP : UM_ABNORMAL_END);
        break;
    case OUTCOME_STOPPED:
        EndDiagStopped(wnd);
        Post(wnd, UM_USER_STOP);
        break;
    case OUTCOME_REPEAT:
    case OUTCOME_REPEAT_OLD:
        Post(wnd, UM_ROUTINE_READY);
        break;
    default:
        /* A routine outside the catalogue: end the run rather than leave it halted, and close
         * the diagnosis as a failed routine's end does, so that the controller does not stay in
         * inline mode. */
        EndDiagStopped(wnd);
        Post(wnd, UM_INVALID_PARAMETER);
        break;
    }
    return 0;
}

static INT_PTR OnNextUnit(HWND wnd, WPARAM, LPARAM)
{
    if (g_run.unitCursor < g_run.unitCount)
        g_run.unitCursor++;
    if (UnitUnderTest() < UNIT_NONE)
        Post(wnd, g_dc.stopRequested == 1 ? UM_NORMAL_END : UM_START_UNIT);
    else
        Post(wnd, AnyDriveError() ? UM_ABNORMAL_END : UM_NORMAL_END);
    return 0;
}

static INT_PTR OnNormalEnd(HWND wnd, WPARAM, LPARAM)
{
    SetText(IDC_STATUS, "Vestra Normal END");
    Post(wnd, UM_RUN_ENDED);
    return 0;
}

static INT_PTR OnAbnormalEnd(HWND wnd, WPARAM, LPARAM)
{
    SetText(IDC_STATUS, "Vestra Abnormal END");
    SetText(IDC_ERROR_CODE, g_err.errorCodeText);
    SetText(IDC_ERROR_CONTENTS, g_err.errorContents);
    g_app.abnormalEnd = 1;
    Post(wnd, UM_RUN_ENDED);
    return 0;
}

static INT_PTR OnUserStop(HWND wnd, WPARAM, LPARAM)
{
    SetText(IDC_ERROR_CODE, "Vestra User Stop");
    Post(wnd, UM_RUN_ENDED);
    return 0;
}

static INT_PTR OnInvalidParameter(HWND wnd, WPARAM, LPARAM)
{
    SetText(IDC_ERROR_CODE, "Invalid parameter");
    Post(wnd, UM_RUN_ENDED);
    return 0;
}

static INT_PTR OnRunEnded(HWND wnd, WPARAM, LPARAM)
{
    if (g_app.displayMode == DISPLAY_INTERACTIVE) {
        if (AnyDriveError())
            ShowErrorList(wnd);
    } else {
        PostExit(wnd);
    }
    return 0;
}

static INT_PTR OnAskPassword(HWND wnd, WPARAM, LPARAM)
{
    AskPassword(wnd);
    return 0;
}

static INT_PTR OnDebugMode(HWND wnd, WPARAM, LPARAM)
{
    EnterDebugMode(wnd);
    return 0;
}

static INT_PTR OnNormalMode(HWND wnd, WPARAM, LPARAM)
{
    EnterNormalMode(wnd);
    return 0;
}

static const MsgEntry kMainMsgs[] = {
    { WM_INITDIALOG,        OnInitDialog       },
    { WM_TIMER,             OnTimer            },
    { WM_COMMAND,           OnCommand          },
    { WM_SYSCOMMAND,        OnSysCommand       },
    { WM_DESTROY,           OnDestroy          },
    { UM_INITIALIZE,        OnInitialize       },
    { UM_CHECK_LDEV,        OnCheckLdev        },
    { UM_START_UNIT,        OnStartUnit        },
    { UM_ROUTINE_READY,     OnRoutineReady     },
    { UM_ROUTINE_RUN,       OnRoutineRun       },
    { UM_NEXT_UNIT,         OnNextUnit         },
    { UM_NORMAL_END,        OnNormalEnd        },
    { UM_ABNORMAL_END,      OnAbnormalEnd      },
    { UM_USER_STOP,         OnUserStop         },
    { UM_INVALID_PARAMETER, OnInvalidParameter },
    { UM_RUN_ENDED,         OnRunEnded         },
    { UM_ASK_PASSWORD,      OnAskPassword      },
    { UM_DEBUG_MODE,        OnDebugMode        },
    { UM_NORMAL_MODE,       OnNormalMode       },
};

/* Main window procedure; returns 0 for every message. Main thread. */
INT_PTR CALLBACK MainDlgProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp)
{
    return Dispatch(kMainMsgs, std::size(kMainMsgs), wnd, msg, wp, lp);
}
