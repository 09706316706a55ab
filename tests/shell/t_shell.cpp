/* The shell in process: launch block, run sequence against scripted lower layers, equipment
 * configuration against the service-library stand-in. */
#include "tests/shell/doubles.h"
#include "tests/shell/shell_util.h"
#include "tests/support/support.h"
#include "routines/routines.h"
#include "res/resource.h"
#include "svclib/mtpsvc.h"
#include <gtest/gtest.h>
#include <stdio.h>

/* Every test of this program shares one trace log and one subsystem description. */
static const char kDescription[] =
    "[Subsystem]\r\n"
    "DkcModel=4\r\nMtpMode=7\r\nTraceCalls=1\r\nMessageBox=trace\r\n"
    "[DKU.1]\r\nModel=5\r\n"
    "[DKU.3]\r\nEquip=1\r\nModel=5\r\nLocation=DKU-L2\r\n"
    "[Box.3.0]\r\nEquip=1\r\nDrives=\r\n"
    "[Fail]\r\nGetDkaEquipStatus.0002=0x3333\r\nmtp_GetPdevLocation.0003=0x4444\r\n"
    "[LDEV]\r\nEquip=0:0-3,255:0\r\nStatus=0x2002\r\nStatus.FF.00=0x2003\r\n";

class ShellEnv : public testing::Environment {
public:
    void SetUp() override { UseTraceAndDescription(kDescription); }
};
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new ShellEnv);

static uint32_t Word(const uint8_t *view, size_t offset) { return GetLe32(view + offset); }

/* ---- launch block ---- */

TEST(Launch, RefusedCommandLinesEndAtOnce)
{
    static const struct { const char *line; const char *trace; } kCases[] = {
        { "xyz1", "Invalid Command Line : xyz1" },
        { "123456789abcdef0", "Invalid Command Line : 123456789abcdef0" },   /* 16 characters */
        { "100000000", "Invalid Command Line : 100000000" },                 /* beyond 32 bits */
        { "beef", "OpenFileMapping was failed.\\nEC : 00000002 MAPFILE NAME : DIAGAPI0000beef" },
    };
    for (auto &c : kCases) {
        SCOPED_TRACE(c.line);
        size_t mark = TraceMark();
        EXPECT_EQ(0, RunProgram(GetModuleHandleA(nullptr), c.line));
        auto t = TraceTexts(mark);
        int at = FindText(t, c.trace);
        ASSERT_GE(at, 0);
        EXPECT_EQ(at + 1, FindText(t, "Close MapFile Handle = 00000000"));
        EXPECT_EQ(size_t(at + 2), t.size()) << "nothing else runs";
        EXPECT_EQ(nullptr, g_app.launchBlock);
        EXPECT_EQ(nullptr, g_app.launchMapping);
    }
}

TEST(Launch, BlockBytesTraceAndRequest)
{
    uint32_t select[ROW_COUNT] = {};
    select[5] = 0x80000000u >> 2 | 0x80000000u >> 9;
    TestBlock b = MakeBlock(0xFF, 0xC3, select);
    ASSERT_NE(nullptr, b.view);
    b.view[2] = 0x11; b.view[3] = 0x22; b.view[324] = 0x33; b.view[325] = 0x44; b.view[326] = 0x55;
    b.view[336] = 0x5A;

    size_t mark = TraceMark();
    ASSERT_EQ(1, OpenLaunchBlock(BlockArg(b).c_str()));
    TraceLaunchBlock(TRACE_BANNER_START);
    memset(g_app.unitList, UNIT_NONE, sizeof g_app.unitList);
    g_app.unitCount = 0;
    g_app.debugMode = 1;
    ReadLaunchRequest(nullptr);
    MSG msg;
    EXPECT_TRUE(PeekMessageA(&msg, (HWND)-1, UM_START_UNIT, UM_START_UNIT, PM_REMOVE));
    EXPECT_EQ(1, CloseLaunchBlock());

    EXPECT_EQ(2, g_app.unitCount);
    EXPECT_EQ(2, g_app.unitList[0]);
    EXPECT_EQ(9, g_app.unitList[1]);
    EXPECT_EQ(UNIT_NONE, g_app.unitList[2]);
    EXPECT_EQ(0xC0u, g_app.routineId);
    EXPECT_EQ(8u, g_app.runOption);
    EXPECT_EQ(0, g_app.debugMode);
    EXPECT_EQ(select[5], g_app.driveBitmap[5]);

    auto t = TraceTexts(mark);
    int start = FindText(t, "VESTRA START");
    ASSERT_GE(start, 1);
    EXPECT_EQ(0u, t[start - 1].find("Open MapFile Handle = "));
    EXPECT_EQ("FF C3 11 22 33 44 55 EE 5A 00 00 ", t[start + 1]);
    EXPECT_EQ("00HB->00:00000000 01:00000000 02:00000000 03:00000000 04:00000000 "
              "05:20400000 06:00000000 07:00000000", t[start + 2]);
    EXPECT_EQ(0u, t[start + 11].find("72HB->00:"));
    EXPECT_EQ("Routine ID = 000000c3", t[start + 12]);
    FreeBlock(b);
}

