/* Routines D0, D1, D2 and D8 in process against the controller and diagnosis log simulators:
 * this test process is the program (AP 0D). Each case restarts the simulators on its own
 * description and checks the routine's result, the reports the log received and the path of
 * every request the controller saw. */
#include "tests/routines/routines_test.h"
#include "res/resource.h"

typedef std::vector<std::string> Texts;
enum : uint16_t { MP_MAIN = 0x80 };     /* unit 0 of the built-in subsystem */
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new RoutinesEnv(50));

/* Both simulators on a description of their own (drives ready at once) and a fresh log. */
static void Scenario(const std::string &lines) { Sims("[Sim]\nSpinUpMs=0\n" + lines); }

/* Unit 0 with the given rows under test, the display mode and debug mode. */
static void SelectRows(std::initializer_list<int> rows, uint32_t routine, uint8_t display = DISPLAY_AUTOMATIC,
                       uint16_t debug = 0)
{
    Select(0, rows, routine);
    Configure(display, debug);
}

/* "CR#=0000 D210 00 00": drive, code and the first two detail bytes of each report. */
static Texts Reports()
{
    Texts out;
    for (auto &l : g_sims.Reports()) {
        size_t cr = l.find("CR#="), code = l.find("ErrorCode="), det = l.find("Detail=");
        if (cr != std::string::npos && code != std::string::npos && det != std::string::npos)
            out.push_back(l.substr(cr, 8) + " " + l.substr(code + 10, 4) + " " + l.substr(det + 7, 5));
    }
    return out;
}

/* "TUR@0080": command and path of each request the controller saw since mark. */
static Texts Requests(size_t mark)
{
    Texts out;
    for (auto &t : TraceTexts(mark)) {
        size_t mp = t.find(" MP=");
        if (t.rfind("DkcSim REQ", 0) != 0 || mp == std::string::npos)
            continue;
        size_t name = mp + 9, end = t.find(' ', name);
        out.push_back(t.substr(name, end - name) + "@" + t.substr(mp + 4, 4));
    }
    return out;
}

static Texts Lines(size_t mark, const char *part) { return GrepLines(TraceTexts(mark, GetCurrentProcessId()), part); }

struct Case { const char *name; uint32_t routine; const char *description; uint16_t cluster; uint32_t passed;
              uint16_t failKind; Texts reports, requests; };

