/* Helpers of the routine tests: the controller and diagnosis log simulators on a description of
 * the test's own, and the diagnosis log they write. */
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

enum : DWORD { DIVISOR = 100 };   /* MTP_TIME_DIVISOR of the tests */
extern std::string g_dir;         /* the test's temporary folder, set by SimEnv */
extern std::string g_diagLog;     /* the diagnosis log of the simulators started last */

/* The test's folder, trace log and time divisor; both simulators are ended at the end. */
class SimEnv : public testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
};
/* Restarts both simulators on a new description (the lines, after a [Subsystem] section that
 * sends message boxes to the trace) and a new diagnosis log. */
void UseSims(const std::string &lines);
/* Diagnosis log lines from "CR#=" on. */
std::vector<std::string> Reports();
