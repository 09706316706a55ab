/* The fault grammar of the controller simulator's description, in this process: a line it
 * cannot read is left out whole, the table never overflows. */
#include "tests/sim/simtest.h"
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <tuple>

/* anyDrive, pdev, command, kind, arg, remaining */
typedef std::tuple<int, int, int, int, uint32_t, int> FaultT;
static FaultT Of(const SimFault &f) { return FaultT(f.anyDrive, f.pdev, f.cmd, f.kind, f.arg, f.remaining); }

TEST(SimDescription, FaultGrammarRefusesBadEntries)
{
    static DkcConfig c;
    struct Line { const char *key, *value; int added; };
    const Line lines[] = {
        { "0103.SELFTEST", "slow:2000", 1 }, { " TUR ", " timeout*3 , error:0x02 ", 2 },
        /* A fault that changes nothing, a number out of range or a bad item: the line is left out. */
        { "TUR", "rc:0", 0 }, { "TUR", "error:0x100", 0 }, { "TUR", "error:0", 0 }, { "TUR", "slow:600001", 0 }, { "TUR", "timeout:5", 0 },
        { "TUR", "rc", 0 }, { "TUR", "slow", 0 }, { "TUR", "slow:-1", 0 }, { "10000.TUR", "timeout", 0 }, { "TUR.0100", "timeout", 0 },
        { "XYZ", "timeout", 0 }, { "TUR", "", 0 }, { "TUR", "timeout,", 0 }, { "TUR", "timeout*0", 0 }, { "TUR@C", "timeout", 0 },
        { "TUR", "timeout*1000001", 0 }, { "TUR", "timeout*x", 0 }, { ".TUR", "timeout", 0 }, { "0103.", "timeout", 0 },
        { "TUR", "timeout,bogus", 0 }, { "", "timeout", 0 }, { "0103.SELFTEST.X", "timeout", 0 },
        { "0123456789012345678901234567890123456789.TUR", "timeout", 0 },
    };
    memset(&c, 0, sizeof c);
    for (const Line &l : lines)
        EXPECT_EQ(l.added, DkcAddFaults(&c, l.key, l.value)) << l.key << "=" << l.value;
    ASSERT_EQ(3, c.faultCount);
    EXPECT_EQ(FaultT(0, 0x0103, SIM_CMD_SELFTEST, SIM_FAULT_SLOW, 2000, -1), Of(c.fault[0]));
    EXPECT_EQ(FaultT(1, 0, SIM_CMD_TUR, SIM_FAULT_TIMEOUT, 0, 3), Of(c.fault[1]));
    EXPECT_EQ(FaultT(1, 0, SIM_CMD_TUR, SIM_FAULT_ERROR, 2, -1), Of(c.fault[2]));

    /* The table holds SIM_FAULT_MAX; a line that does not fit adds what fits. */
    while (c.faultCount < SIM_FAULT_MAX - 2)
        ASSERT_EQ(1, DkcAddFaults(&c, "LIP", "timeout"));
    EXPECT_EQ(2, DkcAddFaults(&c, "LIP", "timeout,slow:1,rc:5"));
    EXPECT_EQ(0, DkcAddFaults(&c, "LIP", "timeout"));
    EXPECT_EQ(int(SIM_FAULT_MAX), c.faultCount);

    /* In a description: comments and unreadable lines are left out, the rest is read; a
     * [Fault] section larger than the read buffer gives whole lines only. */
    ASSERT_EQ(1, DkcLoadConfig(&c, UseDescription("[Fault]\n;0100.TUR=timeout\n0100.TUR=slow:10\nbad line\n0101.TUR=rc:0\n").c_str()));
    ASSERT_EQ(1, c.faultCount);
    EXPECT_EQ(FaultT(0, 0x0100, SIM_CMD_TUR, SIM_FAULT_SLOW, 10, -1), Of(c.fault[0]));
    std::string big = "[Fault]\n";
    for (int i = 0; big.size() < SIM_SECTIONS_LEN + 1000; i++)
        big += std::to_string(1000 + i) + ".TUR=slow:" + std::to_string(i) + "\n";
    ASSERT_EQ(1, DkcLoadConfig(&c, UseDescription(big.c_str()).c_str()));
    EXPECT_EQ(int(SIM_FAULT_MAX), c.faultCount);
    for (int i = 0; i < c.faultCount; i++)
        EXPECT_EQ(uint32_t(i), c.fault[i].arg);
}
