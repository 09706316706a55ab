/* The controller simulator's part of the description and the simulators' command line, in
 * this process: the parsers take whatever a file holds. */
#include "tests/sim/simtest.h"
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <tuple>

static DkcConfig g_c;

/* anyDrive, pdev, command, kind, arg, remaining */
typedef std::tuple<int, int, int, int, uint32_t, int> FaultT;
static FaultT Of(const SimFault &f) { return FaultT(f.anyDrive, f.pdev, f.cmd, f.kind, f.arg, f.remaining); }

TEST(SimDescription, FaultGrammar)
{
    struct Line { const char *key, *value; int added; };
    const Line lines[] = {
        { "0103.SELFTEST", "slow:2000", 1 }, { " TUR ", " timeout*3 , error:0x02 ", 2 },
        { "CHECKBYPASS", "rc:0x0F001740", 1 }, { "3.any", "missingrow", 1 }, { "0101.inquiry", "WrongRow", 1 },
        /* A fault that changes nothing, a number out of range or a bad item: the line is left out. */
        { "TUR", "rc:0", 0 }, { "TUR", "error:0x100", 0 }, { "TUR", "error:0", 0 }, { "TUR", "slow:600001", 0 }, { "TUR", "timeout:5", 0 },
        { "TUR", "rc", 0 }, { "TUR", "slow", 0 }, { "TUR", "slow:-1", 0 }, { "10000.TUR", "timeout", 0 }, { "TUR.0100", "timeout", 0 },
        { "XYZ", "timeout", 0 }, { "TUR", "", 0 }, { "TUR", "timeout,", 0 }, { "TUR", "timeout*0", 0 }, { "TUR@C", "timeout", 0 },
        { "TUR", "timeout*1000001", 0 }, { "TUR", "timeout*x", 0 }, { ".TUR", "timeout", 0 }, { "0103.", "timeout", 0 },
        { "TUR", "timeout,bogus", 0 }, { "", "timeout", 0 }, { "0103.SELFTEST.X", "timeout", 0 },
        { "0123456789012345678901234567890123456789.TUR", "timeout", 0 },
    };
    const FaultT want[] = {
        FaultT(0, 0x0103, SIM_CMD_SELFTEST, SIM_FAULT_SLOW, 2000, -1),
        FaultT(1, 0, SIM_CMD_TUR, SIM_FAULT_TIMEOUT, 0, 3),
        FaultT(1, 0, SIM_CMD_TUR, SIM_FAULT_ERROR, 2, -1),
        FaultT(1, 0, SIM_CMD_CHECKBYPASS, SIM_FAULT_RC, 0x0F001740, -1),
        FaultT(0, 0x0003, SIM_CMD_ANY, SIM_FAULT_MISSINGROW, 0, -1),
        FaultT(0, 0x0101, SIM_CMD_INQUIRY, SIM_FAULT_WRONGROW, 0, -1),
    };
    memset(&g_c, 0, sizeof g_c);
    for (const Line &l : lines)
        EXPECT_EQ(l.added, DkcAddFaults(&g_c, l.key, l.value)) << l.key << "=" << l.value;
    ASSERT_EQ(6, g_c.faultCount);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(want[i], Of(g_c.fault[i])) << i;

    /* The table holds SIM_FAULT_MAX; a line that does not fit adds what fits. */
    while (g_c.faultCount < SIM_FAULT_MAX - 2)
        ASSERT_EQ(1, DkcAddFaults(&g_c, "LIP", "timeout"));
    EXPECT_EQ(2, DkcAddFaults(&g_c, "LIP", "timeout,slow:1,rc:5"));
    EXPECT_EQ(0, DkcAddFaults(&g_c, "LIP", "timeout"));
    EXPECT_EQ(int(SIM_FAULT_MAX), g_c.faultCount);
}

