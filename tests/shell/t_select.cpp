/* The selection dialogs and the Error HDD List, driven as a user would (shell_util's dialog
 * scripts). The lower layers are the scripted doubles; the service library is the stand-in. */
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
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new TraceEnv(kDescription));

static bool Enabled(HWND dlg, int id)
{
    HWND c = GetDlgItem(dlg, id);
    return c && IsWindowEnabled(c);
}

static bool Checked(HWND dlg, int id) { return IsDlgButtonChecked(dlg, id) == BST_CHECKED; }

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

/* Texts of the controls, joined by '|'. */
static std::string Texts(HWND dlg, std::initializer_list<int> ids)
{
    std::string s;
    for (int id : ids)
        s += (s.empty() ? "" : "|") + ItemText(dlg, id);
    return s;
}

/* Enabled state of the controls first..last as a string of 1 and 0. */
static std::string EnabledRange(HWND dlg, int first, int last)
{
    std::string s;
    for (int id = first; id <= last; id++)
        s += Enabled(dlg, id) ? '1' : '0';
    return s;
}

/* PDEVs of the drive table entries that pass the test, in unit and row order. */
static std::vector<uint16_t> Pdevs(bool (*test)(const DriveEntry &))
{
    std::vector<uint16_t> out;
    for (uint32_t unit = 0; unit < UNIT_COUNT; unit++)
        for (uint32_t row = 0; row < ROW_COUNT; row++)
            if (test(g_run.driveTable[unit][row]))
                out.push_back(uint16_t(unit << 8 | row));
    return out;
}
static std::vector<uint16_t> SelectedPdevs() { return Pdevs([](const DriveEntry &e) { return e.selected == 1; }); }

/* A fresh program state: names as start-up fills them, HV, normal mode, and an old run's marks
 * that opening Select Unit must clear. */
static HWND Fresh(uint16_t dkcModel = 0, uint16_t debugMode = 0)
{
    ResetDoubles();
    g_app.instance = GetModuleHandleA(nullptr);
    memset(g_run.driveTable, 0, sizeof g_run.driveTable);
    RenewInformation();
    g_app.dkcModel = dkcModel;
    g_app.debugMode = debugMode;
    g_run.routineId = g_run.runOption = 0;
    g_run.driveTable[5][5].selected = 1;
    g_run.driveTable[0][3].errorCode = 0xC102;
    g_run.driveTable[0][4].equipState = 3;
    g_run.unitList[0] = 7;
    g_run.unitCount = 1;
    g_run.driveBitmap[2] = 1;
    return g_app.mainWnd = MakeOwner();
}

static void ExpectClearedApartFrom(const std::vector<uint16_t> &selected)
{
    EXPECT_EQ(selected, SelectedPdevs());
    EXPECT_EQ(0, g_run.driveTable[0][3].errorCode);
    EXPECT_EQ(0, g_run.driveTable[0][4].equipState);
    EXPECT_EQ(UNIT_NONE, g_run.unitList[0]);
    EXPECT_EQ(0, g_run.unitCount);
    EXPECT_EQ(0u, g_run.driveBitmap[2]);
}

/* ---- Select Unit, DKU, HDU, Select HDD List ---- */

