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
    "[LDEV]\r\nEquip=0:0-4,1:0,255:0\r\nStatus=0x2002\r\nStatus.00.01=0x2004\r\nStatus.00.02=0x2008\r\n"
    "Status.00.03=0x2010\r\nStatus.01.00=0x2020\r\nStatus.FF.00=0x2003\r\n";

static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new TraceEnv(kDescription));

/* ---- launch block ---- */

TEST(Launch, RefusedCommandLinesEndAtOnce)
{
    static const struct { const char *line; const char *trace; } kCases[] = {
        { "xyz1", "Invalid Command Line : xyz1" },
        { "000000000000beef", "Invalid Command Line : 000000000000beef" },   /* 16 characters */
        { "100000000", "Invalid Command Line : 100000000" },                 /* beyond 32 bits */
        { "-1", "Invalid Command Line : -1" },
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

/* ---- run sequence, automatic ---- */

/* The first trace line of a bitmap: "00HB->00:%08lx 01:..." for words 0 to 7. */
static std::string HexLine(const char *tag, const uint32_t *w)
{
    char line[128];
    snprintf(line, sizeof line, "%s->00:%08x 01:%08x 02:%08x 03:%08x 04:%08x 05:%08x 06:%08x 07:%08x",
             tag, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
    return line;
}

/* "S1 R1 E1" → the calls StartDiag 1, RunRoutine 1, EndDiag 1 between opening and closing
 * communication. */
static std::vector<std::string> Calls(const char *list)
{
    std::vector<std::string> out = { "OpenCommunication 0" };
    char kind[2], unit[8];
    for (int n = 0; sscanf(list, " %1[SRE]%7[0-9A-F]%n", kind, unit, &n) == 2; list += n)
        out.push_back(std::string(*kind == 'S' ? "StartDiag " : *kind == 'R' ? "RunRoutine " : "EndDiag ") + unit);
    out.push_back("CloseCommunication 0");
    return out;
}

TEST(RunSequence, AutomaticRunsFollowTheOutcomes)
{
    static const struct {
        const char *name;
        uint8_t mode, routine;
        std::vector<uint32_t> units;
        uint32_t rows;
        void (*script)();
        const char *calls;
        UINT end;   /* the step before UM_RUN_ENDED */
    } kCases[] = {
        { "three units pass", 0xFF, 0xCF, { 1, 2, 8 }, 0x3, [] {},
          "S1 R1 E1 S2 R2 E2 S8 R8 E8", UM_NORMAL_END },
        { "0x10 with routine C3 runs C0", 0x10, 0xC3, { 0 }, 0x3, [] {}, "S0 R0 E0", UM_NORMAL_END },
        { "the first of two units fails", 0xFF, 0xC0, { 2, 9 }, 1u << 5,
          [] { g_script.outcomes = { OUTCOME_FAILED }; }, "S2 R2 E2", UM_ABNORMAL_END },
        { "every unit continues, one drive recorded an error", 0xFF, 0xCF, { 3, 4, 5 }, 0x6,
          [] { g_script.recordErrorAtCall = 1; }, "S3 R3 E3 S4 R4 E4 S5 R5 E5", UM_ABNORMAL_END },
        { "stop during the first of three units", 0xFF, 0xCF, { 0, 1, 2 }, 0x3,
          [] { g_script.stopAtCall = 0; }, "S0 R0 E0", UM_NORMAL_END },
        { "repeat keeps the diagnosis open", 0xFF, 0xCF, { 7 }, 0x3,
          [] { g_script.outcomes = { OUTCOME_REPEAT, OUTCOME_REPEAT_OLD, OUTCOME_CONTINUE }; },
          "S7 R7 R7 R7 E7", UM_NORMAL_END },
        { "stopped routine", 0xFF, 0xCF, { 0, 1 }, 0x3,
          [] { g_script.outcomes = { OUTCOME_STOPPED }; }, "S0 R0 E0", UM_USER_STOP },
        { "a stop while closing after a pass", 0xFF, 0xCF, { 0, 1 }, 0x3,
          [] { g_script.endDiagFailAtCall = 0; g_script.endDiagFailKind = FAIL_STOPPED; },
          "S0 R0 E0", UM_USER_STOP },
        { "a closing failure that is no stop goes on", 0xFF, 0xCF, { 0, 1 }, 0x3,
          [] { g_script.endDiagFailAtCall = 0; g_script.endDiagFailKind = FAIL_CHECKS; },
          "S0 R0 E0 S1 R1 E1", UM_NORMAL_END },
        { "a stop while opening the second unit", 0xFF, 0xCF, { 0, 1, 2 }, 0x3,
          [] { g_script.startDiagFailAtCall = 1; g_script.startDiagFailKind = FAIL_STOPPED; },
          "S0 R0 E0 S1", UM_USER_STOP },
        { "diagnosis cannot be opened", 0xFF, 0xCF, { 0, 1, 2 }, 0x3,
          [] { g_script.startDiagFailAtCall = 0; }, "S0", UM_ABNORMAL_END },
        { "unknown routine (42): diagnosis closed, invalid parameter", 0xFF, 0xCF, { 0, 1 }, 0x3,
          [] { g_script.outcomes = { OUTCOME_UNKNOWN_ROUTINE }; }, "S0 R0 E0", UM_INVALID_PARAMETER },
        { "no drive requested: one pass over the empty list", 0xFF, 0xCF, {}, 0x3, [] {},
          "SFF RFF EFF", UM_NORMAL_END },
    };
    for (auto &c : kCases) {
        SCOPED_TRACE(c.name);
        ResetDoubles();
        c.script();
        bool error = g_script.recordErrorAtCall >= 0;
        uint32_t select[ROW_COUNT] = {};
        for (uint32_t unit : c.units)
            for (uint32_t row = 0; row < 32; row++)
                if (c.rows & (1u << row))
                    select[row] |= UnitBit(unit);
        TestBlock b(c.mode, c.routine, select);
        b.view[2] = 0x11; b.view[3] = 0x22; b.view[324] = 0x33; b.view[325] = 0x44; b.view[326] = 0x55;
        b.view[LB_ERROR_FLAG] = 0x5A;
        size_t mark = TraceMark();
        RunProgramRecorded(b.arg.c_str(), nullptr);
        auto t = TraceTexts(mark);

        EXPECT_EQ(Calls(c.calls), g_calls);
        ASSERT_GE(g_mainMsgs.size(), 4u);
        EXPECT_EQ(UM_INITIALIZE, g_mainMsgs.front());
        if (&c == kCases) {
            std::vector<UINT> want = { UM_INITIALIZE };
            for (int i = 0; i < 3; i++)
                want.insert(want.end(), { UM_START_UNIT, UM_ROUTINE_READY, UM_ROUTINE_RUN, UM_NEXT_UNIT });
            want.insert(want.end(), { UM_NORMAL_END, UM_RUN_ENDED, IDM_EXIT });
            EXPECT_EQ(want, g_mainMsgs);
        }
        EXPECT_EQ((std::vector<UINT>{ c.end, UM_RUN_ENDED, IDM_EXIT }),
                  std::vector<UINT>(g_mainMsgs.end() - 3, g_mainMsgs.end()));
        EXPECT_EQ(DISPLAY_AUTOMATIC, g_app.displayMode);
        EXPECT_EQ(0, g_app.debugMode) << "maintenance mode 7 does not hold in an automatic run";
        EXPECT_EQ(c.routine == 0xCF ? 0xCFu : 0xC0u, g_run.routineId);
        EXPECT_EQ(8u, g_run.runOption);
        std::vector<uint8_t> units(c.units.begin(), c.units.end());
        units.push_back(UNIT_NONE);
        EXPECT_EQ(units, std::vector<uint8_t>(g_run.unitList, g_run.unitList + units.size()));
        EXPECT_EQ(0, b.view[LB_END_STATUS]);
        EXPECT_EQ(error ? 0xFF : 0x5A, b.view[LB_ERROR_FLAG]) << "kept as the launcher wrote it";
        uint32_t errors[ROW_COUNT] = {};
        if (error)
            errors[1] = UnitBit(4);   /* unit 4, its first row 1 */
        for (size_t row = 0; row < ROW_COUNT; row++)
            EXPECT_EQ(errors[row], GetLe32(b.view + LB_DRIVE_ERROR + 4 * row)) << row;

        EXPECT_EQ(0u, t[0].find("Open MapFile Handle = "));
        int start = FindText(t, "VESTRA START"), end = FindText(t, "VESTRA END");
        ASSERT_GE(start, 0);
        ASSERT_GE(end, 10);
        char text[64];
        snprintf(text, sizeof text, "%02X %02X 11 22 33 44 55 EE 5A 00 00 ", c.mode, c.routine);
        EXPECT_EQ(text, t[start + 1]);
        int hb = FindText(t, HexLine("00HB", select), size_t(start));
        ASSERT_GT(hb, start);
        EXPECT_EQ(0u, t[hb + 9].find("72HB->00:"));
        snprintf(text, sizeof text, "Routine ID = %08x", c.routine);
        EXPECT_EQ(hb + 10, FindText(t, text)) << "the id as requested";
        EXPECT_EQ(HexLine("00BM", errors), t[end - 10]);
        /* 0x10 hands the temporary folder to the configuration queries, 0xFF none. */
        bool tmp = c.mode == 0x10;
        EXPECT_GE(FindText(t, tmp ? "TmpDirFlag : 00000001" : "TmpDirFlag : 00000000"), 0);
        auto dka = GrepLines(t, "GetDkaEquipStatus(");
        EXPECT_EQ(2u, dka.size());
        for (auto &l : dka)
            EXPECT_EQ(tmp, l.find("c:\\trn600\\tmp\\config\\") != std::string::npos) << l;
    }
}

TEST(RunSequence, StartFailures)
{
    {
        SCOPED_TRACE("communication cannot be opened");
        ResetDoubles();
        g_script.openCommunicationOk = 0;
        TestBlock b(0xFF, 0xCF, nullptr);
        size_t mark = TraceMark();
        RunProgramRecorded(b.arg.c_str(), nullptr);
        auto t = TraceTexts(mark);
        EXPECT_EQ((std::vector<std::string>{ "OpenCommunication 0", "SetErrorInfo EC0010",
                                             "CloseCommunication 0" }), g_calls)
            << "no report window without a window";
        int box = FindText(t, "mtp_MessageBox [DC3-01]");
        ASSERT_GE(box, 0);
        EXPECT_EQ(box + 1, FindText(t, "Communication Initialized Failed. EC = 0000"));
        EXPECT_EQ((std::vector<UINT>{ UM_INITIALIZE, IDM_EXIT }), g_mainMsgs);
        EXPECT_EQ(0, b.view[LB_END_STATUS]);
    }
    {
        SCOPED_TRACE("the window cannot be created");
        TestBlock b(0xFF, 0xCF, nullptr);
        /* A module without dialog 138. */
        EXPECT_EQ(0, RunProgram(GetModuleHandleA("MTPCMN32.dll"), b.arg.c_str()));
        EXPECT_EQ(0xEC, b.view[LB_ERROR_STEP]);
        EXPECT_EQ(0, b.view[LB_END_STATUS]);
        EXPECT_EQ(0xFF, b.view[LB_ERROR_FLAG]);
        EXPECT_EQ(nullptr, g_app.launchBlock);
    }
}

/* ---- run sequence, interactive ---- */

static std::string g_statusAtIdle[2];

/* Start at the first wait, Exit at the next; notes the status shown at each. */
static void StartThenExit(HWND wnd, int idle)
{
    if (idle < 2)
        g_statusAtIdle[idle] = ItemText(wnd, IDC_STATUS);
    PostMessageA(wnd, WM_COMMAND, idle == 0 ? IDC_START : IDC_EXIT, 0);
}

/* Runs the program under a selection script; an Error HDD List opens after a run with errors
 * (the Exit that follows closes it). */
static void RunInteractive(const char *cmdLine, void (*onIdle)(HWND, int), std::vector<Step> steps,
                           int errorLists)
{
    RunProgramScripted(cmdLine, onIdle, steps);
    EXPECT_SCRIPT_DONE();
    EXPECT_EQ(errorLists, std::count(g_created.begin(), g_created.end(), "Error HDD List"));
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
            EXPECT_EQ(" ", ItemText(wnd, IDC_ROUTINE_ID));
            EXPECT_EQ(std::string("HDD00-01"), g_run.driveTable[0][1].name);
            EXPECT_EQ(std::string("------"), g_run.driveTable[0][3].name) << "location query fails";
            EXPECT_EQ(0, g_run.driveTable[0][12].name[0]) << "position 12 holds no drive";
        }
        StartThenExit(wnd, idle);
    }, { { "Select Unit", [](HWND d) {   /* Cancel, then Start again */
             Click(d, IDCANCEL);
             PostMessageA(g_app.mainWnd, WM_COMMAND, IDC_START, 0);
         } },
         { "Select Unit", [](HWND d) { Click(d, IDC_ALL_HDD); } },
         { "Select HDD List", [](HWND d) { Click(d, IDOK); } } }, 0);
    auto start = std::find(g_mainMsgs.begin(), g_mainMsgs.end(), UINT(IDC_START));
    ASSERT_LT(start + 1, g_mainMsgs.end());
    EXPECT_EQ(UINT(IDC_START), start[1]) << "nothing starts after Cancel";
    EXPECT_EQ(" ", g_statusAtIdle[0]) << "all logical devices blocked";
    EXPECT_EQ("Vestra Normal END", g_statusAtIdle[1]);
    /* The stand-in's default drives: DKU0 boxes 0-3, DKU1 boxes 0-1, DKU2 box 0. */
    EXPECT_EQ(Calls("S0 R0 E0 S1 R1 E1 S2 R2 E2 S3 R3 E3 S8 R8 E8 S9 R9 E9 S10 R10 E10"), g_calls);
    EXPECT_EQ(0xCFu, g_run.routineId);
    auto t = TraceTexts(mark);
    int end = FindText(t, "Drive Table Nothing", size_t(FindText(t, "After Com Ini")));
    ASSERT_GE(end, 0);
    EXPECT_EQ((std::vector<std::string>{ "Drive Table Nothing", "VESTRA END", "Drive Table Nothing",
                                         "Close MapFile Handle = 00000000" }),
              std::vector<std::string>(t.begin() + end, t.end()));
}

