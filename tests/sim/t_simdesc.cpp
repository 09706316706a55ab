/* The simulators' own parts of the description, their command line and the diagnosis log
 * line, in this process: the parsers take whatever a file holds. */
#include "tests/sim/simtest.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>

static DkcConfig g_c;

struct FaultLine { const char *key, *value; };

TEST(SimDescription, FaultGrammar)
{
    memset(&g_c, 0, sizeof g_c);
    ASSERT_EQ(1, DkcAddFaults(&g_c, "0103.SELFTEST", "slow:2000"));
    ASSERT_EQ(2, DkcAddFaults(&g_c, " TUR ", " timeout*3 , error:0x02 "));
    ASSERT_EQ(1, DkcAddFaults(&g_c, "CHECKBYPASS", "rc:0x0F001740"));
    ASSERT_EQ(1, DkcAddFaults(&g_c, "3.any", "missingrow"));
    ASSERT_EQ(1, DkcAddFaults(&g_c, "0101.inquiry", "WrongRow"));
    ASSERT_EQ(6, g_c.faultCount);
    const SimFault &slow = g_c.fault[0];
    EXPECT_EQ(0, slow.anyDrive);
    EXPECT_EQ(0x0103, slow.pdev);
    EXPECT_EQ(SIM_CMD_SELFTEST, slow.cmd);
    EXPECT_EQ(SIM_FAULT_SLOW, slow.kind);
    EXPECT_EQ(2000u, slow.arg);
    EXPECT_EQ(-1, slow.remaining);
    EXPECT_EQ(1, g_c.fault[1].anyDrive);
    EXPECT_EQ(SIM_FAULT_TIMEOUT, g_c.fault[1].kind);
    EXPECT_EQ(3, g_c.fault[1].remaining);
    EXPECT_EQ(SIM_FAULT_ERROR, g_c.fault[2].kind);
    EXPECT_EQ(2u, g_c.fault[2].arg);
    EXPECT_EQ(-1, g_c.fault[2].remaining);
    EXPECT_EQ(0x0F001740u, g_c.fault[3].arg);
    EXPECT_EQ(SIM_CMD_ANY, g_c.fault[4].cmd);
    EXPECT_EQ(0x0003, g_c.fault[4].pdev);
    EXPECT_EQ(SIM_FAULT_WRONGROW, g_c.fault[5].kind);
    EXPECT_EQ(SIM_CMD_INQUIRY, g_c.fault[5].cmd);

    const FaultLine bad[] = {
        { "TUR", "rc:0" }, { "TUR", "error:0x100" }, { "TUR", "error:0" }, { "TUR", "slow:600001" },
        { "TUR", "timeout:5" }, { "TUR", "rc" }, { "TUR", "slow" }, { "TUR", "slow:-1" },
        { "10000.TUR", "timeout" }, { "TUR.0100", "timeout" }, { "XYZ", "timeout" }, { "TUR", "" },
        { "TUR", "timeout," }, { "TUR", "timeout*0" }, { "TUR", "timeout*1000001" }, { "TUR", "timeout*x" },
        { ".TUR", "timeout" }, { "0103.", "timeout" }, { "TUR", "timeout,bogus" }, { "", "timeout" },
        { "0103.SELFTEST.X", "timeout" }, { "0123456789012345678901234567890123456789.TUR", "timeout" },
    };
    for (const FaultLine &l : bad)
        EXPECT_EQ(0, DkcAddFaults(&g_c, l.key, l.value)) << l.key << "=" << l.value;
    EXPECT_EQ(6, g_c.faultCount);

    /* The table holds SIM_FAULT_MAX; a line that does not fit adds what fits. */
    while (g_c.faultCount < SIM_FAULT_MAX - 2)
        ASSERT_EQ(1, DkcAddFaults(&g_c, "LIP", "timeout"));
    EXPECT_EQ(2, DkcAddFaults(&g_c, "LIP", "timeout,slow:1,rc:5"));
    EXPECT_EQ(0, DkcAddFaults(&g_c, "LIP", "timeout"));
    EXPECT_EQ(int(SIM_FAULT_MAX), g_c.faultCount);

    uint8_t cmd = 0;
    for (uint8_t c = 0; c < SIM_CMD_COUNT; c++) {
        ASSERT_EQ(1, DkcCommandByName(DkcCommandName(c), &cmd)) << int(c);
        EXPECT_EQ(c, cmd);
    }
}