TEST(DriveRoutines, ResultsReportsAndPaths)
{
    const Texts d2 = { "START@0080", "TUR@0080", "SENSE@0080" };
    const Texts d0 = { "STOP@0080", "TUR@0080", "REJECTLAMP@0080", "START@0080", "TUR@0080", "SENSE@0080" };
    const Case cases[] = {
        { "D8 on the main path", ROUTINE_D8, "", 0, 1, FAIL_CHECKS, {}, { "TUR@0080" } },
        { "D8 cluster 1 uses the other path only", ROUTINE_D8, "[Fault]\r\nTUR@A=timeout\r\n", 1, 1, FAIL_CHECKS,
          {}, { "TUR@0090" } },
        { "D8 ignores bad rows", ROUTINE_D8, "[Fault]\r\nTUR=error:02\r\n", 0, 1, FAIL_CHECKS, {}, { "TUR@0080" } },
        { "D8 not delivered", ROUTINE_D8, "[Fault]\r\nTUR=timeout\r\n", 0, 0, FAIL_TIMEOUT,
          { "CR#=0000 D8E3 00 00" }, { "TUR@0080", "TUR@0080", "TUR@0080" } },
        { "D2 starts a stopped drive", ROUTINE_D2, "[Drive.0000]\r\nStopped=1\r\n", 0, 1, FAIL_CHECKS, {}, d2 },
        { "D2 START not delivered", ROUTINE_D2, "[Fault]\r\nSTART=timeout\r\n", 0, 0, FAIL_CHECKS,
          { "CR#=0000 D20B 00 00" }, { "START@0080", "START@0080", "START@0080" } },
        { "D2 TUR not delivered", ROUTINE_D2, "[Fault]\r\nTUR=timeout*3\r\n", 0, 0, FAIL_CHECKS,
          { "CR#=0000 D20D 00 00" }, { "START@0080", "TUR@0080", "TUR@0080", "TUR@0080" } },
        { "D2 sense key 6 after START UNIT", ROUTINE_D2, "[Drive.0000]\r\nStartSense=6,29,0\r\n", 0, 0, FAIL_CHECKS,
          { "CR#=0000 D210 00 00" }, d2 },
        { "D2 sense code", ROUTINE_D2, "[Drive.0000]\r\nSense=0,4,0\r\n", 0, 0, FAIL_CHECKS,
          { "CR#=0000 D211 00 00" }, d2 },
        { "D2 sense qualifier", ROUTINE_D2, "[Drive.0000]\r\nSense=0,0,2\r\n", 0, 0, FAIL_CHECKS,
          { "CR#=0000 D212 00 00" }, d2 },
        { "D0 stops and starts its drive", ROUTINE_D0, "", 0, 1, FAIL_CHECKS, {}, d0 },
        { "D0 STOP not delivered", ROUTINE_D0, "[Fault]\r\nSTOP=timeout\r\n", 0, 0, FAIL_CHECKS,
          { "CR#=0003 D001 00 03" }, { "STOP@0080", "STOP@0080", "STOP@0080" } },
        { "D0 lamp not delivered", ROUTINE_D0, "[Fault]\r\nREJECTLAMP=timeout\r\n", 0, 0, FAIL_CHECKS,
          { "CR#=0003 D021 00 03" }, { "STOP@0080", "TUR@0080", "REJECTLAMP@0080", "REJECTLAMP@0080",
                                       "REJECTLAMP@0080" } },
        { "D0 drive that stays ready", ROUTINE_D0, "[Drive.0003]\r\nIgnoreStop=1\r\n", 0, 0, FAIL_CHECKS,
          { "CR#=0003 D004 00 00" }, { "STOP@0080", "TUR@0080" } },
        { "D0 stopped drive with another qualifier", ROUTINE_D0, "[Drive.0003]\r\nStoppedSense=2,4,1\r\n", 0, 0,
          FAIL_CHECKS, { "CR#=0003 D009 00 00" }, { "STOP@0080", "TUR@0080" } },
        { "D0 stopped drive with another sense key", ROUTINE_D0, "[Drive.0003]\r\nStoppedSense=3,4,2\r\n", 0, 0,
          FAIL_CHECKS, { "CR#=0003 D007 00 00" }, { "STOP@0080", "TUR@0080" } },
        { "D0 drive that never becomes ready", ROUTINE_D0, "[Drive.0003]\r\nNeverReady=1\r\n", 0, 0,
          FAIL_CHECKS, { "CR#=0003 D010 00 00" }, d0 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scenario(c.description);
        /* D0 addresses the first selected drive, the others row 0 of the unit. */
        SelectRows(c.routine == ROUTINE_D0 ? std::initializer_list<int>{ 3, 5 } : std::initializer_list<int>{ 0, 1 },
                   c.routine);
        g_run.cluster = c.cluster;
        size_t mark = TraceMark();
        uint16_t failKind = 0xFFFF;
        EXPECT_EQ(c.passed, FindRoutine(c.routine)(g_run.cfg.mainWnd, &failKind));
        EXPECT_EQ(c.failKind, failKind);
        EXPECT_EQ(c.reports, Reports());
        EXPECT_EQ(c.requests, Requests(mark));
        if (c.routine == ROUTINE_D0 && c.passed) {
            EXPECT_EQ(1u, Lines(mark, "Pullout Jumper Pin.").size()) << "a hidden run answers the box itself";
        }
    }
}

/* RunRoutine keeps D8's result in equipState of the unit's row 0; option 1 goes on after it. */
TEST(DriveRoutines, ConnectionResultInTheDriveTable)
{
    Scenario("[Fault]\r\n0000.TUR=timeout*3\r\n");
    uint16_t outcome = 0;
    SelectRows({ 0, 1 }, ROUTINE_D8);
    size_t mark = TraceMark();
    EXPECT_EQ(1, RunRoutine(g_run.cfg.mainWnd, &outcome));
    EXPECT_EQ(OUTCOME_FAILED, outcome);
    Texts why;   /* each expired attempt says why */
    for (const char *n : { "1", "2", "3" })
        why.push_back(std::string("Com Timeout FC=83 Attempt=") + n + "/3 MainMP=0080 SubMP=0080 Segments=0 Bytes=0");
    EXPECT_EQ(why, Lines(mark, "Com Timeout"));
    EXPECT_EQ(EQUIP_D8_FAILED, g_run.driveTable[0][0].equipState);
    SelectRows({ 0, 1 }, ROUTINE_D8);
    g_run.runOption = RUN_ERROR_INVALID;
    g_run.unitCount = 2;
    EXPECT_EQ(1, RunRoutine(g_run.cfg.mainWnd, &outcome));
    EXPECT_EQ(OUTCOME_CONTINUE, outcome) << "option 1 with two units: D8 goes on";
    EXPECT_EQ(EQUIP_D8_PASSED, g_run.driveTable[0][0].equipState) << "the fault has run out";
    EXPECT_EQ(0, g_run.driveTable[0][0].errorCode) << "D8 records no error code";
}

/* A user stop during D2's command counts as undelivered: reported, FailKind stays 4. The
 * interactive run shows D0's box and waits for its OK. */
TEST(DriveRoutines, UserStopAndTheJumperBox)
{
    Scenario("[Fault]\r\nSTART=slow:20000\r\n");
    SelectRows({ 0 }, ROUTINE_D2, DISPLAY_INTERACTIVE, 1);
    uint16_t failKind = 0;
    {
        DialogPresser stop(IDC_COM_STOP);
        EXPECT_EQ(0u, RoutineD2(g_run.cfg.mainWnd, &failKind));
    }
    EXPECT_EQ(FAIL_CHECKS, failKind);
    EXPECT_EQ(Texts{ "CR#=0000 D20B 00 00" }, Reports());

    Scenario("");
    SelectRows({ 3, 5 }, ROUTINE_D0, DISPLAY_INTERACTIVE);
    DialogPresser ok(IDOK);
    EXPECT_EQ(1u, RoutineD0(g_run.cfg.mainWnd, &failKind));
    std::string shown;
    for (auto &t : ok.texts)
        shown += t;
    EXPECT_NE(std::string::npos, shown.find("Vestra|")) << shown;
    EXPECT_NE(std::string::npos, shown.find("Pullout Jumper Pin.|")) << shown;
    /* The reject lamp of the stopped drive alone is lit. */
    for (uint16_t cr : { 0x0003, 0x0005 }) {
        DriveResult r = {};
        ASSERT_EQ(1u, CmdDriveRead(MP_MAIN, cr, 5, &r));
        EXPECT_EQ(cr == 0x0003, (r.read.word10 & 0x0100) != 0) << cr;
    }
}

/* ---- D1 and the communication test window ---- */

/* What the window's user does: close from the title bar first (nothing may happen), then tick
 * the check boxes (indexes from IDC_TEST_FIRST) and the cluster; then the button is pressed. */
static struct { std::vector<int> ticks; int cluster2; } g_user;

static void Use(HWND dlg)
{
    PostMessageA(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
    for (int i : g_user.ticks)
        PostMessageA(GetDlgItem(dlg, IDC_TEST_FIRST + i), BM_SETCHECK, BST_CHECKED, 0);
    if (g_user.cluster2)
        PostMessageA(GetDlgItem(dlg, IDC_TEST_CLUSTER2), BM_SETCHECK, BST_CHECKED, 0);
}

TEST(CommunicationTest, SendsTheTickedCommandsInOrder)
{
    struct Run { const char *name, *description; std::vector<int> ticks; int cluster2, button; Texts requests, lines; };
    const Run runs[] = {
        { "cancelled", "", { 0, 1 }, 0, IDC_TEST_CANCEL, {}, {} },
        { "inquiry before TUR", "", { 0, 1 }, 0, IDC_TEST_OK, { "INQUIRY@0080", "TUR@0080" },
          { "Inquiry End. RC = 00000000 Vendor = NORDAXIS PORT = 00 CR#=0000 VF=01", "Unit Ready End. RC = 00000000" } },
        { "only Drive Read", "", { 12 }, 0, IDC_TEST_OK, {}, {} },
        { "cluster 2", "", { 6, 8, 9, 10 }, 1, IDC_TEST_OK,
          { "SETBYPASS@0090", "CHECKBYPASS@0090", "LIP@0090", "STARTINLINE@0090" },
          { "Set Bypass End. RC = 00000000", "Check Bypass End. RC = 00000000 Result = 80000000", "Lip End. RC = 00000000",
            "Start Inline End. RC = 00000000" } },
        { "not delivered", "[Fault]\r\nTUR=timeout\r\n[Drive.0000]\r\nBypassed=A\r\n", { 0, 8 }, 0, IDC_TEST_OK,
          { "TUR@0080", "TUR@0080", "TUR@0080", "CHECKBYPASS@0080" },
          { "Unit Ready End. RC = ffffffff", "Check Bypass End. RC = 00000000 Result = 80000000" } },
    };
    for (const Run &r : runs) {
        SCOPED_TRACE(r.name);
        Scenario(r.description);
        SelectRows({ 0 }, ROUTINE_D1, DISPLAY_INTERACTIVE);
        g_user = { r.ticks, r.cluster2 };
        size_t mark = TraceMark();
        uint16_t failKind = 0;
        {
            DialogPresser user(r.button, Use);
            EXPECT_EQ(1u, RoutineD1(g_run.cfg.mainWnd, &failKind));
        }
        EXPECT_EQ(FAIL_CHECKS, failKind);
        EXPECT_EQ(r.requests, Requests(mark));
        EXPECT_EQ(1u, Lines(mark, "Communication Test Start.").size());
        EXPECT_EQ(r.lines, Lines(mark, " End. RC = "));
        EXPECT_EQ(Texts{}, Reports()) << "nothing is reported";
    }
}
