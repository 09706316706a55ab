/* Helpers of the shell tests: trace log, launch blocks, message order, dialog scripts. */
#pragma once
#include "shell/shell.h"
#include "base/launch.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

/* Points this process (and its children) at a fresh trace log and a subsystem description
 * with the given text. */
void UseTraceAndDescription(const char *description);
struct TraceEnv : testing::Environment {
    const char *description;
    explicit TraceEnv(const char *d) : description(d) {}
    void SetUp() override { UseTraceAndDescription(description); }
};

/* Index of the first text equal to want at or after from, or -1. */
int FindText(const std::vector<std::string> &texts, const std::string &want, size_t from = 0);

/* A launch block made the way the launcher makes it; arg is its command line. */
struct TestBlock {
    HANDLE   map = nullptr;
    uint8_t *view = nullptr;
    std::string arg;
    TestBlock(uint8_t mode, uint8_t routine, const uint32_t *select /* 80 words or null */);
    TestBlock(const TestBlock &) = delete;
    ~TestBlock();
};

/* Private messages and WM_COMMAND ids retrieved for the main window while RunProgram ran. */
extern std::vector<UINT> g_mainMsgs;
/* Runs the program in this thread. onIdle (may be null) is posted the main window when the
 * interactive window starts waiting (after the logical-device check) and after each run. */
void RunProgramRecorded(const char *cmdLine, void (*onIdle)(HWND wnd, int idleCount));

/* The main window made from the program's resources, its start-up timer stopped. */
HWND MakeMainWindow();
std::string ItemText(HWND dlg, int id);
std::string Caption(HWND wnd);

/* Dialog scripts: a thread timer acts on the topmost open dialog when its caption is the one
 * the script expects next; a script that waits too long is given up (g_stalled). */
typedef void (*StepFn)(HWND dlg);
struct Step { const char *caption; StepFn act; };
extern std::vector<Step> g_steps;
extern size_t g_next;
extern int g_stalled;
extern std::vector<std::string> g_created;  /* dialog captions in creation order */
extern std::vector<UINT> g_ownerCmds;       /* WM_COMMAND ids the stand-in owner got */
extern void (*g_onEnd)(HWND top);           /* looks at the dialogs when IDM_EXIT arrives */
/* Runs fn (which opens the dialogs) under the script; returns fn's result. */
int Drive(int (*fn)(HWND), HWND owner, std::vector<Step> steps);
/* The whole program under a script. */
void RunProgramScripted(const char *cmdLine, void (*onIdle)(HWND, int), std::vector<Step> steps);
#define EXPECT_SCRIPT_DONE() \
    do { EXPECT_FALSE(g_stalled); EXPECT_EQ(g_steps.size(), g_next); } while (0)
/* A hidden window standing for the main window: owner of the dialogs, receiver of the end. */
HWND MakeOwner();
void Click(HWND dlg, int id);
/* A user's click on a check box: the box toggles, then the dialog hears of it. */
void Toggle(HWND dlg, int id);
