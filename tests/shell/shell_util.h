/* Helpers of the shell tests: trace log, launch blocks, message order. */
#pragma once
#include "shell/shell.h"
#include <string>
#include <vector>

enum : size_t { TRACE_TEXT_COLUMN = 38 };

/* Points this process (and its children) at a fresh trace log and a subsystem description
 * with the given text. */
void UseTraceAndDescription(const char *description);

/* Texts (from column 38) of the trace log lines written since the mark; only those of one
 * process when pid is given (the simulators write to the same log). */
std::vector<std::string> TraceTexts(size_t mark, DWORD pid = 0);
/* Current number of trace log lines. */
size_t TraceMark();
/* Index of the first text equal to want at or after from, or -1. */
int FindText(const std::vector<std::string> &texts, const std::string &want, size_t from = 0);

/* A launch block made the way the launcher makes it. */
struct TestBlock {
    HANDLE   map = nullptr;
    uint8_t *view = nullptr;
    unsigned long number = 0;
};
TestBlock MakeBlock(uint8_t mode, uint8_t routine, const uint32_t *select /* 80 words or null */);
void FreeBlock(TestBlock &b);
std::string BlockArg(const TestBlock &b);

/* Private messages and WM_COMMAND ids retrieved for the main window while RunProgram ran. */
extern std::vector<UINT> g_mainMsgs;
/* Runs the program in this thread. onIdle (may be null) is posted the main window when the
 * interactive window starts waiting (after the logical-device check) and after each run. */
void RunProgramRecorded(const char *cmdLine, void (*onIdle)(HWND wnd, int idleCount));
