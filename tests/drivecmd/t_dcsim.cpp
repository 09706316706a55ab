/* Real drive commands and error reports against the controller and diagnosis log simulators:
 * this test process is the program (AP 0D) with its session, receive thread and transport. */
#include "drivecmd/drivecmd.h"
#include "cmlb/cmlb.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>


static const char kDescription[] =
    "[Subsystem]\r\nMessageBox=trace\r\n"
    "[Sim]\r\nSegmentSize=1000\r\nSpinUpMs=2000\r\n"
    "[Drive.0002]\r\nBypassed=A\r\n"
    "[Drive.0003]\r\nSelfTest=05\r\n"
    "[Drive.0004]\r\nDriveValue=0x12345678\r\n"
    "[Fault]\r\n0001.INQUIRY=wrongrow\r\nSTARTINLINE=timeout\r\n";

enum : uint16_t { MP_A = 0x80, MP_B = 0x90 };   /* unit 0: paths (0,0,0) and (1,0,0) */
static std::string g_dir;
static HANDLE g_dkc;

/* Starts a simulator on a description of its own. */
static HANDLE StartSim(const char *exe, const char *apId, const std::string &description)
{
    WriteFileBytes(g_dir + apId + ".ini", description);
    SetEnv("MTP_SUBSYSTEM_INI", (g_dir + apId + ".ini").c_str());
    return StartSimulator(exe, apId);
}

class SimEnv : public testing::Environment {
public:
    void SetUp() override
    {
        g_dir = TempDir();
        SetEnv("MTP_TRACE_LOG", (g_dir + "trace.log").c_str());
        SetEnv("MTP_DIAG_LOG", (g_dir + "diaglog.txt").c_str());
        SetEnv("MTP_TIME_DIVISOR", "50");
        ConfigureDriveCommands(DcConfig{ GetModuleHandleA(nullptr), nullptr, DISPLAY_AUTOMATIC });
        g_dkc = StartSim("DkcSim.exe", "09", kDescription);
        ASSERT_NE(nullptr, g_dkc) << "controller simulator ready";
        ASSERT_EQ(1, OpenCommunication());
    }
    void TearDown() override
    {
        CloseCommunication();
        EXPECT_EQ(0, QuitSimulator(g_dkc, "09"));
    }
};
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new SimEnv);

/* How many trace texts (from column 38) since line mark begin with text. */
static int CountTrace(const std::string &text, size_t mark = 0)
{
    std::vector<std::string> lines = ReadLines(g_dir + "trace.log");
    return int(std::count_if(lines.begin() + std::min(mark, lines.size()), lines.end(), [&](const std::string &l) {
        return l.size() > 38 && l.compare(38, text.size(), text) == 0;
    }));
}

static const uint32_t kRows0to4[3] = { 0xF8000000, 0, 0 };