/* ---- run sequence, automatic ---- */

struct AutoRun {
    std::vector<std::string> calls;
    std::vector<UINT> msgs;
    std::vector<std::string> trace;
    uint8_t block[1024];
};

static AutoRun RunAutomatic(uint8_t mode, uint8_t routine, std::initializer_list<uint32_t> units,
                            uint32_t rows = 0x3)
{
    uint32_t select[ROW_COUNT] = {};
    for (uint32_t unit : units)
        for (uint32_t row = 0; row < 32; row++)
            if (rows & (1u << row))
                select[row] |= UnitBit(unit);
    TestBlock b = MakeBlock(mode, routine, select);
    b.view[LB_ERROR_FLAG] = 0x5A;
    size_t mark = TraceMark();
    RunProgramRecorded(BlockArg(b).c_str(), nullptr);
    AutoRun r;
    r.calls = g_calls;
    r.msgs = g_mainMsgs;
    r.trace = TraceTexts(mark);
    memcpy(r.block, b.view, sizeof r.block);
    FreeBlock(b);
    return r;
}

static std::vector<std::string> Calls(std::initializer_list<const char *> list)
{
    std::vector<std::string> out = { "OpenCommunication 0" };
    for (const char *c : list)
        out.push_back(c);
    out.push_back("CloseCommunication 0");
    return out;
}

