/* The selection dialogs and the Error HDD List, driven as a user would: a thread timer acts on
 * the topmost open dialog when its caption is the one the script expects next. The lower
 * layers are the scripted doubles; the service library is the stand-in with a description. */
#include "tests/shell/doubles.h"
#include "tests/shell/shell_util.h"
#include "tests/support/support.h"
#include "routines/routines.h"
#include "res/resource.h"
#include "svclib/mtpsvc.h"
#include <gtest/gtest.h>
#include <commctrl.h>
#include <stdio.h>
#include <algorithm>

/* The default subsystem (DKU0 boxes 0-3, DKU1 boxes 0-1, DKU2 box 0, positions 0-11 of each
 * equipped) plus box 4 of DKU0 with three drives, so that the relabelled HDU template shows, and
 * box 4 of DKU1 with one drive, which keeps the plain one. */
static const char kDescription[] =
    "[Subsystem]\r\nMessageBox=trace\r\n"
    "[Box.0.4]\r\nEquip=1\r\nDrives=0-2\r\n"
    "[Box.1.4]\r\nEquip=1\r\nDrives=0\r\n";

class SelectEnv : public testing::Environment {
public:
    void SetUp() override { UseTraceAndDescription(kDescription); }
};
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new SelectEnv);

/* ---- the dialog driver ---- */

typedef void (*StepFn)(HWND dlg);
struct Step { const char *caption; StepFn act; };

enum : UINT { TICK_MS = 10, STALL_TICKS = 400 };

static std::vector<Step> g_steps;
static size_t g_next;
static std::vector<HWND> g_open;            /* dialogs created and not yet destroyed */
static std::vector<std::string> g_created;  /* template captions in creation order */
static int g_ended, g_stalled;
static UINT g_idleTicks;
static std::vector<UINT> g_ownerCmds;       /* WM_COMMAND ids the main window got */
static void (*g_onEnd)(HWND top);           /* looks at the dialogs when the end arrives */
static HHOOK g_hook;

static LRESULT CALLBACK TrackDialogs(int code, WPARAM wp, LPARAM lp)
{
    HWND wnd = (HWND)wp;
    char cls[16] = "";
    if (code == HCBT_CREATEWND && GetClassNameA(wnd, cls, sizeof cls) && strcmp(cls, "#32770") == 0) {
        const char *name = ((const CBT_CREATEWNDA *)lp)->lpcs->lpszName;
        g_open.push_back(wnd);
        g_created.push_back(name && !IS_INTRESOURCE(name) ? name : "");
    } else if (code == HCBT_DESTROYWND) {
        g_open.erase(std::remove(g_open.begin(), g_open.end(), wnd), g_open.end());
    }
    return CallNextHookEx(g_hook, code, wp, lp);
}

static std::string Caption(HWND wnd)
{
    char text[64] = "";
    GetWindowTextA(wnd, text, sizeof text);
    return text;
}

static void Click(HWND dlg, int id)
{
    PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
}

/* One tick: after the end was posted, close whatever is open; else the next step when its
 * dialog is on top; a script that waits too long is given up (and the test fails). */
static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD)
{
    if (g_open.empty())
        return;
    HWND top = g_open.back();
    if (g_ended) {
        Click(top, Caption(top) == "Select Cluster" ? IDC_CLUSTER1 : IDCANCEL);
        return;
    }
    if (g_next < g_steps.size() && Caption(top) == g_steps[g_next].caption) {
        g_idleTicks = 0;
        g_steps[g_next++].act(top);
        return;
    }
    if (++g_idleTicks > STALL_TICKS)
        g_stalled = g_ended = 1;
}

static LRESULT CALLBACK OwnerProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_COMMAND) {
        g_ownerCmds.push_back(LOWORD(wp));
        if (LOWORD(wp) == IDM_EXIT) {
            if (g_onEnd)
                g_onEnd(g_open.empty() ? nullptr : g_open.back());
            g_ended = 1;
        }
        return 0;
    }
    return DefWindowProcA(wnd, msg, wp, lp);
}