TEST(SimDescription, DrivesFromTheDescription)
{
    std::string path = UseDescription(
        "[Sim]\nSegmentSize=65514\nSpinUpMs=1234\n"
        "[Drive.0105]\nVendor=ACME\nSense=6,29,0\nBypassed=AB\nDriveValue=0x10\nStopped=1\n"
        "NeverReady=1\nSpinUpMs=77\nSelfTest=0x9\n"
        "[Drive.0106]\nVendor=TOOLONGID\nSense=6,29\nBypassed=C\nSelfTest=0x100\nStopped=2\n"
        "[Drive.0203]\nEquip=0\n"
        "[Drive.0204]\nPathA=0,3,3\n"
        "[Drive.0150]\nVendor=ROW80\n"
        "[Fault]\n;0100.TUR=timeout\n0100.TUR=slow:10\nbad line\n0101.TUR=rc:0\n");
    ASSERT_EQ(1, DkcLoadConfig(&g_c, path.c_str()));
    EXPECT_EQ(1, g_c.fileRead);
    EXPECT_EQ(0, g_c.demoFaults);
    EXPECT_EQ(SIM_SEGMENT_DEFAULT, g_c.segmentLen);
    EXPECT_EQ(1234u, g_c.spinUpMs);
    /* 7 boxes of 12 drives, one of them taken out. */
    EXPECT_EQ(7 * 12 - 1, g_c.driveCount);
    const SimDrive &d = g_c.drive[1][5];
    EXPECT_EQ(1, d.present);
    EXPECT_EQ(std::string("ACME    "), std::string(d.vendor, SIM_VENDOR_LEN));
    EXPECT_EQ(6, d.sense[0]);
    EXPECT_EQ(0x29, d.sense[1]);
    EXPECT_EQ(0, d.sense[2]);
    EXPECT_EQ(SIM_PATH_A | SIM_PATH_B, d.bypassed);
    EXPECT_EQ(0x10u, d.driveValue);
    EXPECT_EQ(1, d.stopped);
    EXPECT_EQ(1, d.neverReady);
    EXPECT_EQ(77u, d.spinUpMs);
    EXPECT_EQ(9, d.selfTest);
    /* Values that do not read leave the defaults. */
    const SimDrive &e = g_c.drive[1][6];
    EXPECT_EQ(std::string(kSimVendors[(1 + 6) % 3]), std::string(e.vendor, SIM_VENDOR_LEN));
    EXPECT_EQ(0, e.sense[0]);
    EXPECT_EQ(0, e.bypassed);
    EXPECT_EQ(0, e.selfTest);
    EXPECT_EQ(0, e.stopped);
    EXPECT_EQ(1234u, e.spinUpMs);
    EXPECT_EQ(0, g_c.drive[2][3].present);
    EXPECT_EQ(0, g_c.drive[2][12].present);
    EXPECT_EQ(15, g_c.drive[2][4].mpA);
    EXPECT_EQ(g_c.drive[2][5].mpB, g_c.drive[2][4].mpB);
    EXPECT_NE(g_c.drive[2][5].mpA, g_c.drive[2][4].mpA);
    ASSERT_EQ(1, g_c.faultCount);
    EXPECT_EQ(SIM_FAULT_SLOW, g_c.fault[0].kind);
    EXPECT_EQ(10u, g_c.fault[0].arg);

    path = UseDescription("[Sim]\nSegmentSize=65513\nSpinUpMs=600001\n");
    ASSERT_EQ(1, DkcLoadConfig(&g_c, path.c_str()));
    EXPECT_EQ(SIM_SEGMENT_MAX, g_c.segmentLen);
    EXPECT_EQ(SIM_SPINUP_DEFAULT, g_c.spinUpMs);

    /* A [Fault] section larger than the read buffer: whole lines only, the table full. */
    std::string big = "[Fault]\n";
    for (int i = 0; big.size() < SIM_SECTIONS_LEN + 1000; i++) {
        char line[64];
        snprintf(line, sizeof line, "%04X.TUR=slow:%d\n", i, i);
        big += line;
    }
    path = UseDescription(big);
    ASSERT_EQ(1, DkcLoadConfig(&g_c, path.c_str()));
    EXPECT_EQ(int(SIM_FAULT_MAX), g_c.faultCount);
    for (int i = 0; i < g_c.faultCount; i++)
        EXPECT_EQ(uint32_t(i), g_c.fault[i].arg);

    /* No file: the built-in subsystem, demo faults on. */
    ASSERT_EQ(1, DkcLoadConfig(&g_c, nullptr));
    EXPECT_EQ(0, g_c.fileRead);
    EXPECT_EQ(1, g_c.demoFaults);
    EXPECT_EQ(7 * 12, g_c.driveCount);
    UseNoDescription();
}