TEST(SelectUnit, HvWalkDownToDrivesSetsTheRun)
{
    HWND owner = Fresh();
    for (DriveEntry &e : g_run.driveTable[12])
        memset(e.name, 0, sizeof e.name);
    int result = Drive(RunSelectUnit, owner, {
        { "Select Unit", [](HWND d) {
            EXPECT_EQ("DKU-R0|DKU-L1|DKU-R1|------", Texts(d, { 1001, 1002, 1003, 1004 }));
            EXPECT_EQ("11100", EnabledRange(d, 1001, 1005)) << "DKU 3 and 4 have no HDU";
            Click(d, IDOK);
        } },
        { "Select HDD List", [](HWND d) {
            EXPECT_FALSE(Enabled(d, IDOK)) << "nothing selected";
            EXPECT_TRUE(ListItems(d, IDC_LIST_RIGHT).empty());
            Click(d, IDCANCEL);
        } },
        /* Select Unit stays open after the list's Cancel. */
        { "Select Unit", [](HWND d) { Click(d, 1001); } },
        { "DKU", [](HWND d) {
            EXPECT_EQ("HDU-00|HDU-04|------", Texts(d, { 1005, 1009, 1010 }));
            EXPECT_EQ("11111000", EnabledRange(d, 1005, 1012));
            Click(d, 1009);
        } },
        { "HDU-04", [](HWND d) {
            EXPECT_EQ("10|1F|00|0F", Texts(d, { 1013, 1028, 1029, 1044 })) << "the relabelled template";
            EXPECT_EQ("111" + std::string(29, '0'), EnabledRange(d, 1013, 1044));
            EXPECT_EQ("HDD04-0xx", ItemText(d, IDC_HDD_LABEL));
            Toggle(d, 1013);
            Click(d, IDCANCEL);
        } },
        { "DKU", [](HWND d) { Click(d, 1006); } },
        { "HDU-01", [](HWND d) {
            EXPECT_EQ("HDD01-0xx", ItemText(d, IDC_HDD_LABEL)) << "first name cut after 7";
            EXPECT_EQ("00|1F", Texts(d, { 1013, 1044 }));
            EXPECT_EQ(std::string(12, '1') + std::string(20, '0'), EnabledRange(d, 1013, 1044));
            EXPECT_FALSE(Enabled(d, IDOK)) << "OK waits for a click";
            Toggle(d, 1015);
            EXPECT_TRUE(Enabled(d, IDOK));
            Toggle(d, 1020);
            Click(d, IDOK);
        } },
        { "DKU", [](HWND d) { Click(d, 1006); } },
        { "HDU-01", [](HWND d) {
            EXPECT_EQ("101", std::string() + "01"[Checked(d, 1015)] + "01"[Checked(d, 1016)] + "01"[Checked(d, 1020)])
                << "selected drives show checked";
            Toggle(d, 1016);
            Toggle(d, 1020);
            Click(d, IDOK);
        } },
        { "DKU", [](HWND d) { Click(d, IDCANCEL); } },
        { "Select Unit", [](HWND d) { Click(d, 1002); } },
        { "DKU", [](HWND d) {
            EXPECT_EQ("HDU-10", ItemText(d, 1005));
            EXPECT_EQ("11001000", EnabledRange(d, 1005, 1012));
            Click(d, 1009);
        } },
        { "HDU-14", [](HWND d) {
            EXPECT_EQ("HDD?\?-?\?", ItemText(d, IDC_HDD_LABEL)) << "no named drive in the box";
            EXPECT_EQ("00", ItemText(d, 1013)) << "only the first DKU relabels its rear boxes";
            EXPECT_EQ("1" + std::string(31, '0'), EnabledRange(d, 1013, 1044));
            Click(d, IDCANCEL);
        } },
        { "DKU", [](HWND d) { Click(d, 1006); } },
        { "HDU-11", [](HWND d) {
            EXPECT_EQ("HDD11-0xx", ItemText(d, IDC_HDD_LABEL));
            Toggle(d, 1013);
            Click(d, IDOK);
        } },
        { "DKU", [](HWND d) { Click(d, IDCANCEL); } },
        { "Select Unit", [](HWND d) { Click(d, IDOK); } },
        { "Select HDD List", [](HWND d) {
            EXPECT_TRUE(Enabled(d, IDOK));
            EXPECT_EQ((std::vector<std::string>{ "HDD01-02", "HDD01-03" }), ListItems(d, IDC_LIST_RIGHT));
            EXPECT_EQ((std::vector<std::string>{ "HDD11-00" }), ListItems(d, IDC_LIST_LEFT))
                << "unit 9: the left list";
            Click(d, IDOK);
        } },
    });
    EXPECT_EQ(1, result);
    EXPECT_SCRIPT_DONE();
    /* OK unselects 0107; the Cancel in HDU-04 selected nothing. */
    ExpectClearedApartFrom({ 0x0102, 0x0103, 0x0900 });
    EXPECT_EQ(0xCFu, g_run.routineId);
    EXPECT_EQ(8u, g_run.runOption);
    EXPECT_EQ(1, g_selectChoice.dku);
    EXPECT_EQ(1, g_selectChoice.box);
    EXPECT_EQ(0, g_selectChoice.hdd);
    EXPECT_TRUE(g_ownerCmds.empty()) << "nothing failed";
    DestroyWindow(owner);
}