/* A hidden window standing for the main window: owner of the dialogs, receiver of the end. */
static HWND MakeOwner()
{
    static ATOM atom;
    if (!atom) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = OwnerProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "TSelectOwner";
        atom = RegisterClassA(&wc);
    }
    return CreateWindowA("TSelectOwner", "owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

/* Runs fn (which opens the dialogs) under the script; returns fn's result. */
static int Drive(int (*fn)(HWND), HWND owner, std::vector<Step> steps)
{
    g_steps = std::move(steps);
    g_next = 0;
    g_open.clear();
    g_created.clear();
    g_ended = g_stalled = g_idleTicks = 0;
    g_ownerCmds.clear();
    g_hook = SetWindowsHookExA(WH_CBT, TrackDialogs, nullptr, GetCurrentThreadId());
    UINT_PTR timer = SetTimer(nullptr, 0, TICK_MS, Tick);
    int result = fn(owner);
    KillTimer(nullptr, timer);
    UnhookWindowsHookEx(g_hook);
    /* Take the posted end (if any) off the queue, so that it is seen here and nowhere else. */
    MSG msg;
    while (PeekMessageA(&msg, owner, WM_COMMAND, WM_COMMAND, PM_REMOVE))
        DispatchMessageA(&msg);
    return result;
}

static std::string Text(HWND dlg, int id)
{
    char text[128] = "";
    GetDlgItemTextA(dlg, id, text, sizeof text);
    return text;
}

static bool Enabled(HWND dlg, int id)
{
    HWND c = GetDlgItem(dlg, id);
    return c && IsWindowEnabled(c);
}

static bool Checked(HWND dlg, int id) { return IsDlgButtonChecked(dlg, id) == BST_CHECKED; }

/* A user's click on a check box: the box toggles, then the dialog hears of it. */
static void Toggle(HWND dlg, int id)
{
    SendDlgItemMessageA(dlg, id, BM_SETCHECK, Checked(dlg, id) ? BST_UNCHECKED : BST_CHECKED, 0);
    SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
}

static std::vector<std::string> ListItems(HWND dlg, int id)
{
    std::vector<std::string> out;
    int count = int(SendDlgItemMessageA(dlg, id, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; i++) {
        char text[64] = "";
        SendDlgItemMessageA(dlg, id, LB_GETTEXT, i, (LPARAM)text);
        out.push_back(text);
    }
    return out;
}

static std::string ComboItem(HWND dlg, int id, int index)
{
    char text[128] = "";
    SendDlgItemMessageA(dlg, id, CB_GETLBTEXT, index, (LPARAM)text);
    return text;
}

/* Enabled state of the check boxes of positions first..last as a string of 1 and 0. */
static std::string EnabledRange(HWND dlg, int first, int last)
{
    std::string s;
    for (int id = first; id <= last; id++)
        s += Enabled(dlg, id) ? '1' : '0';
    return s;
}

static std::vector<uint16_t> SelectedPdevs()
{
    std::vector<uint16_t> out;
    for (uint32_t unit = 0; unit < UNIT_COUNT; unit++)
        for (uint32_t row = 0; row < ROW_COUNT; row++)
            if (g_app.driveTable[unit][row].selected == 1)
                out.push_back(uint16_t(unit << 8 | row));
    return out;
}

/* A fresh program state: names as start-up fills them, HV, normal mode, and an old run's marks
 * that opening Select Unit must clear. */
static HWND Fresh(uint16_t dkcModel = 0, uint16_t debugMode = 0)
{
    ResetDoubles();
    g_app.instance = GetModuleHandleA(nullptr);
    memset(g_app.driveTable, 0, sizeof g_app.driveTable);
    RenewInformation();
    g_app.dkcModel = dkcModel;
    g_app.debugMode = debugMode;
    g_app.routineId = 0;
    g_app.runOption = 0;
    g_app.driveTable[5][5].selected = 1;
    g_app.driveTable[0][3].errorCode = 0xC102;
    g_app.driveTable[0][4].equipState = 3;
    g_app.unitList[0] = 7;
    g_app.unitCount = 1;
    g_app.driveBitmap[2] = 1;
    HWND owner = MakeOwner();
    g_app.mainWnd = owner;
    return owner;
}

static void ExpectClearedApartFrom(const std::vector<uint16_t> &selected)
{
    EXPECT_EQ(selected, SelectedPdevs());
    EXPECT_EQ(0, g_app.driveTable[0][3].errorCode);
    EXPECT_EQ(0, g_app.driveTable[0][4].equipState);
    EXPECT_EQ(UNIT_NONE, g_app.unitList[0]);
    EXPECT_EQ(0, g_app.unitCount);
    EXPECT_EQ(0u, g_app.driveBitmap[2]);
}

/* ---- Select Unit, DKU, HDU, Select HDD List ---- */

TEST(SelectUnit, WalksDownToDrivesAndSetsTheRun)
{
    HWND owner = Fresh();
    int result = Drive(RunSelectUnit, owner, {
        { "Select Unit", [](HWND d) {
            EXPECT_EQ("DKU-R0", Text(d, 1001));
            EXPECT_EQ("DKU-L1", Text(d, 1002));
            EXPECT_EQ("DKU-R1", Text(d, 1003));
            EXPECT_EQ("------", Text(d, 1004));
            EXPECT_EQ("11100", EnabledRange(d, 1001, 1005)) << "DKU 3 and 4 have no HDU";
            EXPECT_EQ("ALL HDD", Text(d, IDC_ALL_HDD));
            Click(d, 1001);
        } },
        { "DKU", [](HWND d) {
            EXPECT_EQ("HDU-00", Text(d, 1005));
            EXPECT_EQ("HDU-04", Text(d, 1009));
            EXPECT_EQ("------", Text(d, 1010));
            EXPECT_EQ("11111000", EnabledRange(d, 1005, 1012));
            EXPECT_EQ("Select Unit", Text(d, IDCANCEL));
            Click(d, 1006);
        } },
        { "HDU-01", [](HWND d) {
            EXPECT_EQ("HDD01-0xx", Text(d, IDC_HDD_LABEL)) << "first name cut after 7";
            EXPECT_EQ("00", Text(d, 1013));
            EXPECT_EQ("1F", Text(d, 1044));
            EXPECT_EQ(std::string(12, '1') + std::string(20, '0'), EnabledRange(d, 1013, 1044));
            EXPECT_FALSE(Enabled(d, IDOK)) << "OK waits for a click";
            EXPECT_FALSE(Checked(d, 1015));
            Toggle(d, 1015);
            EXPECT_TRUE(Enabled(d, IDOK));
            Toggle(d, 1020);
            Click(d, IDOK);
        } },
        { "DKU", [](HWND d) { Click(d, 1006); } },
        { "HDU-01", [](HWND d) {
            EXPECT_TRUE(Checked(d, 1015)) << "a selected drive shows checked";
            EXPECT_TRUE(Checked(d, 1020));
            EXPECT_FALSE(Checked(d, 1016));
            Toggle(d, 1016);
            Toggle(d, 1020);
            Click(d, IDCANCEL);
        } },
        { "DKU", [](HWND d) { Click(d, 1006); } },
        { "HDU-01", [](HWND d) {
            EXPECT_TRUE(Checked(d, 1020)) << "Cancel changed nothing";
            EXPECT_FALSE(Checked(d, 1016));
            Toggle(d, 1020);
            Click(d, IDOK);
        } },
        { "DKU", [](HWND d) { Click(d, IDCANCEL); } },
        { "Select Unit", [](HWND d) { Click(d, 1002); } },
        { "DKU", [](HWND d) {
            EXPECT_EQ("HDU-10", Text(d, 1005));
            EXPECT_EQ("11001000", EnabledRange(d, 1005, 1012));
            Click(d, 1006);
        } },
        { "HDU-11", [](HWND d) {
            EXPECT_EQ("HDD11-0xx", Text(d, IDC_HDD_LABEL));
            Toggle(d, 1013);
            Click(d, IDOK);
        } },
        { "DKU", [](HWND d) { Click(d, IDCANCEL); } },
        { "Select Unit", [](HWND d) { Click(d, IDOK); } },
        { "Select HDD List", [](HWND d) {
            EXPECT_TRUE(Enabled(d, IDOK));
            EXPECT_EQ((std::vector<std::string>{ "HDD01-02" }), ListItems(d, IDC_LIST_RIGHT));
            EXPECT_EQ((std::vector<std::string>{ "HDD11-00" }), ListItems(d, IDC_LIST_LEFT))
                << "unit 9: the left list";
            Click(d, IDOK);
        } },
    });
    EXPECT_EQ(1, result);
    EXPECT_FALSE(g_stalled);
    EXPECT_EQ(g_steps.size(), g_next);
    ExpectClearedApartFrom({ 0x0102, 0x0900 });
    EXPECT_EQ(0xCFu, g_app.routineId);
    EXPECT_EQ(8u, g_app.runOption);
    EXPECT_EQ(1, g_selectChoice.dku);
    EXPECT_EQ(1, g_selectChoice.box);
    EXPECT_EQ(0, g_selectChoice.hdd);
    EXPECT_TRUE(g_ownerCmds.empty()) << "nothing failed";
    DestroyWindow(owner);
}

TEST(SelectUnit, RelabelledBoxesEmptyListAndCancel)
{
    HWND owner = Fresh();
    for (DriveEntry &e : g_app.driveTable[12])
        memset(e.name, 0, sizeof e.name);
    int result = Drive(RunSelectUnit, owner, {
        { "Select Unit", [](HWND d) { Click(d, 1001); } },
        { "DKU", [](HWND d) { Click(d, 1009); } },
        { "HDU-04", [](HWND d) {
            EXPECT_EQ("10", Text(d, 1013));
            EXPECT_EQ("1F", Text(d, 1028));
            EXPECT_EQ("00", Text(d, 1029));
            EXPECT_EQ("0F", Text(d, 1044));
            EXPECT_EQ("111" + std::string(29, '0'), EnabledRange(d, 1013, 1044));
            EXPECT_EQ("HDD04-0xx", Text(d, IDC_HDD_LABEL));
            Toggle(d, 1013);
            Click(d, IDCANCEL);
        } },
        { "DKU", [](HWND d) { Click(d, IDCANCEL); } },
        { "Select Unit", [](HWND d) { Click(d, 1002); } },
        { "DKU", [](HWND d) { Click(d, 1009); } },
        { "HDU-14", [](HWND d) {
            EXPECT_EQ("HDD?\?-?\?", Text(d, IDC_HDD_LABEL)) << "no named drive in the box";
            EXPECT_EQ("00", Text(d, 1013)) << "only the first DKU relabels its rear boxes";
            EXPECT_EQ("1" + std::string(31, '0'), EnabledRange(d, 1013, 1044));
            Click(d, IDCANCEL);
        } },
        { "DKU", [](HWND d) { Click(d, IDCANCEL); } },
        { "Select Unit", [](HWND d) { Click(d, IDOK); } },
        { "Select HDD List", [](HWND d) {
            EXPECT_FALSE(Enabled(d, IDOK)) << "nothing selected";
            EXPECT_TRUE(ListItems(d, IDC_LIST_RIGHT).empty());
            Click(d, IDCANCEL);
        } },
        { "Select Unit", [](HWND d) { Click(d, IDCANCEL); } },
    });
    EXPECT_EQ(2, result);
    EXPECT_FALSE(g_stalled);
    EXPECT_EQ(g_steps.size(), g_next) << "Select Unit stayed open after the list's Cancel";
    ExpectClearedApartFrom({});
    EXPECT_EQ(0u, g_app.routineId);
    DestroyWindow(owner);
}

TEST(SelectUnit, LtVariants)
{
    HWND owner = Fresh(1);
    int result = Drive(RunSelectUnit, owner, {
        { "Select Unit", [](HWND d) {
            EXPECT_EQ(nullptr, GetDlgItem(d, 1005)) << "four DKUs";
            EXPECT_EQ("DKU-L1", Text(d, 1002));
            EXPECT_EQ("1110", EnabledRange(d, 1001, 1004));
            Click(d, 1002);
        } },
        { "DKU", [](HWND d) {
            EXPECT_EQ(nullptr, GetDlgItem(d, 1009)) << "four boxes";
            EXPECT_EQ("1100", EnabledRange(d, 1005, 1008));
            Click(d, 1006);
        } },
        { "HDU-11", [](HWND d) {
            EXPECT_EQ("HDD11-xx", Text(d, IDC_HDD_LABEL)) << "cut after 6";
            EXPECT_EQ(nullptr, GetDlgItem(d, 1029));
            EXPECT_FALSE(GetWindowLongA(GetDlgItem(d, 1028), GWL_STYLE) & WS_VISIBLE) << "0F hidden";
            EXPECT_EQ(std::string(12, '1') + "0000", EnabledRange(d, 1013, 1028));
            Toggle(d, 1013);
            Click(d, IDOK);
        } },
        { "DKU", [](HWND d) { Click(d, IDCANCEL); } },
        { "Select Unit", [](HWND d) { Click(d, 1001); } },
        { "DKU", [](HWND d) { Click(d, 1005); } },
        { "HDU-00", [](HWND d) {
            Toggle(d, 1013);
            Toggle(d, 1014);
            Click(d, IDOK);
        } },
        { "DKU", [](HWND d) { Click(d, IDCANCEL); } },
        { "Select Unit", [](HWND d) { Click(d, IDOK); } },
        { "Select HDD List", [](HWND d) {
            EXPECT_EQ(nullptr, GetDlgItem(d, IDC_LIST_LEFT));
            EXPECT_EQ((std::vector<std::string>{ "HDD00-00", "HDD00-01" }), ListItems(d, IDC_LIST_RIGHT))
                << "the unit 9 drive is not listed";
            Click(d, IDOK);
        } },
    });
    EXPECT_EQ(1, result);
    EXPECT_FALSE(g_stalled);
    EXPECT_EQ(g_steps.size(), g_next);
    ExpectClearedApartFrom({ 0x0000, 0x0001, 0x0900 });
    DestroyWindow(owner);
}

TEST(SelectUnit, AllHddSelectsEveryEquippedDrive)
{
    HWND owner = Fresh();
    int result = Drive(RunSelectUnit, owner, {
        { "Select Unit", [](HWND d) { Click(d, IDC_ALL_HDD); } },
        { "Select HDD List", [](HWND d) {
            auto right = ListItems(d, IDC_LIST_RIGHT), left = ListItems(d, IDC_LIST_LEFT);
            EXPECT_EQ(63u, right.size()) << "units 0-4 and 16";
            EXPECT_EQ(25u, left.size()) << "units 8, 9 and 12";
            if (!right.empty() && !left.empty()) {
                EXPECT_EQ("HDD00-00", right.front());
                EXPECT_EQ("HDD20-0B", right.back());
                EXPECT_EQ("HDD10-00", left.front());
            }
            Click(d, IDOK);
        } },
    });
    EXPECT_EQ(1, result);
    EXPECT_FALSE(g_stalled);
    std::vector<uint16_t> equipped;
    for (uint32_t unit = 0; unit < UNIT_COUNT; unit++) {
        for (uint32_t row = 0; row < ROW_COUNT; row++) {
            uint16_t pdev = uint16_t(unit << 8 | row), state = 0, ec = 0;
            if (GetPdevEquipState(pdev, &state, &ec) && state == SVC_EQUIPPED)
                equipped.push_back(pdev);
        }
    }
    EXPECT_EQ(88u, equipped.size());
    ExpectClearedApartFrom(equipped);
    EXPECT_EQ(0xCFu, g_app.routineId);
    EXPECT_EQ(8u, g_app.runOption);
    DestroyWindow(owner);
}

/* Start in the real main window: Cancel starts nothing, OK builds the units and the bitmap. */
static int PressStart(HWND wnd)
{
    SendMessageA(wnd, WM_COMMAND, IDC_START, 0);
    return 0;
}

TEST(SelectUnit, StartFromTheMainWindow)
{
    Fresh();
    DestroyWindow(g_app.mainWnd);
    HWND wnd = CreateDialogParamA(g_app.instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDlgProc, 0);
    ASSERT_NE(nullptr, wnd);
    KillTimer(wnd, TIMER_INIT);
    MSG msg;
    Drive(PressStart, wnd, { { "Select Unit", [](HWND d) { Click(d, IDCANCEL); } } });
    EXPECT_FALSE(PeekMessageA(&msg, wnd, UM_START_UNIT, UM_START_UNIT, PM_REMOVE)) << "nothing starts";
    EXPECT_TRUE(g_calls.empty());
    ExpectClearedApartFrom({});

    Drive(PressStart, wnd, {
        { "Select Unit", [](HWND d) { Click(d, 1002); } },
        { "DKU", [](HWND d) { Click(d, 1005); } },
        { "HDU-10", [](HWND d) { Toggle(d, 1014); Toggle(d, 1016); Click(d, IDOK); } },
        { "DKU", [](HWND d) { Click(d, IDCANCEL); } },
        { "Select Unit", [](HWND d) { Click(d, IDOK); } },
        { "Select HDD List", [](HWND d) { Click(d, IDOK); } },
    });
    EXPECT_FALSE(g_stalled);
    EXPECT_TRUE(PeekMessageA(&msg, wnd, UM_START_UNIT, UM_START_UNIT, PM_REMOVE));
    EXPECT_EQ(1, g_app.unitCount);
    EXPECT_EQ(8, g_app.unitList[0]);
    EXPECT_EQ(UNIT_NONE, g_app.unitList[1]);
    EXPECT_EQ(0u, g_app.driveBitmap[0]);
    EXPECT_EQ(0x80000000u >> 8, g_app.driveBitmap[1]);
    EXPECT_EQ(0x80000000u >> 8, g_app.driveBitmap[3]);
    DestroyWindow(wnd);
    PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

/* ---- ROUTINE and Select Cluster (debug mode) ---- */

/* Select Unit with "ALL HDD", the list's OK, then act on ROUTINE (and more steps after it). */
static int RunDebug(HWND owner, StepFn routine, std::vector<Step> more = {})
{
    std::vector<Step> steps = {
        { "Select Unit", [](HWND d) { Click(d, IDC_ALL_HDD); } },
        { "Select HDD List", [](HWND d) { Click(d, IDOK); } },
        { "ROUTINE", routine },
    };
    steps.insert(steps.end(), more.begin(), more.end());
    return Drive(RunSelectUnit, owner, steps);
}

TEST(Routine, DebugModeTakesRoutineAndOptionFromTheTexts)
{
    HWND owner = Fresh(0, 1);
    int result = RunDebug(owner, [](HWND d) {
        EXPECT_EQ("CF: C1 + C2 + C3 + C4", Text(d, IDC_ROUTINE_COMBO));
        EXPECT_EQ(11, SendDlgItemMessageA(d, IDC_ROUTINE_COMBO, CB_GETCOUNT, 0, 0));
        EXPECT_EQ("C0: C1 + C2 + C4", ComboItem(d, IDC_ROUTINE_COMBO, 0)) << "sorted";
        EXPECT_EQ("CF: C1 + C2 + C3 + C4", ComboItem(d, IDC_ROUTINE_COMBO, 6));
        EXPECT_EQ("D8: Confirm of Connection", ComboItem(d, IDC_ROUTINE_COMBO, 10));
        EXPECT_EQ("08: Reset Run Option.", Text(d, IDC_RUN_OPTION_COMBO));
        EXPECT_EQ(8, SendDlgItemMessageA(d, IDC_RUN_OPTION_COMBO, CB_GETCOUNT, 0, 0));
        EXPECT_EQ("01: Error Invalid.", ComboItem(d, IDC_RUN_OPTION_COMBO, 0));
        SetDlgItemTextA(d, IDC_ROUTINE_COMBO, "C7: edited by hand");
        SetDlgItemTextA(d, IDC_RUN_OPTION_COMBO, "03: Loop Routine. Error Invalid.");
        Click(d, IDOK);
    });
    EXPECT_EQ(1, result);
    EXPECT_EQ(0xCFu, g_app.routineId) << "C7 is no routine";
    EXPECT_EQ(3u, g_app.runOption);

    result = RunDebug(owner, [](HWND d) {
        SetDlgItemTextA(d, IDC_ROUTINE_COMBO, "d1");
        SetDlgItemTextA(d, IDC_RUN_OPTION_COMBO, "0A");
        Click(d, IDOK);
    });
    EXPECT_EQ(1, result);
    EXPECT_EQ(0xD1u, g_app.routineId) << "a D routine is offered";
    EXPECT_EQ(10u, g_app.runOption) << "the run option is not checked";

    g_app.routineId = 0xC3;
    result = RunDebug(owner, [](HWND d) { Click(d, IDCANCEL); });
    EXPECT_EQ(2, result) << "ROUTINE cancelled closes Select Unit without a run";
    EXPECT_EQ(0xC3u, g_app.routineId);
    EXPECT_FALSE(g_stalled);
    DestroyWindow(owner);
}

TEST(Routine, D8ChecksConnectionAndNeedsACluster)
{
    HWND owner = Fresh(0, 1);
    g_app.cluster = 7;
    int result = RunDebug(owner,
        [](HWND d) {
            SetDlgItemTextA(d, IDC_ROUTINE_COMBO, "D8: Confirm of Connection");
            Click(d, IDOK);
        },
        {
            { "Select Cluster", [](HWND d) {
                EXPECT_EQ("CLUSTER1", Text(d, IDC_CLUSTER1));
                EXPECT_EQ("CLUSTER2", Text(d, IDC_CLUSTER2));
                EXPECT_EQ(3, g_app.driveTable[16][11].equipState) << "checked before the cluster";
                PostMessageA(d, WM_COMMAND, IDCANCEL, 0);
                PostMessageA(d, WM_CLOSE, 0, 0);
            } },
            /* Still open after Cancel and Close. */
            { "Select Cluster", [](HWND d) { Click(d, IDC_CLUSTER2); } },
        });
    EXPECT_EQ(1, result);
    EXPECT_FALSE(g_stalled);
    EXPECT_EQ(g_steps.size(), g_next);
    EXPECT_EQ(0xD8u, g_app.routineId);
    EXPECT_EQ(1, g_app.cluster);
    int connected = 0;
    for (auto &unit : g_app.driveTable)
        for (auto &e : unit)
            connected += e.equipState == 3;
    EXPECT_EQ(88, connected);
    EXPECT_EQ(0, g_app.driveTable[0][12].equipState) << "position 12 holds no equipped drive";

    result = RunDebug(owner,
        [](HWND d) { SetDlgItemTextA(d, IDC_ROUTINE_COMBO, "D8"); Click(d, IDOK); },
        { { "Select Cluster", [](HWND d) { Click(d, IDC_CLUSTER1); } } });
    EXPECT_EQ(1, result);
    EXPECT_EQ(0, g_app.cluster);
    DestroyWindow(owner);
}

/* ---- Error HDD List ---- */

static int ShowList(HWND owner)
{
    ShowErrorList(owner);
    return 1;
}

static std::string Cell(HWND list, int item, int column)
{
    char text[160] = "";
    LVITEMA cell = {};
    cell.iSubItem = column;
    cell.pszText = text;
    cell.cchTextMax = sizeof text;
    SendMessageA(list, LVM_GETITEMTEXTA, item, (LPARAM)&cell);
    return text;
}

TEST(ErrorList, OneLinePerFailedDriveInUnitAndRowOrder)
{
    HWND owner = Fresh();
    memset(g_app.driveTable[0][3].name, 0, DRIVE_NAME_LEN);
    g_app.driveTable[0][3].errorCode = 0;
    g_app.driveTable[9][3].errorCode = 0xECE3;
    g_app.driveTable[0][1].errorCode = 0xC102;
    g_app.driveTable[1][0].errorCode = 0xC201;
    snprintf(g_app.errorContents, sizeof g_app.errorContents, "main window text");
    Drive(ShowList, owner, { { "Error HDD List", [](HWND d) {
        HWND list = GetDlgItem(d, IDC_ERROR_LIST);
        ASSERT_NE(nullptr, list);
        EXPECT_TRUE(GetWindowLongA(list, GWL_STYLE) & LVS_REPORT);
        static const struct { const char *title; int width; } kColumns[] = {
            { "HDD Name", 80 }, { "Error Code", 80 }, { "Contents", 286 } };
        for (int i = 0; i < 3; i++) {
            char title[32] = "";
            LVCOLUMNA col = {};
            col.mask = LVCF_TEXT | LVCF_WIDTH;
            col.pszText = title;
            col.cchTextMax = sizeof title;
            EXPECT_TRUE(SendMessageA(list, LVM_GETCOLUMNA, i, (LPARAM)&col));
            EXPECT_STREQ(kColumns[i].title, title);
            EXPECT_EQ(kColumns[i].width, col.cx);
        }
        ASSERT_EQ(3, SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
        static const char *const kLines[3][3] = {
            { "HDD00-01", "c1 02", "text C102" },
            { "HDD01-00", "c2 01", "text C201" },
            { "HDD11-03", "ec e3", "text ECE3" },
        };
        for (int i = 0; i < 3; i++)
            for (int c = 0; c < 3; c++)
                EXPECT_EQ(kLines[i][c], Cell(list, i, c)) << i << "," << c;
        EXPECT_NE(nullptr, FindWindowExA(d, nullptr, "Static", "Refer to Diag Log for detail."));
        Click(d, IDOK);
    } } });
    EXPECT_FALSE(g_stalled);
    EXPECT_EQ(g_steps.size(), g_next);
    EXPECT_STREQ("main window text", g_app.errorContents) << "the main window's text is kept";
    EXPECT_EQ(0xC102, g_app.driveTable[0][1].errorCode) << "the list changes no code";
    DestroyWindow(owner);
}

/* ---- failed queries: each in a child with its own description ---- */

enum : int {
    CHILD_CANCELLED = 0x01,   /* Select Unit ended with 2 */
    CHILD_ENDED     = 0x02,   /* exactly one WM_COMMAND 40013 reached the main window */
    CHILD_REPORTED  = 0x04,   /* the failure report (step EB, with its window) was made */
    CHILD_SEEN      = 0x08,   /* the dialogs looked as expected when the end arrived */
    CHILD_STEPS     = 0x10,   /* the script ran to its end */
    CHILD_ALL       = 0x1F,
};

static int g_childSeen;

struct FailCase {
    const char *name;
    uint16_t debugMode;
    std::vector<Step> steps;
    void (*onEnd)(HWND top);
};

static const FailCase *FindCase(const char *name);

static int SelectFailChild(int argc, char **argv)
{
    if (argc < 3)
        return 99;
    SetEnv("MTP_SUBSYSTEM_INI", argv[1]);
    const FailCase *c = FindCase(argv[2]);
    if (!c)
        return 98;
    HWND owner = Fresh(0, c->debugMode);
    g_onEnd = c->onEnd;
    g_childSeen = 0;
    int result = Drive(RunSelectUnit, owner, c->steps);
    int rc = 0;
    if (result == 2)
        rc |= CHILD_CANCELLED;
    if (std::count(g_ownerCmds.begin(), g_ownerCmds.end(), UINT(IDM_EXIT)) == 1 && g_ownerCmds.size() == 1)
        rc |= CHILD_ENDED;
    if (std::count(g_calls.begin(), g_calls.end(), "SetErrorInfo EB0010") == 1 &&
        std::count(g_calls.begin(), g_calls.end(), "ShowErrorReport 100FFFF") == 1)
        rc |= CHILD_REPORTED;
    if (g_childSeen)
        rc |= CHILD_SEEN;
    if (g_next == g_steps.size() && !g_stalled)
        rc |= CHILD_STEPS;
    DestroyWindow(owner);
    return rc;
}
static ChildRole g_failRole("selectfail", SelectFailChild);

static const FailCase kCases[] = {
    { "hdu", 0, {
        { "Select Unit", [](HWND d) { Click(d, 1001); } },
        { "DKU", [](HWND d) { Click(d, 1006); } } },
      [](HWND top) {
          /* Positions 0-4 were done; the loop stopped at the failing position 5. */
          g_childSeen = top && Caption(top) == "HDU-01" && EnabledRange(top, 1013, 1020) == "11111000";
      } },
    { "dku", 0, {
        { "Select Unit", [](HWND d) { Click(d, 1001); } } },
      [](HWND top) {
          g_childSeen = top && Caption(top) == "DKU" && Enabled(top, 1005) && Text(top, 1006) == "HDU-01" &&
                        Text(top, 1007) == "HDU2";
      } },
    { "unit", 0, {},
      [](HWND top) {
          g_childSeen = top && Caption(top) == "Select Unit" && Text(top, 1003) == "DKU-R1" &&
                        Text(top, 1004) == "DKU3" && g_app.driveTable[5][5].selected == 0;
      } },
    { "all", 0, {
        { "Select Unit", [](HWND d) { Click(d, IDC_ALL_HDD); } } },
      [](HWND top) {
          /* The scan stopped at once at unit 1 row 5; the list was never opened. */
          g_childSeen = top && Caption(top) == "Select Unit" &&
                        std::count(g_created.begin(), g_created.end(), "Select HDD List") == 0 &&
                        g_app.driveTable[0][11].selected == 1 && g_app.driveTable[1][4].selected == 1 &&
                        g_app.driveTable[1][6].selected == 0 && g_app.driveTable[2][0].selected == 0;
      } },
    { "d8", 1, {
        { "Select Unit", [](HWND d) { Click(d, 1001); } },
        { "DKU", [](HWND d) { Click(d, 1005); } },
        { "HDU-00", [](HWND d) { Toggle(d, 1013); Click(d, IDOK); } },
        { "DKU", [](HWND d) { Click(d, IDCANCEL); } },
        { "Select Unit", [](HWND d) { Click(d, IDOK); } },
        { "Select HDD List", [](HWND d) { Click(d, IDOK); } },
        { "ROUTINE", [](HWND d) { SetDlgItemTextA(d, IDC_ROUTINE_COMBO, "D8"); Click(d, IDOK); } } },
      [](HWND) {
          g_childSeen = g_app.driveTable[0][0].equipState == 3 && g_app.driveTable[9][1].equipState == 3 &&
                        g_app.driveTable[9][3].equipState == 0;
      } },
};

static const FailCase *FindCase(const char *name)
{
    for (const FailCase &c : kCases)
        if (strcmp(c.name, name) == 0)
            return &c;
    return nullptr;
}

TEST(Failures, EachDialogReportsItsLocationCodeAndEndsTheProgram)
{
    static const struct {
        const char *name, *fail, *code, *before, *after;
    } kRuns[] = {
        { "hdu",  "GetPdevEquipStatus.0105=0x2345", "DC1-01",
          "GetPdevEquipStatus Function failed. EC = 2345", "GetPdevEquipStatus Function failed. EC = 2345" },
        { "dku",  "GetPdevEquipStatus.0100=0x2346", "DC1-02",
          "GetPdevEquipStatus Function failed. EC = 2346", "GetHddBoxEquipStatus Function failed. EC = 2346" },
        { "unit", "GetHduEquipStatus.0002=0x2347", "DC1-03",
          nullptr, "GetHduEquipStatus Function failed. EC = 2347" },
        { "all",  "GetPdevEquipStatus.0105=0x2348", "DC1-04",
          "GetPdevEquipStatus Function failed. EC = 2348", "GetPdevEquipStatus Function failed. EC = 2348" },
        { "d8",   "GetPdevEquipStatus.0902=0x2349", "DC1-05",
          "GetPdevEquipStatus Function failed. EC = 2349", "GetPdevEquipStatus Function failed. EC = 2349" },
    };
    std::string dir = TempDir();
    for (auto &r : kRuns) {
        SCOPED_TRACE(r.name);
        std::string ini = dir + r.name + ".ini";
        WriteFileBytes(ini, std::string("[Subsystem]\r\nMessageBox=trace\r\n[Fail]\r\n") + r.fail + "\r\n");
        size_t mark = TraceMark();
        EXPECT_EQ(CHILD_ALL, WaitExit(StartChild("selectfail", ini + " " + r.name), 60000));
        auto t = TraceTexts(mark);
        EXPECT_EQ(1u, GrepLines(t, "mtp_MessageBox [").size()) << "one box";
        int box = FindText(t, std::string("mtp_MessageBox [") + r.code + "]");
        ASSERT_GE(box, 1);
        if (r.before) {
            EXPECT_EQ(r.before, t[box - 1]);
        }
        ASSERT_LT(size_t(box + 1), t.size());
        EXPECT_EQ(r.after, t[box + 1]);
    }
}

/* The whole program: a failed "ALL HDD" scan ends it while Select Unit is open. */
static void StartOnce(HWND wnd, int idle)
{
    if (idle == 0)
        PostMessageA(wnd, WM_COMMAND, IDC_START, 0);
}

static int RunWhole(HWND)
{
    RunProgramRecorded("", StartOnce);
    return 0;
}

static int ProgramFailChild(int argc, char **argv)
{
    if (argc < 2)
        return 99;
    SetEnv("MTP_SUBSYSTEM_INI", argv[1]);
    ResetDoubles();
    Drive(RunWhole, nullptr, { { "Select Unit", [](HWND d) { Click(d, IDC_ALL_HDD); } } });
    int rc = 0;
    if (std::count(g_mainMsgs.begin(), g_mainMsgs.end(), UINT(IDM_EXIT)) == 1)
        rc |= 0x01;
    if (std::count(g_mainMsgs.begin(), g_mainMsgs.end(), UINT(UM_START_UNIT)) == 0)
        rc |= 0x02;
    if (g_next == g_steps.size() && !g_stalled)
        rc |= 0x04;
    if (std::find(g_calls.begin(), g_calls.end(), "StartDiag 0") == g_calls.end())
        rc |= 0x08;
    return rc;
}
static ChildRole g_programFailRole("programfail", ProgramFailChild);

TEST(Failures, TheProgramEndsWhileSelectUnitIsOpen)
{
    std::string ini = TempDir() + "program.ini";
    WriteFileBytes(ini, "[Subsystem]\r\nMessageBox=trace\r\n[Fail]\r\nGetPdevEquipStatus.0203=0x2350\r\n");
    size_t mark = TraceMark();
    EXPECT_EQ(0x0F, WaitExit(StartChild("programfail", ini), 60000));
    auto t = TraceTexts(mark);
    int box = FindText(t, "mtp_MessageBox [DC1-04]");
    ASSERT_GE(box, 0);
    EXPECT_EQ(box + 1, FindText(t, "GetPdevEquipStatus Function failed. EC = 2350", size_t(box)));
    EXPECT_GT(FindText(t, "VESTRA END"), box);
}
