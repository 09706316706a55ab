/* Vestra.exe as its own process: an interactive block run and the launcher tool. */
#include "tests/shell/shell_util.h"
#include "tests/support/support.h"
#include "res/resource.h"
#include <gtest/gtest.h>
#include <stdio.h>

static const char kDescription[] = "[Subsystem]\r\nMessageBox=trace\r\n";

/* The launcher's run sends real drive commands: the suite's controller and diagnosis log
 * applications run for the whole program, on a description without faulty drives. */
static HANDLE g_dkc, g_log;

struct VestraEnv : TraceEnv {
    VestraEnv() : TraceEnv(kDescription) {}
    void SetUp() override
    {
        TraceEnv::SetUp();
        SetEnv("MTP_TIME_DIVISOR", "100");
        g_dkc = StartSimulator("DkcSim.exe", "09");
        g_log = StartSimulator("DiagLogSim.exe", "05");
        ASSERT_NE(nullptr, g_dkc);
        ASSERT_NE(nullptr, g_log);
    }
    void TearDown() override
    {
        EXPECT_EQ(0, QuitSimulator(g_dkc, "09"));
        EXPECT_EQ(0, QuitSimulator(g_log, "05"));
    }
};
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new VestraEnv);

/* An interactive block run (launch mode 0x05) in its own process: the shown window, ended by the
 * system Close, and the outcome in the block and the program's own trace lines. The automatic
 * modes: t_autorun and the launcher below; the window's run: t_shell. */
TEST(Program, InteractiveBlockWritesTheOutcome)
{
    TestBlock b(0x05, 0xCF, nullptr);
    b.view[LB_ERROR_FLAG] = 0x33;
    size_t mark = TraceMark();
    HANDLE p = StartProgram("Vestra.exe", b.arg);
    ASSERT_NE(nullptr, p);
    DWORD pid = GetProcessId(p);
    WaitForInputIdle(p, 15000);
    HWND wnd = nullptr;
    for (int i = 0; i < 300 && !(wnd && ItemText(wnd, IDC_STATUS) == " "); i++) {
        WaitForSingleObject(p, 50);
        wnd = FindWindowA("#32770", "Vestra");
    }
    ASSERT_NE(nullptr, wnd) << "initialised window";
    EXPECT_TRUE(IsWindowVisible(wnd));
    EXPECT_EQ(" ", ItemText(wnd, IDC_ROUTINE_ID));
    EXPECT_EQ(" ", ItemText(wnd, IDC_ERROR_CODE));
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(wnd, IDC_START), GWL_STYLE) & BS_DEFPUSHBUTTON);
    PostMessageA(wnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(0, WaitExit(p, 60000));
    EXPECT_EQ(nullptr, FindWindowA("#32770", "Vestra"));
    EXPECT_EQ(0, b.view[LB_END_STATUS]);
    EXPECT_EQ(0x33, b.view[LB_ERROR_FLAG]);
    for (size_t row = 0; row < ROW_COUNT; row++)
        EXPECT_EQ(0u, GetLe32(b.view + LB_DRIVE_ERROR + 4 * row));
    auto t = TraceTexts(mark, pid);
    ASSERT_GE(t.size(), 2u);
    EXPECT_EQ(0u, t[0].find("Open MapFile Handle = "));
    EXPECT_EQ("TmpDirFlag : 00000000", t[1]);
    int end = FindText(t, "VESTRA END");
    ASSERT_GE(end, 10);
    ASSERT_LT(size_t(end + 2), t.size());
    EXPECT_EQ("05 CF 00 00 00 00 00 00 33 00 00 ", t[end + 1]);
    EXPECT_EQ(0u, t[end - 10].find("00BM->00:00000000"));
    EXPECT_EQ(0u, t[end + 2].find("Close MapFile Handle = "));
    EXPECT_NE("Close MapFile Handle = 00000000", t[end + 2]);
}

TEST(Program, LauncherPrintsTheOutcome)
{
    int rc = -1;
    std::string json = RunCapture("Launcher.exe", "--json --mode 10 --routine c0 --drives 0:0-1,9:3", &rc);
    EXPECT_EQ(0, rc) << json;
    EXPECT_NE(std::string::npos, json.find("\"exitCode\":0,\"launchMode\":16,\"requestedRoutine\":192,"
                                           "\"endStatus\":0,\"errorFlag\":0")) << json;
    RunCapture("Launcher.exe", "--drives 40:0", &rc);
    EXPECT_EQ(3, rc) << "a unit beyond 31 is refused";
}
