/* Helpers of the routine tests: the controller and diagnosis log simulators on a description of
 * the test's own, and the diagnosis log they write. */
#pragma once
#include <windows.h>
#include <string>
#include <vector>

enum : DWORD { SIM_START_MS = 30000 };
extern std::string g_dir;       /* the test's temporary folder, set by its environment */
extern std::string g_diagLog;   /* the diagnosis log of the simulators started last */
extern HANDLE g_dkc, g_log;

/* Starts a simulator of bin/ and waits (bounded) until it receives; null when it did not. */
HANDLE StartSim(const char *exe, const char *apId);
/* Ends a simulator through its default quit event; its exit code (0 when none ran). */
int QuitSim(HANDLE *p, const char *apId);
/* Restarts both simulators on a new description (lines joined by CRLF, after a [Subsystem]
 * section that sends message boxes to the trace) and a new diagnosis log. */
void UseSims(const std::string &lines);
/* Diagnosis log lines from "CR#=" on. */
std::vector<std::string> Reports();
int CountPrefix(const std::vector<std::string> &lines, const std::string &prefix);