TEST(RunSequence, AutomaticRunsFollowTheOutcomes)
{
    {
        SCOPED_TRACE("three units pass");
        ResetDoubles();
        AutoRun r = RunAutomatic(0xFF, 0xCF, { 1, 2, 8 });
        EXPECT_EQ(Calls({ "StartDiag 1", "RunRoutine 1", "EndDiag 1", "StartDiag 2", "RunRoutine 2",
                          "EndDiag 2", "StartDiag 8", "RunRoutine 8", "EndDiag 8" }), r.calls);
        std::vector<UINT> want = { UM_INITIALIZE };
        for (int i = 0; i < 3; i++)
            want.insert(want.end(), { UM_START_UNIT, UM_ROUTINE_READY, UM_ROUTINE_RUN, UM_NEXT_UNIT });
        want.insert(want.end(), { UM_NORMAL_END, UM_RUN_ENDED, IDM_EXIT });
        EXPECT_EQ(want, r.msgs);
        EXPECT_EQ(0, r.block[LB_END_STATUS]);
        EXPECT_EQ(0x5A, r.block[LB_ERROR_FLAG]) << "left as the launcher wrote it";
        for (size_t row = 0; row < ROW_COUNT; row++)
            EXPECT_EQ(0u, Word(r.block, LB_DRIVE_ERROR + 4 * row));
        int end = FindText(r.trace, "VESTRA END");
        ASSERT_GE(end, 10);
        EXPECT_EQ(0u, r.trace[end - 10].find("00BM->00:00000000"));
    }
    {
        SCOPED_TRACE("the first of three units fails");
        ResetDoubles();
        g_script.outcomes = { OUTCOME_FAILED };
        AutoRun r = RunAutomatic(0xFF, 0xC0, { 0, 1, 2 });
        EXPECT_EQ(Calls({ "StartDiag 0", "RunRoutine 0", "EndDiag 0" }), r.calls);
        EXPECT_EQ((std::vector<UINT>{ UM_INITIALIZE, UM_START_UNIT, UM_ROUTINE_READY, UM_ROUTINE_RUN,
                                      UM_ABNORMAL_END, UM_RUN_ENDED, IDM_EXIT }), r.msgs);
    }
    {
        SCOPED_TRACE("every unit continues, one drive recorded an error");
        ResetDoubles();
        g_script.recordErrorAtCall = 1;
        AutoRun r = RunAutomatic(0xFF, 0xCF, { 3, 4, 5 }, 0x6);
        EXPECT_EQ(10u, r.calls.size() - 1);
        EXPECT_EQ(UM_ABNORMAL_END, r.msgs[r.msgs.size() - 3]);
        EXPECT_EQ(0xFF, r.block[LB_ERROR_FLAG]);
        EXPECT_EQ(0x80000000u >> 4, Word(r.block, LB_DRIVE_ERROR + 4 * 1)) << "unit 4, first row 1";
        EXPECT_EQ(0u, Word(r.block, LB_DRIVE_ERROR + 4 * 2));
        EXPECT_GE(FindText(r.trace, "00BM->00:00000000 01:08000000 02:00000000 03:00000000 04:00000000 "
                                    "05:00000000 06:00000000 07:00000000"), 0);
    }
    {
        SCOPED_TRACE("stop during the first of three units");
        ResetDoubles();
        g_script.stopAtCall = 0;
        AutoRun r = RunAutomatic(0xFF, 0xCF, { 0, 1, 2 });
        EXPECT_EQ(Calls({ "StartDiag 0", "RunRoutine 0", "EndDiag 0" }), r.calls);
        EXPECT_EQ(UM_NORMAL_END, r.msgs[r.msgs.size() - 3]);
    }
    {
        SCOPED_TRACE("repeat keeps the diagnosis open");
        ResetDoubles();
        g_script.outcomes = { OUTCOME_REPEAT, OUTCOME_REPEAT_OLD, OUTCOME_CONTINUE };
        AutoRun r = RunAutomatic(0xFF, 0xCF, { 7 });
        EXPECT_EQ(Calls({ "StartDiag 7", "RunRoutine 7", "RunRoutine 7", "RunRoutine 7", "EndDiag 7" }),
                  r.calls);
        EXPECT_EQ(UM_NORMAL_END, r.msgs[r.msgs.size() - 3]);
    }
    {
        SCOPED_TRACE("stopped routine, then a stop while closing after a pass");
        ResetDoubles();
        g_script.outcomes = { OUTCOME_STOPPED };
        AutoRun r = RunAutomatic(0xFF, 0xCF, { 0, 1 });
        EXPECT_EQ(Calls({ "StartDiag 0", "RunRoutine 0", "EndDiag 0" }), r.calls);
        EXPECT_EQ(UM_USER_STOP, r.msgs[r.msgs.size() - 3]);
        ResetDoubles();
        g_script.endDiagFailAtCall = 0;
        g_script.endDiagFailKind = FAIL_STOPPED;
        r = RunAutomatic(0xFF, 0xCF, { 0, 1 });
        EXPECT_EQ(Calls({ "StartDiag 0", "RunRoutine 0", "EndDiag 0" }), r.calls);
        EXPECT_EQ(UM_USER_STOP, r.msgs[r.msgs.size() - 3]);
        ResetDoubles();
        g_script.endDiagFailAtCall = 0;
        g_script.endDiagFailKind = FAIL_CHECKS;
        r = RunAutomatic(0xFF, 0xCF, { 0, 1 });
        EXPECT_EQ(8u, r.calls.size()) << "a closing failure that is no stop goes on";
    }
    {
        SCOPED_TRACE("diagnosis cannot be opened");
        ResetDoubles();
        g_script.startDiagFailAtCall = 1;
        g_script.startDiagFailKind = FAIL_STOPPED;
        AutoRun r = RunAutomatic(0xFF, 0xCF, { 0, 1, 2 });
        EXPECT_EQ(Calls({ "StartDiag 0", "RunRoutine 0", "EndDiag 0", "StartDiag 1" }), r.calls);
        EXPECT_EQ(UM_USER_STOP, r.msgs[r.msgs.size() - 3]);
        ResetDoubles();
        g_script.startDiagFailAtCall = 0;
        r = RunAutomatic(0xFF, 0xCF, { 0, 1, 2 });
        EXPECT_EQ(UM_ABNORMAL_END, r.msgs[r.msgs.size() - 3]);
    }
    {
        SCOPED_TRACE("unknown routine ends the run as an invalid parameter");
        ResetDoubles();
        g_script.outcomes = { OUTCOME_UNKNOWN_ROUTINE };
        AutoRun r = RunAutomatic(0xFF, 0xCF, { 0, 1 });
        EXPECT_EQ(Calls({ "StartDiag 0", "RunRoutine 0" }), r.calls);
        EXPECT_EQ(UM_INVALID_PARAMETER, r.msgs[r.msgs.size() - 3]);
    }
    {
        SCOPED_TRACE("no drive requested");
        ResetDoubles();
        AutoRun r = RunAutomatic(0xFF, 0xCF, {});
        EXPECT_EQ(IDM_EXIT, r.msgs.back());
        EXPECT_EQ(0, r.block[LB_END_STATUS]);
    }
}