/* present, vendor, sense, bypassed, drive value, stopped, never ready, spin-up, self test */
static std::string Drive(int unit, int row)
{
    const SimDrive &d = g_c.drive[unit][row];
    char s[128];
    snprintf(s, sizeof s, "%d [%.8s] %02X%02X%02X %d %X %d %d %u %02X", d.present, d.vendor, d.sense[0],
             d.sense[1], d.sense[2], d.bypassed, unsigned(d.driveValue), d.stopped, d.neverReady,
             unsigned(d.spinUpMs), d.selfTest);
    return s;
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
    EXPECT_EQ((std::vector<uint32_t>{ 1, 0, SIM_SEGMENT_DEFAULT, 1234, 7 * 12 - 1 }),
              (std::vector<uint32_t>{ g_c.fileRead, g_c.demoFaults, g_c.segmentLen, g_c.spinUpMs,
                                      uint32_t(g_c.driveCount) }));
    EXPECT_EQ("1 [ACME    ] 062900 3 10 1 1 77 09", Drive(1, 5));
    /* Values that do not read leave the defaults. */
    EXPECT_EQ("1 [QUILLION] 000000 0 0 0 0 1234 00", Drive(1, 6));
    /* Unequipped, beyond the rows, moved to MP 15 on path A only. */
    EXPECT_EQ((std::vector<int>{ 0, 0, 15, g_c.drive[2][5].mpB }),
              (std::vector<int>{ g_c.drive[2][3].present, g_c.drive[2][12].present, g_c.drive[2][4].mpA, g_c.drive[2][4].mpB }));
    ASSERT_EQ(1, g_c.faultCount);
    EXPECT_EQ(FaultT(0, 0x0100, SIM_CMD_TUR, SIM_FAULT_SLOW, 10, -1), Of(g_c.fault[0]));

    ASSERT_EQ(1, DkcLoadConfig(&g_c, UseDescription("[Sim]\nSegmentSize=65513\nSpinUpMs=600001\nDemoFaults=1\n").c_str()));
    EXPECT_EQ((std::vector<uint32_t>{ SIM_SEGMENT_MAX, SIM_SPINUP_DEFAULT, 1 }),
              (std::vector<uint32_t>{ g_c.segmentLen, g_c.spinUpMs, g_c.demoFaults }));

    /* A [Fault] section larger than the read buffer: whole lines only, the table full. */
    std::string big = "[Fault]\n";
    for (int i = 0; big.size() < SIM_SECTIONS_LEN + 1000; i++)
        big += std::to_string(1000 + i) + ".TUR=slow:" + std::to_string(i) + "\n";
    ASSERT_EQ(1, DkcLoadConfig(&g_c, UseDescription(big.c_str()).c_str()));
    EXPECT_EQ(int(SIM_FAULT_MAX), g_c.faultCount);
    for (int i = 0; i < g_c.faultCount; i++)
        EXPECT_EQ(uint32_t(i), g_c.fault[i].arg);
}

TEST(SimDescription, CommandLineAndNumbers)
{
    struct Args { std::vector<std::string> args; int ok; const char *quit; uint32_t life; };
    const Args cases[] = {
        { { "--lifetime", "86400", "--quit-event", "Local\\Q1" }, 1, "Local\\Q1", 86400 },
        { { "--lifetime", "0x10" }, 1, "Global\\MTP_SIM_05_QUIT", 16 }, { { "--lifetime", "86401" }, 0, nullptr, 0 },
        { { "--quit-event", std::string(SIM_EVENT_NAME, 'q') }, 0, nullptr, 0 }, { { "--lifetime" }, 0, nullptr, 0 },
        { { "--lifetime", "x" }, 0, nullptr, 0 }, { { "--quit-event" }, 0, nullptr, 0 },
    };
    for (const Args &c : cases) {
        std::vector<std::string> args = c.args;
        std::vector<char *> argv = { (char *)"x.exe" };
        for (std::string &a : args)
            argv.push_back(&a[0]);
        SimArgs a;
        ASSERT_EQ(c.ok, SimParseArgs(int(argv.size()), argv.data(), SIM_APID_DIAG, &a)) << argv.size();
        if (c.ok) {
            EXPECT_STREQ(c.quit, a.quitEvent);
            EXPECT_EQ(c.life, a.lifetimeS);
        }
    }

    struct Num { const char *text; int base; uint32_t max; int ok; uint32_t v; };
    const Num nums[] = {
        { "12", 10, 100, 1, 12 }, { " 12 ", 10, 100, 1, 12 }, { "0x1F", 10, 100, 1, 31 }, { "1F", 16, 100, 1, 31 },
        { "12a", 10, 100, 0, 0 }, { "-1", 10, 100, 0, 0 }, { "+1", 10, 100, 0, 0 }, { "", 10, 100, 0, 0 }, { "101", 10, 100, 0, 0 },
        { "4294967295", 10, 0xFFFFFFFFu, 1, 0xFFFFFFFFu }, { "4294967296", 10, 0xFFFFFFFFu, 0, 0 },
        { "99999999999999999999999", 10, 0xFFFFFFFFu, 0, 0 }, { "0x", 16, 100, 0, 0 },
    };
    for (const Num &n : nums) {
        uint32_t v = 0xABCD;
        EXPECT_EQ(n.ok, SimParseNum(n.text, n.base, n.max, &v)) << n.text;
        EXPECT_EQ(n.ok ? n.v : 0xABCDu, v) << n.text;
    }
    char id[IW_APID_LEN];
    EXPECT_TRUE(SimApIdText(0x0D, id) && std::string(id) == "0D");
    EXPECT_EQ(0, SimApIdText(0x100, id));
}
