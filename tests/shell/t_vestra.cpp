/* Vestra.exe as its own process: the interactive window, every launch mode, refused command
 * lines, and the launcher tool. */
#include "tests/shell/shell_util.h"
#include "tests/support/support.h"
#include "res/resource.h"
#include <gtest/gtest.h>
#include <stdio.h>

static const char kDescription[] = "[Subsystem]\r\nMessageBox=trace\r\n";

/* The runs send real drive commands: the suite's controller and diagnosis log applications
 * run for the whole program, on a description without faulty drives. */
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

/* The main window of a started Vestra.exe once its status shows want; null after 15 s. */
static HWND WaitForStatus(HANDLE process, const char *want)
{
    WaitForInputIdle(process, 15000);
    for (int i = 0; i < 300; i++) {
        HWND wnd = FindWindowA("#32770", "Vestra");
        char text[128] = "";
        if (wnd && GetDlgItemTextA(wnd, IDC_STATUS, text, sizeof text) && strcmp(text, want) == 0)
            return wnd;
        if (WaitForSingleObject(process, 50) == WAIT_OBJECT_0)
            return nullptr;
    }
    return nullptr;
}

/* The outcome of a healthy run, in the block and the program's own trace lines. Mode 0x05 shows
 * the window (ended by the system Close); the rest of the interactive window: t_shell. */
TEST(Program, LaunchModesWriteTheOutcome)
{
    uint32_t select[ROW_COUNT] = {};
    select[0] = select[1] = 0x80000000u | 0x80000000u >> 1;
    for (uint8_t mode : { uint8_t(0x05), uint8_t(0xFF) }) {
        SCOPED_TRACE(int(mode));
        TestBlock b(mode, 0xCF, select);
        b.view[LB_ERROR_FLAG] = 0x33;
        size_t mark = TraceMark();
        HANDLE p = StartProgram("Vestra.exe", b.arg);
        ASSERT_NE(nullptr, p);
        DWORD pid = GetProcessId(p);
        if (mode == 0x05) {
            HWND wnd = WaitForStatus(p, " ");
            ASSERT_NE(nullptr, wnd) << "initialised window";
            EXPECT_TRUE(IsWindowVisible(wnd));
            EXPECT_EQ(" ", ItemText(wnd, IDC_ROUTINE_ID));
            EXPECT_EQ(" ", ItemText(wnd, IDC_ERROR_CODE));
            EXPECT_TRUE(GetWindowLongA(GetDlgItem(wnd, IDC_START), GWL_STYLE) & BS_DEFPUSHBUTTON);
            PostMessageA(wnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        }
        EXPECT_EQ(0, WaitExit(p, 60000));
        EXPECT_EQ(0, b.view[LB_END_STATUS]);
        EXPECT_EQ(0x33, b.view[LB_ERROR_FLAG]);
        for (size_t row = 0; row < ROW_COUNT; row++)
            EXPECT_EQ(0u, GetLe32(b.view + LB_DRIVE_ERROR + 4 * row));
        auto t = TraceTexts(mark, pid);
        ASSERT_GE(t.size(), 2u);
        EXPECT_EQ(0u, t[0].find("Open MapFile Handle = "));
        EXPECT_EQ("TmpDirFlag : 00000000", t[1]);
        if (mode == 0xFF) {
            EXPECT_GE(FindText(t, "Routine ID = 000000cf"), 0);
            EXPECT_GE(FindText(t, "00HB->00:c0000000 01:c0000000 02:00000000 03:00000000 04:00000000 "
                                  "05:00000000 06:00000000 07:00000000"), 0);
        }
        int end = FindText(t, "VESTRA END");
        ASSERT_GE(end, 10);
        ASSERT_LT(size_t(end + 2), t.size());
        char bytes[64];
        snprintf(bytes, sizeof bytes, "%02X CF 00 00 00 00 00 00 33 00 00 ", mode);
        EXPECT_EQ(bytes, t[end + 1]);
        EXPECT_EQ(0u, t[end - 10].find("00BM->00:00000000"));
        EXPECT_EQ(0u, t[end + 2].find("Close MapFile Handle = "));
        EXPECT_NE("Close MapFile Handle = 00000000", t[end + 2]);
    }
}

TEST(Program, RefusedCommandLineWritesNothing)
{
    TestBlock b(0xFF, 0xCF, nullptr);
    std::string before((const char *)b.view, 1024);
    size_t mark = TraceMark();
    HANDLE p = StartProgram("Vestra.exe", "-1");
    DWORD pid = GetProcessId(p);
    EXPECT_EQ(0, WaitExit(p, 30000));
    EXPECT_EQ((std::vector<std::string>{ "Invalid Command Line : -1", "Close MapFile Handle = 00000000" }),
              TraceTexts(mark, pid));
    EXPECT_EQ(before, std::string((const char *)b.view, 1024));
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