TEST(SimDescription, DiagnosisLogConfigAndLine)
{
    DiagConfig c;
    Files();
    SetEnv("MTP_DIAG_LOG", "c:\\x\\diag.txt");
    ASSERT_EQ(1, DiagLoadConfig(&c, nullptr));
    EXPECT_EQ(1, c.ack);
    EXPECT_EQ(DIAG_ACK_OK, c.ackByte1);
    EXPECT_EQ(0u, c.ackDelayMs);
    EXPECT_STREQ("c:\\x\\diag.txt", c.logPath);
    std::string path = UseDescription("[DiagLog]\nAckDelayMs=250\nAck=0\nAckByte1=0x7F\n");
    ASSERT_EQ(1, DiagLoadConfig(&c, path.c_str()));
    EXPECT_EQ(250u, c.ackDelayMs);
    EXPECT_EQ(0, c.ack);
    EXPECT_EQ(0x7F, c.ackByte1);
    path = UseDescription("[DiagLog]\nAckDelayMs=600001\nAck=2\nAckByte1=0x100\n");
    ASSERT_EQ(1, DiagLoadConfig(&c, path.c_str()));
    EXPECT_EQ(0u, c.ackDelayMs);
    EXPECT_EQ(1, c.ack);
    EXPECT_EQ(DIAG_ACK_OK, c.ackByte1);
    SetEnv("MTP_DIAG_LOG", nullptr);
    ASSERT_EQ(1, DiagLoadConfig(&c, nullptr));
    EXPECT_STREQ(DIAG_LOG_DEFAULT, c.logPath);
    SetEnv("MTP_DIAG_LOG", (std::string("c:\\") + std::string(MAX_PATH, 'x')).c_str());
    EXPECT_EQ(0, DiagLoadConfig(&c, nullptr));
    SetEnv("MTP_DIAG_LOG", Files().diagLog.c_str());
    UseNoDescription();

    uint8_t req[DIAG_REQ_MIN] = {};
    char line[DIAG_LINE_LEN] = "untouched";
    SYSTEMTIME t = {};
    t.wYear = 2024; t.wMonth = 2; t.wDay = 29; t.wHour = 23; t.wMinute = 59; t.wSecond = 58;
    t.wMilliseconds = 7;
    req[DIAG_REQ_KIND] = DIAG_KIND_REPORT;
    req[DIAG_REQ_OP] = DIAG_OP_REPORT;
    req[DIAG_REQ_UNIT] = 0x1F;
    req[DIAG_REQ_ROW] = 0x4F;
    req[DIAG_REQ_MP] = 0x9F;
    req[DIAG_REQ_ROUTINE] = 0xC5;
    req[DIAG_REQ_STEP] = 0xE3;
    req[DIAG_REQ_DETAIL] = 0x1F;
    req[DIAG_REQ_DETAIL + 15] = 0xAB;
    req[DIAG_REQ_TMPCFG] = 1;
    ASSERT_EQ(1, DiagFormatLine(req, sizeof req, 0x0D, &t, line, sizeof line));
    EXPECT_STREQ("2024/02/29 23:59:58.007 CR#=1F4F MP=9F Routine=C5 Step=E3 ErrorCode=C5E3 "
                 "Detail=1F 00 00 00 00 00 00 00 00 00 00 00 00 00 00 AB TmpConfig=1 From=0D", line);
    /* Not a report, too short, or a line that would be cut: nothing. */
    strcpy(line, "untouched");
    EXPECT_EQ(0, DiagFormatLine(req, sizeof req - 1, 0x0D, &t, line, sizeof line));
    EXPECT_STREQ("untouched", line);
    req[DIAG_REQ_OP] = 2;
    EXPECT_EQ(0, DiagFormatLine(req, sizeof req, 0x0D, &t, line, sizeof line));
    req[DIAG_REQ_OP] = DIAG_OP_REPORT;
    EXPECT_EQ(0, DiagFormatLine(req, sizeof req, 0x0D, &t, line, 60));
    EXPECT_EQ(0, DiagFormatLine(nullptr, sizeof req, 0x0D, &t, line, sizeof line));
}