TEST(RunSequence, InteractiveWithBlockWritesTheOutcome)
{
    ResetDoubles();
    g_script.recordErrorAtCall = 0;
    TestBlock b(0x05, 0xCF, nullptr);
    /* Positions 1 and 3 of DKU1 box 0: unit 8, rows 1 and 3. */
    RunInteractive(b.arg.c_str(), StartThenExit, {
        { "Select Unit", [](HWND d) { Click(d, 1002); } },
        { "DKU", [](HWND d) { Click(d, 1005); } },
        { "HDU-10", [](HWND d) { Toggle(d, 1014); Toggle(d, 1016); Click(d, IDOK); } },
        { "DKU", [](HWND d) { Click(d, IDCANCEL); } },
        { "Select Unit", [](HWND d) { Click(d, IDOK); } },
        { "Select HDD List", [](HWND d) { Click(d, IDOK); } } }, 1);
    EXPECT_EQ(Calls("S8 R8 E8"), g_calls);
    EXPECT_EQ("Vestra Abnormal END", g_statusAtIdle[1]);
    EXPECT_EQ(0, g_app.displayMode);
    EXPECT_EQ((std::vector<uint8_t>{ 8, UNIT_NONE }), std::vector<uint8_t>(g_run.unitList, g_run.unitList + 2));
    EXPECT_EQ(0, b.view[LB_END_STATUS]);
    EXPECT_EQ(0xFF, b.view[LB_ERROR_FLAG]);
    for (size_t row = 0; row < ROW_COUNT; row++) {
        EXPECT_EQ(row == 1 || row == 3 ? UnitBit(8) : 0u, g_run.driveBitmap[row]) << row;
        EXPECT_EQ(row == 1 ? UnitBit(8) : 0u, GetLe32(b.view + LB_DRIVE_ERROR + 4 * row)) << "first row " << row;
    }
}