TEST(RunSequence, LaunchModesAndStartFailures)
{
    {
        SCOPED_TRACE("0x10 hands the temporary folder to the configuration queries");
        ResetDoubles();
        AutoRun r = RunAutomatic(0x10, 0xC3, { 0 });
        EXPECT_GE(FindText(r.trace, "TmpDirFlag : 00000001"), 0);
        EXPECT_GE(FindText(r.trace, "Routine ID = 000000c3"), 0);
        EXPECT_EQ(0xC0u, g_app.routineId);
        auto dka = GrepLines(r.trace, "GetDkaEquipStatus(");
        ASSERT_EQ(2u, dka.size());
        for (auto &l : dka)
            EXPECT_NE(std::string::npos, l.find("c:\\trn600\\tmp\\config\\")) << l;
        EXPECT_EQ(DISPLAY_AUTOMATIC, g_app.displayMode);
    }
    {
        SCOPED_TRACE("0xFF gives the queries no folder");
        ResetDoubles();
        AutoRun r = RunAutomatic(0xFF, 0xCF, { 0 });
        EXPECT_GE(FindText(r.trace, "TmpDirFlag : 00000000"), 0);
        for (auto &l : GrepLines(r.trace, "GetDkaEquipStatus("))
            EXPECT_EQ(std::string::npos, l.find("config")) << l;
    }
    {
        SCOPED_TRACE("communication cannot be opened");
        ResetDoubles();
        g_script.openCommunicationOk = 0;
        AutoRun r = RunAutomatic(0xFF, 0xCF, { 0 });
        EXPECT_EQ((std::vector<std::string>{ "OpenCommunication 0", "SetErrorInfo EC0010",
                                             "CloseCommunication 0" }), r.calls)
            << "no report window without a window";
        int box = FindText(r.trace, "mtp_MessageBox [DC3-01]");
        ASSERT_GE(box, 0);
        EXPECT_EQ(box + 1, FindText(r.trace, "Communication Initialized Failed. EC = 0000"));
        EXPECT_EQ((std::vector<UINT>{ UM_INITIALIZE, IDM_EXIT }), r.msgs);
        EXPECT_EQ(0, r.block[LB_END_STATUS]);
    }
    {
        SCOPED_TRACE("the window cannot be created");
        TestBlock b = MakeBlock(0xFF, 0xCF, nullptr);
        /* A module without dialog 138. */
        EXPECT_EQ(0, RunProgram(GetModuleHandleA("MTPCMN32.dll"), BlockArg(b).c_str()));
        EXPECT_EQ(0xEC, b.view[LB_ERROR_STEP]);
        EXPECT_EQ(0, b.view[LB_END_STATUS]);
        EXPECT_EQ(0xFF, b.view[LB_ERROR_FLAG]);
        EXPECT_EQ(nullptr, g_app.launchBlock);
        FreeBlock(b);
    }
}

/* ---- run sequence, interactive ---- */

static std::string g_statusAtIdle[3];
static HHOOK g_selectHook;
static int g_errorLists;   /* Error HDD List windows opened */

/* Answers the dialogs of an interactive run as a user taking every drive would: "ALL HDD" in
 * Select Unit, OK in Select HDD List and in the Error HDD List. */