TEST(SelectUnit, LtVariants)
{
    HWND owner = Fresh(1);
    int result = Drive(RunSelectUnit, owner, {
        { "Select Unit", [](HWND d) {
            EXPECT_EQ(nullptr, GetDlgItem(d, 1005)) << "four DKUs";
            EXPECT_EQ("DKU-L1", ItemText(d, 1002));
            EXPECT_EQ("1110", EnabledRange(d, 1001, 1004));
            Click(d, 1002);
        } },
        { "DKU", [](HWND d) {
            EXPECT_EQ(nullptr, GetDlgItem(d, 1009)) << "four boxes";
            EXPECT_EQ("1100", EnabledRange(d, 1005, 1008));
            Click(d, 1006);
        } },
        { "HDU-11", [](HWND d) {
            EXPECT_EQ("HDD11-xx", ItemText(d, IDC_HDD_LABEL)) << "cut after 6";
            EXPECT_EQ(nullptr, GetDlgItem(d, 1029));
            EXPECT_FALSE(GetWindowLongA(GetDlgItem(d, 1028), GWL_STYLE) & WS_VISIBLE) << "0F hidden";
            EXPECT_EQ(std::string(12, '1') + "0000", EnabledRange(d, 1013, 1028));
            Toggle(d, 1013);
            Click(d, IDOK);
        } },
        { "DKU", [](HWND d) { Click(d, IDCANCEL); } },
        { "Select Unit", [](HWND d) { Click(d, 1001); } },
        { "DKU", [](HWND d) { Click(d, 1005); } },
        { "HDU-00", [](HWND d) { Toggle(d, 1013); Toggle(d, 1014); Click(d, IDOK); } },
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
    EXPECT_SCRIPT_DONE();
    ExpectClearedApartFrom({ 0x0000, 0x0001, 0x0900 });
    DestroyWindow(owner);
}

/* The equipped drives by the stand-in's word (88: units 0-4, 8, 9, 12 and 16). */
static std::vector<uint16_t> EquippedPdevs()
{
    std::vector<uint16_t> out;
    for (uint32_t unit = 0; unit < UNIT_COUNT; unit++)
        for (uint32_t row = 0; row < ROW_COUNT; row++) {
            uint16_t pdev = uint16_t(unit << 8 | row), state = 0, ec = 0;
            if (GetPdevEquipState(pdev, &state, &ec) && state == SVC_EQUIPPED)
                out.push_back(pdev);
        }
    return out;
}

/* ---- ROUTINE and Select Cluster (debug mode) ---- */

/* Select Unit with "ALL HDD", the list's OK, then act on ROUTINE (and more steps after it).
 * "ALL HDD" selects every equipped drive and nothing else. */
static int RunDebug(HWND owner, StepFn routine, std::vector<Step> more = {})
{
    std::vector<Step> steps = {
        { "Select Unit", [](HWND d) { Click(d, IDC_ALL_HDD); } },
        { "Select HDD List", [](HWND d) {
            auto right = ListItems(d, IDC_LIST_RIGHT), left = ListItems(d, IDC_LIST_LEFT);
            ASSERT_EQ(63u, right.size()) << "units 0-4 and 16";
            ASSERT_EQ(25u, left.size()) << "units 8, 9 and 12";
            EXPECT_EQ("HDD00-00|HDD20-0B|HDD10-00", right.front() + "|" + right.back() + "|" + left.front());
            Click(d, IDOK);
        } },
        { "ROUTINE", routine },
    };
    steps.insert(steps.end(), more.begin(), more.end());
    int result = Drive(RunSelectUnit, owner, steps);
    EXPECT_SCRIPT_DONE();
    auto equipped = EquippedPdevs();
    EXPECT_EQ(88u, equipped.size());
    EXPECT_EQ(equipped, SelectedPdevs());
    return result;
}

TEST(Routine, TextsDecideAndD8NeedsACluster)
{
    HWND owner = Fresh(0, 1);
    EXPECT_EQ(1, RunDebug(owner, [](HWND d) {
        EXPECT_EQ("CF: C1 + C2 + C3 + C4", ItemText(d, IDC_ROUTINE_COMBO));
        EXPECT_EQ(11, SendDlgItemMessageA(d, IDC_ROUTINE_COMBO, CB_GETCOUNT, 0, 0));
        EXPECT_EQ("08: Reset Run Option.", ItemText(d, IDC_RUN_OPTION_COMBO));
        EXPECT_EQ(8, SendDlgItemMessageA(d, IDC_RUN_OPTION_COMBO, CB_GETCOUNT, 0, 0));
        SetDlgItemTextA(d, IDC_ROUTINE_COMBO, "C7: edited by hand");
        SetDlgItemTextA(d, IDC_RUN_OPTION_COMBO, "03: Loop Routine. Error Invalid.");
        Click(d, IDOK);
    }));
    EXPECT_EQ(0xCFu, g_run.routineId) << "C7 is no routine";
    EXPECT_EQ(3u, g_run.runOption);

    EXPECT_EQ(1, RunDebug(owner, [](HWND d) {
        SetDlgItemTextA(d, IDC_ROUTINE_COMBO, "d1");
        SetDlgItemTextA(d, IDC_RUN_OPTION_COMBO, "0A");
        Click(d, IDOK);
    }));
    EXPECT_EQ(0xD1u, g_run.routineId) << "a D routine is offered";
    EXPECT_EQ(10u, g_run.runOption) << "the run option is not checked";

    g_run.routineId = 0xC3;
    EXPECT_EQ(2, RunDebug(owner, [](HWND d) { Click(d, IDCANCEL); }))
        << "ROUTINE cancelled closes Select Unit without a run";
    EXPECT_EQ(0xC3u, g_run.routineId);

    /* D8: the connection check, then a cluster must be picked. */
    g_run.cluster = 7;
    EXPECT_EQ(1, RunDebug(owner,
        [](HWND d) {
            SetDlgItemTextA(d, IDC_ROUTINE_COMBO, "D8: Confirm of Connection");
            Click(d, IDOK);
        },
        {
            { "Select Cluster", [](HWND d) {
                EXPECT_EQ(3, g_run.driveTable[16][11].equipState) << "checked before the cluster";
                PostMessageA(d, WM_COMMAND, IDCANCEL, 0);
                PostMessageA(d, WM_CLOSE, 0, 0);
            } },
            /* Still open after Cancel and Close. */
            { "Select Cluster", [](HWND d) { Click(d, IDC_CLUSTER2); } },
        }));
    EXPECT_EQ(0xD8u, g_run.routineId);
    EXPECT_EQ(1, g_run.cluster);
    EXPECT_EQ(EquippedPdevs(), Pdevs([](const DriveEntry &e) { return e.equipState == 3; }));

    EXPECT_EQ(1, RunDebug(owner, [](HWND d) { SetDlgItemTextA(d, IDC_ROUTINE_COMBO, "D8"); Click(d, IDOK); },
                          { { "Select Cluster", [](HWND d) { Click(d, IDC_CLUSTER1); } } }));
    EXPECT_EQ(0, g_run.cluster);
    DestroyWindow(owner);
}

/* ---- Error HDD List ---- */

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
    memset(g_run.driveTable[0][3].name, 0, DRIVE_NAME_LEN);
    g_run.driveTable[0][3].errorCode = 0;
    g_run.driveTable[9][3].errorCode = 0xECE3;
    g_run.driveTable[0][1].errorCode = 0xC102;
    g_run.driveTable[1][0].errorCode = 0xC201;
    snprintf(g_err.errorContents, sizeof g_err.errorContents, "main window text");
    Drive([](HWND o) { ShowErrorList(o); return 1; }, owner, { { "Error HDD List", [](HWND d) {
        HWND list = GetDlgItem(d, IDC_ERROR_LIST);
        ASSERT_NE(nullptr, list);
        EXPECT_TRUE(GetWindowLongA(list, GWL_STYLE) & LVS_REPORT);
        static const char *const kLines[3][3] = {
            { "HDD00-01", "c1 02", "text C102" },
            { "HDD01-00", "c2 01", "text C201" },
            { "HDD11-03", "ec e3", "text ECE3" },
        };
        ASSERT_EQ(3, SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
        for (int i = 0; i < 3; i++)
            for (int c = 0; c < 3; c++)
                EXPECT_EQ(kLines[i][c], Cell(list, i, c)) << i << "," << c;
        Click(d, IDOK);
    } } });
    EXPECT_SCRIPT_DONE();
    EXPECT_STREQ("main window text", g_err.errorContents) << "the main window's text is kept";
    EXPECT_EQ(0xC102, g_run.driveTable[0][1].errorCode) << "the list changes no code";
    DestroyWindow(owner);
}

/* ---- failed queries: each in a child with its own description ---- */

/* A child's exit code: bit i set when check i failed. */
static int FailedChecks(std::initializer_list<bool> checks)
{
    int rc = 0, bit = 1;
    for (bool ok : checks) {
        rc |= ok ? 0 : bit;
        bit <<= 1;
    }
    return rc;
}

/* The failure report (step EB, with its window) made exactly once. */
static bool ReportedOnce()
{
    return std::count(g_calls.begin(), g_calls.end(), "SetErrorInfo EB0010") == 1 &&
           std::count(g_calls.begin(), g_calls.end(), "ShowErrorReport 100FFFF") == 1;
}

static bool g_childSeen;   /* the dialogs looked as expected when the end arrived */

/* [Fail] entry fail (with EC 0x2345 + index), location code, the query that the last trace
 * line names. onEnd null: the whole program (child "programfail"). */
struct FailCase {
    const char *name, *fail, *code, *query;
    uint16_t debugMode;
    std::vector<Step> steps;
    void (*onEnd)(HWND top);
};

static const FailCase kCases[] = {
    { "hdu", "GetPdevEquipStatus.0105", "DC1-01", "GetPdevEquipStatus", 0,
      { { "Select Unit", [](HWND d) { Click(d, 1001); } }, { "DKU", [](HWND d) { Click(d, 1006); } } },
      [](HWND top) {
          /* Positions 0-4 were done; the loop stopped at the failing position 5. */
          g_childSeen = top && Caption(top) == "HDU-01" && EnabledRange(top, 1013, 1020) == "11111000";
      } },
    { "dku", "GetPdevEquipStatus.0100", "DC1-02", "GetHddBoxEquipStatus", 0,
      { { "Select Unit", [](HWND d) { Click(d, 1001); } } },
      [](HWND top) {
          g_childSeen = top && Caption(top) == "DKU" && Enabled(top, 1005) && ItemText(top, 1006) == "HDU-01" &&
                        ItemText(top, 1007) == "HDU2";
      } },
    { "unit", "GetHduEquipStatus.0002", "DC1-03", "GetHduEquipStatus", 0, {},
      [](HWND top) {
          g_childSeen = top && Caption(top) == "Select Unit" && ItemText(top, 1003) == "DKU-R1" &&
                        ItemText(top, 1004) == "DKU3" && g_run.driveTable[5][5].selected == 0;
      } },
    { "all", "GetPdevEquipStatus.0203", "DC1-04", "GetPdevEquipStatus", 0,
      { { "Select Unit", [](HWND d) { Click(d, IDC_ALL_HDD); } } }, nullptr },
    { "d8", "GetPdevEquipStatus.0902", "DC1-05", "GetPdevEquipStatus", 1,
      { { "Select Unit", [](HWND d) { Click(d, 1001); } },   /* "ALL HDD" would meet the failure first */
        { "DKU", [](HWND d) { Click(d, 1005); } },
        { "HDU-00", [](HWND d) { Toggle(d, 1013); Click(d, IDOK); } },
        { "DKU", [](HWND d) { Click(d, IDCANCEL); } },
        { "Select Unit", [](HWND d) { Click(d, IDOK); } },
        { "Select HDD List", [](HWND d) { Click(d, IDOK); } },
        { "ROUTINE", [](HWND d) { SetDlgItemTextA(d, IDC_ROUTINE_COMBO, "D8"); Click(d, IDOK); } } },
      [](HWND) {
          g_childSeen = g_run.driveTable[0][0].equipState == 3 && g_run.driveTable[9][1].equipState == 3 &&
                        g_run.driveTable[9][3].equipState == 0;
      } },
};

static const FailCase *ChildCase(int argc, char **argv)
{
    if (argc < 3)
        return nullptr;
    SetEnv("MTP_SUBSYSTEM_INI", argv[1]);
    for (const FailCase &c : kCases)
        if (strcmp(c.name, argv[2]) == 0)
            return &c;
    return nullptr;
}

static int SelectFailChild(int argc, char **argv)
{
    const FailCase *c = ChildCase(argc, argv);
    if (!c)
        return 99;
    HWND owner = Fresh(0, c->debugMode);
    g_onEnd = c->onEnd;
    int result = Drive(RunSelectUnit, owner, c->steps);
    DestroyWindow(owner);
    return FailedChecks({ result == 2, g_ownerCmds == std::vector<UINT>{ IDM_EXIT }, ReportedOnce(), g_childSeen,
                          g_next == g_steps.size() && !g_stalled });
}
static ChildRole g_failRole("selectfail", SelectFailChild);

/* The whole program: a failed "ALL HDD" scan stops at once and ends it while Select Unit is
 * open; the list never opens and no run starts. */
static int ProgramFailChild(int argc, char **argv)
{
    const FailCase *c = ChildCase(argc, argv);
    if (!c)
        return 99;
    ResetDoubles();
    RunProgramScripted("", [](HWND wnd, int idle) { if (idle == 0) PostMessageA(wnd, WM_COMMAND, IDC_START, 0); },
                       c->steps);
    auto &t = g_run.driveTable;
    return FailedChecks({ std::count(g_mainMsgs.begin(), g_mainMsgs.end(), UINT(IDM_EXIT)) == 1,
                          std::count(g_mainMsgs.begin(), g_mainMsgs.end(), UINT(UM_START_UNIT)) == 0,
                          g_next == g_steps.size() && !g_stalled, ReportedOnce(),
                          std::find(g_calls.begin(), g_calls.end(), "StartDiag 0") == g_calls.end(),
                          std::count(g_created.begin(), g_created.end(), "Select HDD List") == 0,
                          t[1][11].selected && t[2][2].selected && !t[2][4].selected && !t[3][0].selected });
}
static ChildRole g_programFailRole("programfail", ProgramFailChild);

TEST(Failures, EachDialogReportsItsLocationCodeAndEndsTheProgram)
{
    std::string dir = TempDir();
    for (size_t i = 0; i < std::size(kCases); i++) {
        const FailCase &c = kCases[i];
        SCOPED_TRACE(c.name);
        char ec[8], failed[64];
        snprintf(ec, sizeof ec, "%04zx", 0x2345 + i);
        snprintf(failed, sizeof failed, " Function failed. EC = %s", ec);
        std::string ini = dir + c.name + ".ini";
        WriteFileBytes(ini, std::string("[Subsystem]\r\nMessageBox=trace\r\n[Fail]\r\n") + c.fail + "=0x" + ec + "\r\n");
        size_t mark = TraceMark();
        EXPECT_EQ(0, WaitExit(StartChild(c.onEnd ? "selectfail" : "programfail", ini + " " + c.name), 60000))
            << "bits of the failed checks";
        auto t = TraceTexts(mark);
        EXPECT_EQ(1u, GrepLines(t, "mtp_MessageBox [").size()) << "one box";
        int box = FindText(t, std::string("mtp_MessageBox [") + c.code + "]");
        ASSERT_GE(box, 1);
        if (strncmp(c.fail, "GetPdevEquipStatus", 18) == 0) {
            EXPECT_EQ(std::string("GetPdevEquipStatus") + failed, t[box - 1]);
        }
        ASSERT_LT(size_t(box + 1), t.size());
        EXPECT_EQ(c.query + std::string(failed), t[box + 1]);
        if (!c.onEnd) {
            EXPECT_GT(FindText(t, "VESTRA END"), box);
        }
    }
}