/* ---- configuration ---- */

static std::vector<std::string> OwnLines(const std::vector<std::string> &t)
{
    std::vector<std::string> own;
    for (auto &l : t)
        if (l.compare(0, 4, "svc ") != 0)
            own.push_back(l);
    return own;
}

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
    std::vector<std::string> want = { "DKC Model(0:HV ; 1:LT) = 0" };
    for (int dku = 0; dku < 8; dku++)
        want.push_back("No." + std::to_string(dku) + " DKU Model(0:QX7 ; 1:QX5) = " +
                       std::to_string(kModels[dku]));
    want.push_back("DkaPareConf -> GetDkaEquipStatus Failed. EC=3333 DKA#:2");
    want.push_back("2DKA Pair Configuration!");
    want.push_back("2Pare DKF? (0:1Pare ; 1:2Pare) = 1");
    EXPECT_EQ(want, OwnLines(t));
    EXPECT_EQ(4u, GrepLines(t, "svc GetDkuModel(").size()) << "DKUs 4 to 7 are never asked";
}

TEST(Config, DrivesBoxesLocationsAndPaths)
{
    static const struct { bool box; uint16_t a, b, state; bool query; } kStates[] = {
        { false, 0x2000, 0, SVC_NOT_EQUIPPED, false },   /* unit outside the table */
        { false, 0x0050, 0, SVC_NOT_EQUIPPED, false },   /* row outside the table */
        { false, 0x0105, 0, SVC_EQUIPPED, true },
        { true, 0, 2, SVC_EQUIPPED, true },
        { true, 3, 0, SVC_NOT_EQUIPPED, true },          /* a box without drives */
        { true, 0, 7, 0x1100, true },                    /* a box without valid positions */
    };
    for (auto &c : kStates) {
        SCOPED_TRACE(testing::Message() << c.box << " " << c.a << " " << c.b);
        uint16_t state = 0, ec = 0;
        size_t mark = TraceMark();
        EXPECT_EQ(1, c.box ? GetHddBoxEquipStatus(c.a, c.b, &state, &ec) : GetPdevEquipState(c.a, &state, &ec));
        EXPECT_EQ(c.state, state);
        EXPECT_EQ(c.query, !TraceTexts(mark).empty());
    }

    uint8_t unit = 0xAA, row = 0xAA;
    EXPECT_EQ(1, GetPdevOfLocation(1, 1, 5, &unit, &row));
    EXPECT_EQ(0x0905, unit << 8 | row);
    EXPECT_EQ(0, GetPdevOfLocation(6, 0, 0, &unit, &row));
    EXPECT_EQ(0, unit << 8 | row);

    char buf[DRIVE_NAME_LEN];
    size_t mark = TraceMark();
    EXPECT_EQ(1, GetPdevLocationText(0x0003, buf));
    EXPECT_STREQ("------", buf);
    EXPECT_EQ(1, GetDkuLocationText(5, buf));
    EXPECT_STREQ("------", buf);
    EXPECT_EQ(1, GetDkuLocationText(3, buf));
    EXPECT_STREQ("DKU-L2", buf);
    EXPECT_EQ((std::vector<std::string>{ "mtp_GetPdevLocation Function failed. EC = 4444" }),
              OwnLines(TraceTexts(mark))) << "a missing DKU location (EC 1201) is not traced";

    g_run.mpIdMain = g_run.mpIdAlt = 0;
    EXPECT_EQ(1, GetMpIds(0x0902));   /* DKU 1 box 1: paths (0,1,1) and (1,1,1) */
    EXPECT_EQ(0x80 + 0x05, g_run.mpIdMain);
    EXPECT_EQ(0x80 + 0x15, g_run.mpIdAlt);

    uint16_t result = 0, ec = 0;
    EXPECT_EQ(1, GetLdevStatus(&result, &ec));
    EXPECT_EQ(LDEV_ALL_BLOCKED, result) << "states 2002, 2004, 2008, 2010, 2020; group 255 is not examined";
}

