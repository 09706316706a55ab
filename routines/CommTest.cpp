/* Routine D1 and its communication test window: the engineer ticks drive commands and a
 * cluster; each ticked command is sent once to the drive under test and leaves one trace line
 * with the controller's return code. Nothing is judged, reported or recorded. Main thread. */
#include "routines/routines.h"
#include "res/resource.h"
#include <string.h>

/* RC of a command that was not delivered: it got no return code (the controller's are 0 or
 * 0x0F00xxxx), and the line must not show an earlier command's. */
enum : uint32_t { RC_UNDELIVERED = 0xFFFFFFFF };
enum : INT_PTR { TEST_OK = 1, TEST_CANCEL = 2 };
enum : uint32_t { VENDOR_TEXT_LEN = 8 };

typedef uint32_t (*MultiCmd)(uint16_t mp, uint8_t unit, const uint32_t rows[3], uint16_t timeout,
                             DriveResult *r);
typedef uint32_t (*PathCmd)(uint16_t mp, const uint32_t drives[ROW_COUNT], uint16_t timeout,
                            DriveResult *r);
typedef uint32_t (*InlineCmd)(uint16_t mp, uint16_t crNo, uint16_t timeout, DriveResult *r);

/* A check box's command: one of the three forms, and the line written after it. */
struct TestCommand {
    MultiCmd    multi;
    PathCmd     path;
    InlineCmd   inl;
    const char *line;
};

/* In check box order (IDC_TEST_FIRST + index); Drive Read sends nothing. */
static const TestCommand kCommands[COMM_TEST_COMMANDS] = {
    { CmdTestUnitReady, nullptr, nullptr, "Unit Ready End. RC = %08lx" },
    { CmdInquiry,       nullptr, nullptr, nullptr },
    { CmdStopUnit,      nullptr, nullptr, "Stop Unit End. RC = %08lx" },
    { CmdStartUnit,     nullptr, nullptr, "Start Unit End. RC = %08lx" },
    { CmdSelfTest,      nullptr, nullptr, "Self Test End. RC = %08lx" },
    { CmdRequestSense,  nullptr, nullptr, "Request Sense End. RC = %08lx" },
    { nullptr, CmdSetBypass,     nullptr, "Set Bypass End. RC = %08lx" },
    { nullptr, CmdResetBypass,   nullptr, "Reset Bypass End. RC = %08lx" },
    { nullptr, CmdCheckBypass,   nullptr, nullptr },
    { nullptr, CmdLip,           nullptr, "Lip End. RC = %08lx" },
    { nullptr, nullptr, CmdStartInline,   "Start Inline End. RC = %08lx" },
    { nullptr, nullptr, CmdEndInline,     "End Inline End. RC = %08lx" },
    { nullptr, nullptr, nullptr,          nullptr },
};
enum : uint32_t { TEST_TUR = 0, TEST_INQUIRY = 1, TEST_CHECK_BYPASS = 8 };

/* Sending order: INQUIRY first, then the table from TEST UNIT READY on. */
static const uint8_t kSendOrder[] = { 1, 0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 };

static DriveResult g_result;

/* ---- the window ---- */

static INT_PTR TestInit(HWND dlg, WPARAM, LPARAM)
{
    CheckRadioButton(dlg, IDC_TEST_CLUSTER1, IDC_TEST_CLUSTER2, IDC_TEST_CLUSTER1);
    return TRUE;
}

static void TestOk(HWND dlg, UINT)
{
    g_run.clusterFlag = IsDlgButtonChecked(dlg, IDC_TEST_CLUSTER2) == BST_CHECKED ? 1 : 0;
    for (uint32_t i = 0; i < COMM_TEST_COMMANDS; i++)
        g_run.commandFlag[i] = IsDlgButtonChecked(dlg, int(IDC_TEST_FIRST + i)) == BST_CHECKED ? 1 : 0;
    EndDialog(dlg, TEST_OK);
}

static void TestCancel(HWND dlg, UINT) { EndDialog(dlg, TEST_CANCEL); }

/* IDCANCEL (the title bar's close, Esc) is swallowed: only the two buttons close the window. */
static void Swallow(HWND, UINT) {}

static const CmdEntry kTestCmds[] = {
    { IDC_TEST_OK,     IDC_TEST_OK,     TestOk     },
    { IDC_TEST_CANCEL, IDC_TEST_CANCEL, TestCancel },
    { IDCANCEL,        IDCANCEL,        Swallow    },
};

static const MsgEntry kTestMsgs[] = {
    { WM_INITDIALOG, TestInit                },
    { WM_COMMAND,    TableCommand<kTestCmds> },
};

/* ---- sending ---- */

/* Sends one command in its form; the result's returnCode is RC_UNDELIVERED when it was not. */
static void SendOne(const TestCommand &c, uint16_t mp, uint16_t drive, const uint32_t rows[3],
                    const uint32_t words[ROW_COUNT])
{
    memset(&g_result, 0, sizeof g_result);
    uint32_t ok = c.multi ? c.multi(mp, uint8_t(drive >> 8), rows, COM_TIMEOUT_S, &g_result)
                : c.path  ? c.path(mp, words, COM_TIMEOUT_S, &g_result)
                          : c.inl(mp, drive, COM_TIMEOUT_S, &g_result);
    if (!ok)
        g_result.returnCode = RC_UNDELIVERED;
}

static void TraceResult(uint32_t index)
{
    unsigned long rc = (unsigned long)g_result.returnCode;
    if (index == TEST_INQUIRY) {
        const RowResult &e = g_result.rows[0];
        char vendor[VENDOR_TEXT_LEN + 1] = {};
        memcpy(vendor, e.vendorId, VENDOR_TEXT_LEN);
        DcTrace("Inquiry End. RC = %08lx Vendor = %s PORT = %02x CR#=%02x%02x VF=%02x", rc, vendor,
                e.result, e.unit, e.row, e.valid);
    } else if (index == TEST_CHECK_BYPASS) {
        DcTrace("Check Bypass End. RC = %08lx Result = %08lx", rc, (unsigned long)g_result.path.bypass[0]);
    } else {
        DcTrace(kCommands[index].line, rc);
    }
}

void RunCommTest(HWND owner, uint16_t mp, uint16_t drive)
{
    uint32_t words[ROW_COUNT], rows[3];
    ClearWords(words, ROW_COUNT);
    MarkDrive(words, ROW_COUNT, drive);
    BuildRowBitmap(rows);
    DcTrace("Communication Test Start.");
    if (DialogBoxParamA(g_run.cfg.instance, MAKEINTRESOURCEA(IDD_COMM_TEST), owner, TableProc<kTestMsgs>, 0)
        != TEST_OK)
        return;
    uint16_t path = g_run.clusterFlag == 1 ? g_run.mpIdAlt : mp;
    BuildRowBitmap(rows);
    for (uint8_t index : kSendOrder) {
        if (g_run.commandFlag[index] != 1)
            continue;
        SendOne(kCommands[index], path, drive, rows, words);
        TraceResult(index);
    }
}

uint32_t RoutineD1(HWND wnd, uint16_t *failKind)
{
    *failKind = FAIL_CHECKS;
    RunCommTest(wnd, g_run.mpIdMain, uint16_t(UnitUnderTest() << 8 | FirstRowUnderTest()));
    return 1;
}