TEST(SimDescription, CommandLineAndNumbers)
{
    SimArgs a;
    char quit[] = "--quit-event", life[] = "--lifetime", prog[] = "x.exe", name[] = "Local\\Q1";
    char n86400[] = "86400", n86401[] = "86401", hex[] = "0x10";
    std::string longName(SIM_EVENT_NAME, 'q');
    char *none[] = { prog };
    ASSERT_EQ(1, SimParseArgs(1, none, SIM_APID_DKC, &a));
    EXPECT_STREQ("Global\\MTP_SIM_09_QUIT", a.quitEvent);
    EXPECT_EQ(0u, a.lifetimeS);
    char *both[] = { prog, life, n86400, quit, name };
    ASSERT_EQ(1, SimParseArgs(5, both, SIM_APID_DIAG, &a));
    EXPECT_STREQ("Local\\Q1", a.quitEvent);
    EXPECT_EQ(86400u, a.lifetimeS);
    char *hexLife[] = { prog, life, hex };
    ASSERT_EQ(1, SimParseArgs(3, hexLife, SIM_APID_DKC, &a));
    EXPECT_EQ(16u, a.lifetimeS);
    char *tooLong[] = { prog, life, n86401 };
    EXPECT_EQ(0, SimParseArgs(3, tooLong, SIM_APID_DKC, &a));
    char *longQuit[] = { prog, quit, &longName[0] };
    EXPECT_EQ(0, SimParseArgs(3, longQuit, SIM_APID_DKC, &a));

    struct Num { const char *text; int base; uint32_t max; int ok; uint32_t v; };
    const Num nums[] = {
        { "12", 10, 100, 1, 12 }, { " 12 ", 10, 100, 1, 12 }, { "0x1F", 10, 100, 1, 31 },
        { "1F", 16, 100, 1, 31 }, { "12a", 10, 100, 0, 0 }, { "-1", 10, 100, 0, 0 },
        { "+1", 10, 100, 0, 0 }, { "", 10, 100, 0, 0 }, { "101", 10, 100, 0, 0 },
        { "4294967295", 10, 0xFFFFFFFFu, 1, 0xFFFFFFFFu }, { "4294967296", 10, 0xFFFFFFFFu, 0, 0 },
        { "99999999999999999999999", 10, 0xFFFFFFFFu, 0, 0 }, { "0x", 16, 100, 0, 0 },
    };
    for (const Num &n : nums) {
        uint32_t v = 0xABCD;
        EXPECT_EQ(n.ok, SimParseNum(n.text, n.base, n.max, &v)) << n.text;
        EXPECT_EQ(n.ok ? n.v : 0xABCDu, v) << n.text;
    }
    char id[IW_APID_LEN];
    ASSERT_EQ(1, SimApIdText(0x0D, id));
    EXPECT_STREQ("0D", id);
    EXPECT_EQ(0, SimApIdText(0x100, id));
}