/* The whole program against its own description. */
static int ProgramChild(int argc, char **argv)
{
    if (argc < 2)
        return 99;
    SetEnv("MTP_SUBSYSTEM_INI", argv[1]);
    ResetDoubles();
    return RunProgram(GetModuleHandleA(nullptr), "");
}
static ChildRole g_programRole("program", ProgramChild);

TEST(Config, LogicalDeviceStatesAndFailures)
{
    std::string dir = TempDir();
    WriteFileBytes(dir + "unblocked.ini", "[Subsystem]\r\nMessageBox=trace\r\nTraceCalls=1\r\n"
                                          "[LDEV]\r\nEquip=0:0-7\r\nStatus=0x2004\r\nStatus.00.06=0x2003\r\n");
    WriteFileBytes(dir + "failing.ini", "[Subsystem]\r\nMessageBox=trace\r\n[Fail]\r\nGetAllLdevStatus=0x2222\r\n");
    /* A failed check after start-up ends the program by itself. */
    size_t mark = TraceMark();
    EXPECT_EQ(0, WaitExit(StartChild("program", dir + "failing.ini"), 60000));
    auto t = TraceTexts(mark);
    int failed = FindText(t, "GetAllLdevStatus failed. EC=2222");
    ASSERT_GE(failed, 0);
    EXPECT_EQ(failed + 1, FindText(t, "mtp_MessageBox [DC3-02]"));
    EXPECT_EQ(failed + 2, FindText(t, "GetLdevStatus Function failed. EC = 2222"));
    EXPECT_GT(FindText(t, "VESTRA END"), failed);

    /* Not all blocked (0x2003 at 0:6): the window says so and Start does not run. */
    mark = TraceMark();
    HANDLE child = StartChild("program", dir + "unblocked.ini");
    HWND wnd = nullptr;
    for (int i = 0; i < 200 && !(wnd && ItemText(wnd, IDC_STATUS) == "All Logical Device[s] Not Blocked!"); i++) {
        WaitForSingleObject(child, 50);
        wnd = FindWindowA("#32770", "Vestra");
    }
    ASSERT_NE(nullptr, wnd);
    EXPECT_EQ("All Logical Device[s] Not Blocked!", ItemText(wnd, IDC_STATUS));
    SendMessageA(wnd, WM_COMMAND, IDC_START, 0);
    PostMessageA(wnd, WM_COMMAND, IDC_EXIT, 0);
    EXPECT_EQ(0, WaitExit(child, 30000));
    t = TraceTexts(mark);
    auto ldev = GrepLines(t, "svc GetAllLdevStatus(");
    ASSERT_EQ(2u, ldev.size()) << "after start-up and at Start";
    size_t started = std::find(t.begin(), t.end(), ldev[1]) - t.begin();
    for (size_t i = started; i < t.size(); i++)
        EXPECT_EQ(std::string::npos, t[i].find("svc GetPdevEquipStatus(")) << "no selection after Start";
}

