/* The interactive program as an engineer uses it: Vestra.exe started with an empty command line
 * against both simulators, driven from this process through its real windows with posted
 * messages, as clicks would: Start, Select Unit, DKU, HDU, Select HDD List, the run, the Error
 * HDD List, and Exit. Debug mode and the routine dialog: t_shell. */
#include "tests/support/support.h"
#include "base/launch.h"
#include "iw/iw.h"
#include "res/resource.h"
#include <commctrl.h>

/* Drive 0003 fails its self test (C403). */
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(
    new TestEnv("[Subsystem]\r\nMessageBox=trace\r\n[Sim]\r\nSpinUpMs=0\r\n[Drive.0003]\r\nSelfTest=05\r\n", 100));

static DWORD g_pid;

/* The dialog of Vestra.exe with this caption (null: any) and, when given, this control. */
static HWND Wait(const char *caption, int control = 0)
{
    for (int i = 0; i < 600; i++) {
        for (HWND w = FindWindowExA(nullptr, nullptr, "#32770", caption); w;
             w = FindWindowExA(nullptr, w, "#32770", caption)) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == g_pid && IsWindowVisible(w) && (!control || GetDlgItem(w, control)))
                return w;
        }
        Sleep(50);
    }
    return nullptr;
}

TEST(Interactive, NormalRunToTheErrorList)
{
    SimPair sims;
    ASSERT_TRUE(sims.Restart(nullptr));
    HANDLE p = StartProgram("Vestra.exe", "");
    ASSERT_NE(nullptr, p);
    g_pid = GetProcessId(p);
    HWND main = Wait("Vestra", IDC_START);
    ASSERT_NE(nullptr, main);
    for (int i = 0; i < 1200 && ItemText(main, IDC_STATUS) != " "; i++)
        Sleep(50);   /* polled: the check goes on in the other process */
    ASSERT_EQ(" ", ItemText(main, IDC_STATUS)) << "logical devices checked";

    /* Start, then unit 0 (DKU 1, HDU box 1) with its first four drives: CF, one fails. */
    Click(main, IDC_START);
    HWND unit = Wait("Select Unit", IDC_DKU_FIRST);
    ASSERT_NE(nullptr, unit);
    Click(unit, IDC_DKU_FIRST);
    HWND dku = Wait("DKU", IDC_HDU_FIRST);
    ASSERT_NE(nullptr, dku);
    Click(dku, IDC_HDU_FIRST);
    HWND hdu = Wait(nullptr, IDC_HDD_FIRST);     /* its caption names the box */
    ASSERT_NE(nullptr, hdu);
    for (int pos = 0; pos < 4; pos++)
        PostMessageA(GetDlgItem(hdu, IDC_HDD_FIRST + pos), BM_CLICK, 0, 0);
    Click(hdu, IDOK);
    Click(dku, IDCANCEL);
    Click(unit, IDOK);
    HWND list = Wait("Select HDD List");
    ASSERT_NE(nullptr, list);
    Click(list, IDOK);
    HWND errors = Wait("Error HDD List", IDC_ERROR_LIST);
    ASSERT_NE(nullptr, errors) << "the run ends with the list of failed drives";
    EXPECT_EQ(1, SendMessageA(GetDlgItem(errors, IDC_ERROR_LIST), LVM_GETITEMCOUNT, 0, 0));
    Click(errors, IDOK);
    EXPECT_EQ("Vestra Abnormal END", ItemText(main, IDC_STATUS));
    EXPECT_EQ("C4", ItemText(main, IDC_ROUTINE_ID)) << "the last part of CF that ran";
    EXPECT_EQ("C4 03 05 ", ItemText(main, IDC_ERROR_CODE).substr(0, 9));
    EXPECT_EQ("SELF TEST failed.", ItemText(main, IDC_ERROR_CONTENTS));
    std::vector<std::string> diag = sims.Reports();
    ASSERT_EQ(1u, diag.size());
    EXPECT_EQ(0u, diag[0].find("CR#=0003 MP=80 Routine=C4 Step=03 ")) << diag[0];
    Click(main, IDC_EXIT);
    EXPECT_EQ(0, WaitExit(p, 30000));
    std::vector<std::string> t = TraceTexts(0, g_pid, 6);
    EXPECT_EQ(1u, GrepLines(t, "Start Inline Start").size());
    EXPECT_EQ(1u, GrepLines(t, "End Inline Start").size()) << "the run's inline frame is closed";
}

/* One receiver per AP id: while this process receives as "0D", a launched Vestra.exe ends
 * through its communication start-up failure, and this receiver goes on receiving. */
static volatile LONG g_delivered;
static uint32_t WINAPI Count(IwMsgDesc *) { InterlockedIncrement(&g_delivered); return IW_HANDLED; }

TEST(Interactive, SecondReceiverOfTheIdIsRefused)
{
    for (auto &row : RecvHandlerTable)
        row[1] = Count;
    ASSERT_EQ(IW_OK, mtp1_iwini(0, 0, "0D"));
    const uint32_t select[ROW_COUNT] = { 0x80000000u };
    LaunchBlock b(LAUNCH_AUTOMATIC, 0xCF, select);
    uint8_t *lb = b.view;
    size_t mark = TraceMark();
    HANDLE p = StartProgram("Vestra.exe", b.arg);
    ASSERT_NE(nullptr, p);
    DWORD pid = GetProcessId(p);
    EXPECT_EQ(0, WaitExit(p, 60000));
    EXPECT_EQ(0, lb[LB_END_STATUS]) << "the outcome is written";
    EXPECT_EQ(LB_STEP_START_FAILED, lb[LB_ERROR_STEP]);
    auto t = TraceTexts(mark, pid);
    EXPECT_EQ(1u, GrepLines(t, "mtp1_iwini Receiver Exists !!").size());
    EXPECT_EQ(1u, GrepLines(t, "Communication Initialized Failed. EC = 0000").size());
    EXPECT_EQ(1u, GrepLines(t, "mtp_MessageBox [DC3-01]").size());

    /* This process still receives what is sent to 0D. */
    uint8_t data[8] = { 1, 2, 3 };
    char dest[4] = "0D";
    EXPECT_EQ(IW_OK, mtp1_iwtrn(2, 0, 0, 0, dest, 0, data, sizeof data));
    EXPECT_EQ(1, g_delivered);
    iwend();
}