TEST(AgainstSimulator, PassThroughCommands)
{
    DriveResult r;
    memset(&r, 0xEE, sizeof r);
    ASSERT_EQ(1u, CmdTestUnitReady(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_EQ(COM_DONE, r.status);
    EXPECT_EQ(0u, r.returnCode);
    /* valid, error byte, unit, row; row 2 is bypassed on path A, row 5 not addressed */
    for (uint8_t row : { 0, 1, 3, 4 })
        EXPECT_EQ((std::vector<int>{ 1, 0, 0, row }),
                  (std::vector<int>{ r.rows[row].valid, r.rows[row].errorByte, r.rows[row].unit, r.rows[row].row }));
    EXPECT_NE(1, r.rows[2].valid);
    EXPECT_NE(1, r.rows[5].valid);
    ASSERT_EQ(1u, CmdTestUnitReady(MP_B, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_EQ(1, r.rows[2].valid) << "answers on path B";

    ASSERT_EQ(1u, CmdInquiry(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_EQ(0, memcmp(r.rows[0].vendorId, "NORDAXIS", 8));
    EXPECT_EQ(0, memcmp(r.rows[3].vendorId, "NORDAXIS", 8));
    EXPECT_EQ(0, memcmp(r.rows[4].vendorId, "QUILLION", 8));
    EXPECT_EQ(2, r.rows[1].row) << "the wrong row the fault names";
    ASSERT_EQ(1u, CmdSelfTest(MP_B, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_EQ(5, r.rows[3].result);
    EXPECT_EQ(0, r.rows[0].result);

    /* Stop, not ready, start (which answers once the drives are up), ready again. */
    ASSERT_EQ(1u, CmdStopUnit(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    ASSERT_EQ(1u, CmdTestUnitReady(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_NE(0, r.rows[0].errorByte);
    ASSERT_EQ(1u, CmdRequestSense(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_EQ((std::vector<int>{ 2, 4, 0 }), (std::vector<int>{ r.rows[0].senseKey, r.rows[0].senseCodeHi, r.rows[0].result }))
        << "REQUEST SENSE sets the result to 0";
    ASSERT_EQ(1u, CmdStartUnit(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    ASSERT_EQ(1u, CmdTestUnitReady(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_EQ(0, r.rows[0].errorByte);
    EXPECT_EQ(0, r.rows[4].errorByte);

}

TEST(AgainstSimulator, PathControlReadAndTimeOut)
{
    DriveResult r;
    uint32_t drives[ROW_COUNT] = {}, one[ROW_COUNT] = {};
    for (uint16_t row = 0; row < 5; row++)
        MarkDrive(drives, ROW_COUNT, row);
    MarkDrive(one, ROW_COUNT, 0x0002);
    ASSERT_EQ(1u, CmdCheckBypass(MP_A, drives, COM_TIMEOUT_S, &r));
    EXPECT_EQ((std::vector<uint32_t>{ 0, 0, 0x80000000u, 0 }), std::vector<uint32_t>(r.path.bypass, r.path.bypass + 4));
    ASSERT_EQ(1u, CmdResetBypass(MP_A, one, COM_TIMEOUT_S, &r));
    EXPECT_EQ(0u, r.returnCode);
    ASSERT_EQ(1u, CmdLip(MP_A, one, COM_TIMEOUT_S, &r));
    ASSERT_EQ(1u, CmdCheckBypass(MP_A, drives, COM_TIMEOUT_S, &r));
    EXPECT_EQ(0u, r.path.bypass[2]) << "bypass reset";
    ASSERT_EQ(1u, CmdSetBypass(MP_A, one, COM_TIMEOUT_S, &r));
    ASSERT_EQ(1u, CmdCheckBypass(MP_A, drives, COM_TIMEOUT_S, &r));
    EXPECT_EQ(0x80000000u, r.path.bypass[2]);
    ASSERT_EQ(1u, CmdDriveRead(MP_A, 0x0004, COM_TIMEOUT_S, &r));
    EXPECT_EQ(0x12345678u, r.returnCode) << "the record's drive value";

    /* No reply: three attempts of 63 s (divided), then status 1; the next command is not
     * disturbed by anything late. */
    const DWORD start = GetTickCount();
    const size_t mark = ReadLines(g_dir + "trace.log").size();
    EXPECT_EQ(0u, CmdStartInline(MP_A, 0x0000, COM_TIMEOUT_S, &r));
    EXPECT_EQ(COM_TIMED_OUT, r.status);
    EXPECT_GE(GetTickCount() - start, 3u * 63000 / 50 - 100);
    EXPECT_EQ(3, CountTrace("Com Trace FC=89 FD=03 MainMP=0080 SubMP=0080", mark));
    ASSERT_EQ(1u, CmdEndInline(MP_A, 0x0000, COM_TIMEOUT_S, &r));

    const char *current, *previous;
    CMTraceFiles(&current, &previous);
    EXPECT_NE(std::string::npos, ReadFileBytes(current).find("RecvDKC,Not Hit"));
}

/* One error report of drive 0107 against a diagnosis log started on description. */
static int Report(const std::string &description, DWORD *elapsed)
{
    HANDLE log = StartSim("DiagLogSim.exe", "05", description);
    if (!log)
        return -1;
    static const uint8_t record[18] = { 0xC4, 0x03, 0x05 };
    DWORD start = GetTickCount();
    int ok = ShowErrorReport(g_dc.cfg.instance, nullptr, 0x0085, 0x0085, 1, 7, record, 16, 10);
    *elapsed = GetTickCount() - start;
    EXPECT_EQ(0, QuitSimulator(log, "05"));
    return ok;
}

TEST(AgainstSimulator, ErrorReportAcknowledgedDelayedRefused)
{
    DWORD elapsed = 0;
    EXPECT_EQ(1, Report("", &elapsed));
    EXPECT_LT(elapsed, 10000u / 50) << "acknowledged before the wait ran out";
    EXPECT_EQ((std::vector<uint8_t>{ 5, 1, 7, 0x85, 0xC4 }),
              (std::vector<uint8_t>{ g_dc.comArea[0], g_dc.comArea[12], g_dc.comArea[13], g_dc.comArea[15],
                                     g_dc.comArea[20] }));
    auto log = ReadLines(g_dir + "diaglog.txt");
    ASSERT_EQ(1u, log.size());
    EXPECT_NE(std::string::npos, log[0].find("C403")) << log[0];

    EXPECT_EQ(0, Report("[DiagLog]\r\nAckDelayMs=20000\r\n", &elapsed)) << "acknowledged too late";
    EXPECT_GE(elapsed, 10000u / 50 - 20);
    EXPECT_EQ(0, Report("[DiagLog]\r\nAck=0\r\n", &elapsed));
    EXPECT_EQ(0, Report("[DiagLog]\r\nAckByte1=2\r\n", &elapsed)) << "byte 1 other than 1 is no acknowledgement";
    EXPECT_EQ(4u, ReadLines(g_dir + "diaglog.txt").size()) << "every report logged";
    EXPECT_EQ(0u, g_dc.waitTimedOut);
}