/* ---- debug mode ---- */

static std::string g_password, g_boxText;

/* Runs the prompt with a code, notes the message box's text; 1 when UM_DEBUG_MODE was posted
 * (and handled). */
static int TryPassword(HWND wnd, const char *code)
{
    g_password = code;
    g_boxText.clear();
    Drive([](HWND w) { return int(SendMessageA(w, UM_ASK_PASSWORD, 0, 0)); }, wnd, {
        { "Input PassWord", [](HWND d) { SetDlgItemTextA(d, IDC_PASSWORD, g_password.c_str()); Click(d, IDOK); } },
        { "Pass Word", [](HWND d) { g_boxText = ItemText(d, 0xFFFF); Click(d, IDOK); } } });
    EXPECT_SCRIPT_DONE();
    MSG msg;
    if (!PeekMessageA(&msg, wnd, UM_DEBUG_MODE, UM_DEBUG_MODE, PM_REMOVE))
        return 0;
    DispatchMessageA(&msg);
    return 1;
}

/* Check marks of the debug menu: QX7 QX5, 4MP 2MP, 1MP 2MP, HV LT. */
static std::string Marks(HWND wnd)
{
    std::string s;
    for (UINT id : { IDM_DKU_QX7, IDM_DKU_QX5, IDM_DKF_4MP, IDM_DKF_2MP, IDM_CON_1MP, IDM_CON_2MP, IDM_DKC_HV, IDM_DKC_LT })
        s += GetMenuState(GetMenu(wnd), id, MF_BYCOMMAND) & MF_CHECKED ? '1' : '0';
    return s;
}

