/* Real drive commands and error reports against the controller and diagnosis log simulators:
 * this test process is the program (AP 0D) with its session, receive thread and transport. */
#include "drivecmd/drivecmd.h"
#include "cmlb/cmlb.h"
#include "tests/support/support.h"
#include <string.h>

static const char kDescription[] = "[Subsystem]\r\nMessageBox=trace\r\n[Sim]\r\nSpinUpMs=2000\r\n"
    "[Drive.0002]\r\nBypassed=A\r\n[Drive.0003]\r\nSelfTest=05\r\n[Drive.0004]\r\nDriveValue=0x12345678\r\n"
    "[Fault]\r\n0001.INQUIRY=wrongrow\r\nSTARTINLINE=timeout\r\n";
enum : uint16_t { MP_A = 0x80, MP_B = 0x90 };   /* unit 0: paths (0,0,0) and (1,0,0) */

/* The controller simulator and the session to it, for the whole program. */
static Peer g_dkc;
struct SimEnv : TestEnv {
    SimEnv() : TestEnv(kDescription, 50) {}
    void SetUp() override
    {
        TestEnv::SetUp();
        ConfigureDriveCommands(DcConfig{ GetModuleHandleA(nullptr), nullptr, DISPLAY_AUTOMATIC });
        ASSERT_TRUE(g_dkc.Start("DkcSim.exe", "09")) << "controller simulator ready";
        ASSERT_EQ(1, OpenCommunication());
    }
    void TearDown() override { CloseCommunication(); EXPECT_EQ(0, g_dkc.Stop()); }
};
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new SimEnv);

static const uint32_t kRows0to4[3] = { 0xF8000000, 0, 0 };

TEST(AgainstSimulator, PassThroughPathControlAndTimeOut)
{
    DriveResult r;
    memset(&r, 0xEE, sizeof r);
    ASSERT_EQ(1u, CmdTestUnitReady(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_EQ((std::vector<uint32_t>{ COM_DONE, 0 }), (std::vector<uint32_t>{ r.status, r.returnCode }));
    /* valid, error byte, unit, row; row 2 is bypassed on path A, row 5 not addressed */
    for (uint8_t row : { 0, 1, 3, 4 })
        EXPECT_EQ((std::vector<int>{ 1, 0, 0, row }),
                  (std::vector<int>{ r.rows[row].valid, r.rows[row].errorByte, r.rows[row].unit, r.rows[row].row }));
    EXPECT_TRUE(r.rows[2].valid != 1 && r.rows[5].valid != 1);
    ASSERT_EQ(1u, CmdTestUnitReady(MP_B, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_EQ(1, r.rows[2].valid) << "answers on path B";

    ASSERT_EQ(1u, CmdInquiry(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_EQ(std::string(r.rows[0].vendorId, 8) + std::string(r.rows[3].vendorId, 8) + std::string(r.rows[4].vendorId, 8),
              "NORDAXISNORDAXISQUILLION");
    EXPECT_EQ(2, r.rows[1].row) << "the wrong row the fault names";
    ASSERT_EQ(1u, CmdSelfTest(MP_B, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_EQ((std::vector<int>{ 5, 0 }), (std::vector<int>{ r.rows[3].result, r.rows[0].result })) << "rows 3 and 0";

    /* Stop, not ready, start (which answers once the drives are up), ready again. */
    ASSERT_EQ(1u, CmdStopUnit(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    ASSERT_EQ(1u, CmdTestUnitReady(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_NE(0, r.rows[0].errorByte);
    ASSERT_EQ(1u, CmdRequestSense(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_EQ((std::vector<int>{ 2, 4, 0 }), (std::vector<int>{ r.rows[0].senseKey, r.rows[0].senseCodeHi, r.rows[0].result }))
        << "REQUEST SENSE sets the result to 0";
    ASSERT_EQ(1u, CmdStartUnit(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    ASSERT_EQ(1u, CmdTestUnitReady(MP_A, 0, kRows0to4, COM_TIMEOUT_S, &r));
    EXPECT_EQ(0, r.rows[0].errorByte | r.rows[4].errorByte);

    /* Path control: row 2 bypassed on path A, reset, bypassed again; Drive Read. */
    const uint32_t bit0 = UnitBit(0), drives[ROW_COUNT] = { bit0, bit0, bit0, bit0, bit0 }, one[ROW_COUNT] = { 0, 0, bit0 };
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
    EXPECT_EQ(0u, CmdStartInline(MP_A, 0x0000, COM_TIMEOUT_S, &r));
    EXPECT_EQ(COM_TIMED_OUT, r.status);
    EXPECT_GE(GetTickCount() - start, 3u * 63000 / 50 - 100);
    ASSERT_EQ(1u, CmdEndInline(MP_A, 0x0000, COM_TIMEOUT_S, &r));
    const char *current, *previous;
    CMTraceFiles(&current, &previous);
    EXPECT_NE(std::string::npos, ReadFileBytes(current).find("RecvDKC,Not Hit"));
}

/* Error reports of drive 0107, each against a diagnosis log started on its own description:
 * acknowledged at once, acknowledged too late, and byte 1 other than 1, which is no
 * acknowledgement. The log takes each. */
TEST(AgainstSimulator, ErrorReportAcknowledgedLateRefused)
{
    static const uint8_t record[DIAG_RECORD_LEN] = { 0xC4, 0x03, 0x05 };
    const std::string diagLog = UseDiagLog();
    for (const char *desc : { "", "[DiagLog]\r\nAckDelayMs=20000\r\n", "[DiagLog]\r\nAckByte1=2\r\n" }) {
        SCOPED_TRACE(desc);
        Peer log;
        UseDescription(desc);
        ASSERT_TRUE(log.Start("DiagLogSim.exe", "05"));
        const DWORD start = GetTickCount();
        EXPECT_EQ(*desc ? 0 : 1, ShowErrorReport(g_dc.cfg.instance, nullptr, 0x0085, 0x0085, 1, 7, record, 16, 10));
        const DWORD elapsed = GetTickCount() - start;
        EXPECT_EQ(0u, g_dc.waitTimedOut);
        EXPECT_EQ(0, log.Stop());
        if (*desc) {
            EXPECT_GE(elapsed, 10000u / 50 - 20) << "the whole wait";
            continue;
        }
        EXPECT_LT(elapsed, 10000u / 50) << "acknowledged before the wait ran out";
        const uint8_t *q = g_dc.comArea;   /* kind, unit, row, MP and routine of the request */
        EXPECT_EQ((std::vector<int>{ 5, 1, 7, 0x85, 0xC4 }), (std::vector<int>{ q[0], q[12], q[13], q[15], q[20] }));
    }
    auto lines = ReadLines(diagLog);
    ASSERT_EQ(3u, lines.size()) << "every report logged";
    EXPECT_NE(std::string::npos, lines[0].find("C403")) << lines[0];
}