static LRESULT CALLBACK AnswerSelection(int code, WPARAM wp, LPARAM lp)
{
    if (code == HCBT_CREATEWND) {
        HWND wnd = (HWND)wp;
        const CBT_CREATEWNDA *cw = (const CBT_CREATEWNDA *)lp;
        char cls[16] = "";
        GetClassNameA(wnd, cls, sizeof cls);
        const char *name = cw->lpcs->lpszName;
        if (strcmp(cls, "#32770") == 0 && name && !IS_INTRESOURCE(name)) {
            if (strcmp(name, "Select Unit") == 0)
                PostMessageA(wnd, WM_COMMAND, IDC_ALL_HDD, 0);
            else if (strcmp(name, "Select HDD List") == 0)
                PostMessageA(wnd, WM_COMMAND, IDOK, 0);
            else if (strcmp(name, "Error HDD List") == 0 && ++g_errorLists)
                PostMessageA(wnd, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(g_selectHook, code, wp, lp);
}

static void RunInteractive(const char *cmdLine, void (*onIdle)(HWND, int))
{
    g_errorLists = 0;
    g_selectHook = SetWindowsHookExA(WH_CBT, AnswerSelection, nullptr, GetCurrentThreadId());
    RunProgramRecorded(cmdLine, onIdle);
    UnhookWindowsHookEx(g_selectHook);
}

static void StartThenExit(HWND wnd, int idle)
{
    char text[128];
    GetDlgItemTextA(wnd, IDC_STATUS, text, sizeof text);
    if (idle < 3)
        g_statusAtIdle[idle] = text;
    PostMessageA(wnd, WM_COMMAND, idle == 0 ? IDC_START : IDC_EXIT, 0);
}

TEST(RunSequence, InteractiveWindowRunsOnStart)
{
    ResetDoubles();
    size_t mark = TraceMark();
    RunInteractive("", [](HWND wnd, int idle) {
        if (idle == 0) {
            RECT rc;
            GetWindowRect(wnd, &rc);
            EXPECT_EQ(0, rc.left);
            EXPECT_EQ(20, rc.top);
            EXPECT_TRUE(IsWindowVisible(wnd));
            HMENU menu = GetMenu(wnd);
            EXPECT_TRUE(GetMenuState(menu, IDM_START, MF_BYCOMMAND) & MF_GRAYED);
            EXPECT_TRUE(GetMenuState(menu, IDM_EXIT, MF_BYCOMMAND) & MF_GRAYED);
            EXPECT_TRUE(GetMenuState(GetSystemMenu(wnd, FALSE), SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED);
            char text[64];
            GetDlgItemTextA(wnd, IDC_ROUTINE_ID, text, sizeof text);
            EXPECT_STREQ(" ", text);
            EXPECT_EQ(std::string("HDD00-01"), g_app.driveTable[0][1].name);
            EXPECT_EQ(std::string("------"), g_app.driveTable[0][3].name) << "location query fails";
            EXPECT_EQ(0, g_app.driveTable[0][12].name[0]) << "position 12 holds no drive";
        }
        StartThenExit(wnd, idle);
    });
    EXPECT_EQ(" ", g_statusAtIdle[0]) << "all logical devices blocked";
    EXPECT_EQ("Vestra Normal END", g_statusAtIdle[1]);
    EXPECT_EQ(0, g_errorLists) << "no error, no list";
    /* The stand-in's default drives: DKU0 boxes 0-3, DKU1 boxes 0-1, DKU2 box 0. */
    std::vector<std::string> want = { "OpenCommunication 0" };
    for (uint32_t unit : { 0, 1, 2, 3, 8, 9, 16 })
        for (const char *c : { "StartDiag", "RunRoutine", "EndDiag" })
            want.push_back(std::string(c) + " " + (unit < 10 ? std::to_string(unit) : "10"));
    want.push_back("CloseCommunication 0");
    EXPECT_EQ(want, g_calls);
    EXPECT_EQ(0xCFu, g_app.routineId);
    auto t = TraceTexts(mark);
    int end = FindText(t, "Drive Table Nothing", size_t(FindText(t, "After Com Ini")));
    ASSERT_GE(end, 0);
    EXPECT_EQ(end + 1, FindText(t, "VESTRA END"));
    EXPECT_EQ(end + 2, FindText(t, "Drive Table Nothing", size_t(end + 1)));
}

TEST(RunSequence, InteractiveWithBlockWritesTheOutcome)
{
    ResetDoubles();
    g_script.recordErrorAtCall = 0;
    TestBlock b = MakeBlock(0x05, 0xCF, nullptr);
    RunInteractive(BlockArg(b).c_str(), StartThenExit);
    EXPECT_EQ("Vestra Abnormal END", g_statusAtIdle[1]);
    EXPECT_EQ(1, g_errorLists) << "the error list after the run";
    EXPECT_EQ(0, g_app.displayMode);
    EXPECT_EQ(0, b.view[LB_END_STATUS]);
    EXPECT_EQ(0xFF, b.view[LB_ERROR_FLAG]);
    EXPECT_EQ(0x80000000u, Word(b.view, LB_DRIVE_ERROR)) << "unit 0 row 0";
    FreeBlock(b);
}

/* ---- configuration ---- */

TEST(Config, ReadsModelsPairsAndMode)
{
    size_t mark = TraceMark();
    ReadConfiguration();
    auto t = TraceTexts(mark);
    EXPECT_EQ(0, g_app.dkcModel) << "model 4 is HV";
    EXPECT_EQ(2, g_app.debugMode) << "maintenance mode 7";
    EXPECT_EQ(1, g_app.conKind);
    static const uint16_t kModels[8] = { 0, 1, 0, 1, 0, 0, 0, 0 };
    for (int dku = 0; dku < 8; dku++)
        EXPECT_EQ(kModels[dku], g_app.dkuModel[dku]) << dku;
    std::vector<std::string> own;
    for (auto &l : t)
        if (l.compare(0, 4, "svc ") != 0)
            own.push_back(l);
    std::vector<std::string> want = { "DKC Model(0:HV ; 1:LT) = 0" };
    for (int dku = 0; dku < 8; dku++)
        want.push_back("No." + std::to_string(dku) + " DKU Model(0:QX7 ; 1:QX5) = " +
                       std::to_string(kModels[dku]));
    want.push_back("DkaPareConf -> GetDkaEquipStatus Failed. EC=3333 DKA#:2");
    want.push_back("2DKA Pair Configuration!");
    want.push_back("2Pare DKF? (0:1Pare ; 1:2Pare) = 1");
    EXPECT_EQ(want, own);
    EXPECT_EQ(4u, GrepLines(t, "svc GetDkuModel(").size()) << "DKUs 4 to 7 are never asked";
}

TEST(Config, DrivesBoxesLocationsAndPaths)
{
    uint16_t state = 0, ec = 0;
    size_t mark = TraceMark();
    EXPECT_EQ(1, GetPdevEquipState(0x2000, &state, &ec));
    EXPECT_EQ(SVC_NOT_EQUIPPED, state);
    EXPECT_EQ(1, GetPdevEquipState(0x0050, &state, &ec));
    EXPECT_EQ(SVC_NOT_EQUIPPED, state);
    EXPECT_TRUE(TraceTexts(mark).empty()) << "outside the table: no query";
    EXPECT_EQ(1, GetPdevEquipState(0x0105, &state, &ec));
    EXPECT_EQ(SVC_EQUIPPED, state);

    uint8_t unit = 0xAA, row = 0xAA;
    EXPECT_EQ(1, GetPdevOfLocation(1, 1, 5, &unit, &row));
    EXPECT_EQ(9, unit);
    EXPECT_EQ(5, row);
    EXPECT_EQ(0, GetPdevOfLocation(6, 0, 0, &unit, &row));
    EXPECT_EQ(0, unit);
    EXPECT_EQ(0, row);

    EXPECT_EQ(1, GetHddBoxEquipStatus(0, 2, &state, &ec));
    EXPECT_EQ(SVC_EQUIPPED, state);
    EXPECT_EQ(1, GetHddBoxEquipStatus(3, 0, &state, &ec));
    EXPECT_EQ(SVC_NOT_EQUIPPED, state) << "a box without drives";
    EXPECT_EQ(1, GetHddBoxEquipStatus(0, 7, &state, &ec));
    EXPECT_EQ(0x1100, state) << "a box without valid positions";

    char buf[DRIVE_NAME_LEN];
    mark = TraceMark();
    EXPECT_EQ(1, GetPdevLocationText(0x0003, buf));
    EXPECT_STREQ("------", buf);
    EXPECT_EQ(1, GetDkuLocationText(5, buf));
    EXPECT_STREQ("------", buf);
    EXPECT_EQ(1, GetDkuLocationText(3, buf));
    EXPECT_STREQ("DKU-L2", buf);
    std::vector<std::string> own;
    for (auto &l : TraceTexts(mark))
        if (l.compare(0, 4, "svc ") != 0)
            own.push_back(l);
    EXPECT_EQ((std::vector<std::string>{ "mtp_GetPdevLocation Function failed. EC = 4444" }), own)
        << "a missing DKU location (EC 1201) is not traced";

    g_app.mpIdMain = g_app.mpIdAlt = 0;
    EXPECT_EQ(1, GetMpIds(0x0902));   /* DKU 1 box 1: paths (0,1,1) and (1,1,1) */
    EXPECT_EQ(0x80 + 0x05, g_app.mpIdMain);
    EXPECT_EQ(0x80 + 0x15, g_app.mpIdAlt);

    uint16_t result = 0;
    EXPECT_EQ(1, GetLdevStatus(&result, &ec));
    EXPECT_EQ(LDEV_ALL_BLOCKED, result) << "group 255 is not examined";
}

/* A child that checks the logical devices against its own description. */
static int LdevChild(int argc, char **argv)
{
    if (argc < 2)
        return 99;
    SetEnv("MTP_SUBSYSTEM_INI", argv[1]);
    uint16_t result = 0, ec = 0;
    if (!GetLdevStatus(&result, &ec))
        return 100;
    return result;
}
static ChildRole g_ldevRole("ldev", LdevChild);

/* A child that runs the whole program against its own description. */
static int ProgramChild(int argc, char **argv)
{
    if (argc < 2)
        return 99;
    SetEnv("MTP_SUBSYSTEM_INI", argv[1]);
    ResetDoubles();
    return RunProgram(GetModuleHandleA(nullptr), argc > 2 ? argv[2] : "");
}
static ChildRole g_programRole("program", ProgramChild);

TEST(Config, LogicalDeviceStatesAndFailures)
{
    std::string dir = TempDir();
    WriteFileBytes(dir + "unblocked.ini", "[Subsystem]\r\nMessageBox=trace\r\nTraceCalls=1\r\n"
                                          "[LDEV]\r\nEquip=0:0-7\r\nStatus=0x2004\r\nStatus.00.06=0x2003\r\n");
    WriteFileBytes(dir + "blocked.ini", "[LDEV]\r\nEquip=0:0-7,1:0\r\nStatus=0x2020\r\nStatus.01.00=0x2010\r\n");
    WriteFileBytes(dir + "failing.ini", "[Subsystem]\r\nMessageBox=trace\r\n[Fail]\r\nGetAllLdevStatus=0x2222\r\n");
    EXPECT_EQ(LDEV_NOT_BLOCKED, WaitExit(StartChild("ldev", dir + "unblocked.ini"), 30000));
    EXPECT_EQ(LDEV_ALL_BLOCKED, WaitExit(StartChild("ldev", dir + "blocked.ini"), 30000));

    /* A failed check after start-up ends the program by itself. */
    size_t mark = TraceMark();
    EXPECT_EQ(0, WaitExit(StartChild("program", dir + "failing.ini"), 60000));
    auto t = TraceTexts(mark);
    int failed = FindText(t, "GetAllLdevStatus failed. EC=2222");
    ASSERT_GE(failed, 0);
    EXPECT_EQ(failed + 1, FindText(t, "mtp_MessageBox [DC3-02]"));
    EXPECT_EQ(failed + 2, FindText(t, "GetLdevStatus Function failed. EC = 2222"));
    EXPECT_GT(FindText(t, "VESTRA END"), failed);

    /* Not all blocked: the window says so and Start does not run. */
    mark = TraceMark();
    HANDLE child = StartChild("program", dir + "unblocked.ini");
    HWND wnd = nullptr;
    for (int i = 0; i < 200 && !wnd; i++) {
        WaitForSingleObject(child, 50);
        wnd = FindWindowA("#32770", "Vestra");
    }
    ASSERT_NE(nullptr, wnd);
    char text[128] = "";
    for (int i = 0; i < 200 && strcmp(text, "All Logical Device[s] Not Blocked!") != 0; i++) {
        WaitForSingleObject(child, 50);
        GetDlgItemTextA(wnd, IDC_STATUS, text, sizeof text);
    }
    EXPECT_STREQ("All Logical Device[s] Not Blocked!", text);
    SendMessageA(wnd, WM_COMMAND, IDC_START, 0);
    PostMessageA(wnd, WM_COMMAND, IDC_EXIT, 0);
    EXPECT_EQ(0, WaitExit(child, 30000));
    t = TraceTexts(mark);
    auto ldev = GrepLines(t, "svc GetAllLdevStatus(");
    ASSERT_EQ(2u, ldev.size()) << "after start-up and at Start";
    int started = -1;
    for (size_t i = 0; i < t.size(); i++)
        if (t[i] == ldev[1])
            started = int(i);
    for (size_t i = size_t(started); i < t.size(); i++)
        EXPECT_EQ(std::string::npos, t[i].find("svc GetPdevEquipStatus(")) << "no selection after Start";
}

/* ---- debug mode ---- */

static std::string g_password, g_boxText;
static HHOOK g_cbt;

/* Answers the access-code prompt with g_password and notes the text of the message box. */
static LRESULT CALLBACK AnswerDialogs(int code, WPARAM wp, LPARAM lp)
{
    if (code == HCBT_ACTIVATE) {
        HWND wnd = (HWND)wp;
        char caption[64] = "";
        GetWindowTextA(wnd, caption, sizeof caption);
        if (strcmp(caption, "Input PassWord") == 0) {
            SetDlgItemTextA(wnd, 1091, g_password.c_str());
            PostMessageA(wnd, WM_COMMAND, IDOK, 0);
        } else if (strcmp(caption, "Pass Word") == 0) {
            char text[128] = "";
            GetDlgItemTextA(wnd, 0xFFFF, text, sizeof text);
            g_boxText = text;
            PostMessageA(wnd, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(g_cbt, code, wp, lp);
}

/* Runs the prompt with a code; 1 when UM_DEBUG_MODE was posted (and handled). */
static int TryPassword(HWND wnd, const char *code)
{
    g_password = code;
    g_boxText.clear();
    g_cbt = SetWindowsHookExA(WH_CBT, AnswerDialogs, nullptr, GetCurrentThreadId());
    SendMessageA(wnd, UM_ASK_PASSWORD, 0, 0);
    UnhookWindowsHookEx(g_cbt);
    MSG msg;
    if (!PeekMessageA(&msg, wnd, UM_DEBUG_MODE, UM_DEBUG_MODE, PM_REMOVE))
        return 0;
    DispatchMessageA(&msg);
    return 1;
}

static int Checked(HWND wnd, UINT id) { return (GetMenuState(GetMenu(wnd), id, MF_BYCOMMAND) & MF_CHECKED) != 0; }

TEST(DebugMode, AccessCodeMenusAndOverrides)
{
    ResetDoubles();
    g_app.instance = GetModuleHandleA(nullptr);
    HWND wnd = CreateDialogParamA(g_app.instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDlgProc, 0);
    ASSERT_NE(nullptr, wnd);
    KillTimer(wnd, TIMER_INIT);
    g_app.debugMode = 0;
    g_app.dkuModelMenu = g_app.dkfType = g_app.conTypeMenu = 0;
    g_app.dkcModel = 0;
    g_app.conKind = 1;
    g_app.dkuModel[0] = 0;
    g_app.dkuModel[1] = 1;
    HMENU normal = GetMenu(wnd);

    EXPECT_EQ(0, TryPassword(wnd, "ktr582"));
    EXPECT_EQ("PassWord Miss.", g_boxText);
    EXPECT_EQ(0, TryPassword(wnd, "KTR5821"));
    EXPECT_EQ(normal, GetMenu(wnd));
    EXPECT_EQ(0, g_app.debugMode);

    EXPECT_EQ(1, TryPassword(wnd, "KTR582"));
    EXPECT_EQ("PassWord  OK.\nChange Debug Mode.", g_boxText);
    EXPECT_EQ(1, g_app.debugMode);
    EXPECT_TRUE(Checked(wnd, IDM_DKU_QX7));
    EXPECT_TRUE(Checked(wnd, IDM_DKF_4MP));
    EXPECT_TRUE(Checked(wnd, IDM_CON_1MP));
    EXPECT_FALSE(Checked(wnd, IDM_DKC_HV) || Checked(wnd, IDM_DKC_LT)) << "no model mark when loaded";
    EXPECT_FALSE(GetMenuState(GetMenu(wnd), IDM_START, MF_BYCOMMAND) & MF_GRAYED);

    SendMessageA(wnd, WM_COMMAND, IDM_DKU_QX5, 0);
    SendMessageA(wnd, WM_COMMAND, IDM_DKF_2MP, 0);
    SendMessageA(wnd, WM_COMMAND, IDM_CON_1MP, 0);
    SendMessageA(wnd, WM_COMMAND, IDM_DKC_LT, 0);
    for (uint16_t model : g_app.dkuModel)
        EXPECT_EQ(1, model);
    EXPECT_EQ(1, g_app.dkfType);
    EXPECT_EQ(0, g_app.conKind);
    EXPECT_EQ(1, g_app.dkcModel);
    EXPECT_TRUE(Checked(wnd, IDM_DKU_QX5) && !Checked(wnd, IDM_DKU_QX7));
    EXPECT_TRUE(Checked(wnd, IDM_DKC_LT) && !Checked(wnd, IDM_DKC_HV));

    SendMessageA(wnd, WM_COMMAND, IDM_NORMAL_MODE, 0);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, wnd, UM_NORMAL_MODE, UM_NORMAL_MODE, PM_REMOVE));
    DispatchMessageA(&msg);
    EXPECT_EQ(0, g_app.debugMode);
    EXPECT_EQ(1, g_app.dkcModel) << "choices stay after leaving";
    EXPECT_EQ(nullptr, GetSubMenu(GetMenu(wnd), 2)) << "the normal menu has two entries";

    /* Back in debug mode the marks show the choices made. */
    EXPECT_EQ(1, TryPassword(wnd, "KTR582"));
    EXPECT_TRUE(Checked(wnd, IDM_DKU_QX5) && Checked(wnd, IDM_DKF_2MP) && Checked(wnd, IDM_CON_1MP));

    /* Ctrl+Shift+D reaches the prompt as an accelerator command. */
    ACCEL accel[4];
    HACCEL table = LoadAcceleratorsA(g_app.instance, MAKEINTRESOURCEA(IDR_ACCEL));
    ASSERT_EQ(1, CopyAcceleratorTableA(table, accel, 4));
    EXPECT_EQ('D', accel[0].key);
    EXPECT_EQ(IDM_ASK_PASSWORD, accel[0].cmd);
    EXPECT_EQ(FVIRTKEY | FNOINVERT | FSHIFT | FCONTROL, accel[0].fVirt);
    PostMessageA(wnd, WM_COMMAND, MAKEWPARAM(IDM_ASK_PASSWORD, 1), 0);
    ASSERT_TRUE(PeekMessageA(&msg, wnd, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    DispatchMessageA(&msg);
    EXPECT_TRUE(PeekMessageA(&msg, wnd, UM_ASK_PASSWORD, UM_ASK_PASSWORD, PM_REMOVE));
    PostMessageA(wnd, WM_COMMAND, MAKEWPARAM(IDM_ASK_PASSWORD, 0), 0);
    ASSERT_TRUE(PeekMessageA(&msg, wnd, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    DispatchMessageA(&msg);
    EXPECT_FALSE(PeekMessageA(&msg, wnd, UM_ASK_PASSWORD, UM_ASK_PASSWORD, PM_REMOVE)) << "only from the accelerator";

    DestroyWindow(wnd);
    PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}
