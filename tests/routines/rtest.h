/* Helpers of the routine tests: the controller and diagnosis log simulators on a description of
 * the test's own, and the diagnosis log they write. */
#pragma once
#include "tests/support/support.h"

enum : DWORD { DIVISOR = 25 };   /* MTP_TIME_DIVISOR of the tests */
inline Peer g_dkc, g_log;
inline std::string g_diagLog;     /* the diagnosis log of the simulators started last */

inline void StopSims()
{
    for (Peer *p : { &g_dkc, &g_log })
        if (p->process)
            EXPECT_EQ(0, p->Stop()) << p->quit;
}

/* The test's folder, trace log and time divisor; the simulators are ended at the end. */
struct SimEnv : TestEnv {
    SimEnv() : TestEnv(nullptr, DIVISOR) {}
    void TearDown() override { StopSims(); }
};

/* Restarts both simulators on a new description (the lines, after a [Subsystem] section that
 * sends message boxes to the trace) and a new diagnosis log. */
inline void UseSims(const std::string &lines)
{
    StopSims();
    UseDescription(("[Subsystem]\nMessageBox=trace\n" + lines + "\n").c_str());
    g_diagLog = UseDiagLog();
    ASSERT_TRUE(g_dkc.Start("DkcSim.exe", "09"));
    ASSERT_TRUE(g_log.Start("DiagLogSim.exe", "05"));
}

/* Diagnosis log lines from "CR#=" on. */
inline std::vector<std::string> Reports()
{
    std::vector<std::string> out;
    for (auto &l : ReadLines(g_diagLog)) {
        size_t at = l.find("CR#=");
        out.push_back(at == std::string::npos ? l : l.substr(at));
    }
    return out;
}