TEST(DebugMode, AccessCodeMenusAndOverrides)
{
    ResetDoubles();
    HWND wnd = MakeMainWindow();
    ASSERT_NE(nullptr, wnd);
    g_app.debugMode = 0;
    g_app.dkuModelMenu = g_app.dkfType = g_app.conTypeMenu = g_app.dkcModel = 0;
    g_app.conKind = 1;
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
    EXPECT_EQ("10101000", Marks(wnd)) << "no model mark when loaded";
    EXPECT_FALSE(GetMenuState(GetMenu(wnd), IDM_START, MF_BYCOMMAND) & MF_GRAYED);

    for (UINT id : { IDM_DKU_QX5, IDM_DKF_2MP, IDM_CON_1MP, IDM_DKC_LT })
        SendMessageA(wnd, WM_COMMAND, id, 0);
    for (uint16_t model : g_app.dkuModel)
        EXPECT_EQ(1, model);
    EXPECT_EQ(1, g_app.dkfType);
    EXPECT_EQ(0, g_app.conKind);
    EXPECT_EQ(1, g_app.dkcModel);
    EXPECT_EQ("01011001", Marks(wnd));

    SendMessageA(wnd, WM_COMMAND, IDM_NORMAL_MODE, 0);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, wnd, UM_NORMAL_MODE, UM_NORMAL_MODE, PM_REMOVE));
    DispatchMessageA(&msg);
    EXPECT_EQ(0, g_app.debugMode);
    EXPECT_EQ(1, g_app.dkcModel) << "choices stay after leaving";
    EXPECT_EQ(nullptr, GetSubMenu(GetMenu(wnd), 2)) << "the normal menu has two entries";

    /* Back in debug mode the marks show the choices made. */
    EXPECT_EQ(1, TryPassword(wnd, "KTR582"));
    EXPECT_EQ("01011000", Marks(wnd));

    /* Ctrl+Shift+D reaches the prompt as an accelerator command. */
    ACCEL accel[4];
    HACCEL table = LoadAcceleratorsA(g_app.instance, MAKEINTRESOURCEA(IDR_ACCEL));
    ASSERT_EQ(1, CopyAcceleratorTableA(table, accel, 4));
    EXPECT_EQ('D', accel[0].key);
    EXPECT_EQ(IDM_ASK_PASSWORD, accel[0].cmd);
    EXPECT_EQ(FVIRTKEY | FNOINVERT | FSHIFT | FCONTROL, accel[0].fVirt);
    for (WORD source : { 1, 0 }) {
        SendMessageA(wnd, WM_COMMAND, MAKEWPARAM(IDM_ASK_PASSWORD, source), 0);
        EXPECT_EQ(source == 1, PeekMessageA(&msg, wnd, UM_ASK_PASSWORD, UM_ASK_PASSWORD, PM_REMOVE))
            << "only from the accelerator";
    }
    DestroyWindow(wnd);
    PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}
