/* Shared helpers of the test programs: child roles, temporary folders, files, processes, the
 * test environment, the trace log, simulators, modal dialogs. A test program links testsupport
 * instead of gtest_main; all of it is for the test's main thread. */
#pragma once
#include <windows.h>
#include <stdint.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

/* A test program can re-run itself as a child: "prog.exe child ROLE args...".
 * Register roles at namespace scope: static ChildRole r("name", fn); fn returns the exit code. */
typedef int (*ChildFn)(int argc, char **argv);   /* argv[0] is the role name */
struct ChildRole { ChildRole(const char *name, ChildFn fn); };

/* Fresh empty folder for this test, with a trailing backslash; removed at exit unless a
 * test failed. */
std::string TempDir();
void RemoveTempDirs();
/* Whole file as bytes; empty when it cannot be read. */
std::string ReadFileBytes(const std::string &path);
bool WriteFileBytes(const std::string &path, const std::string &bytes);
/* Lines of a text file, without their line ends. */
std::vector<std::string> ReadLines(const std::string &path);
/* Starts a program of bin/ with a command line (program name first), the current environment
 * and, when out is given, out and err (or out) as its standard output and error; returns the
 * process handle or null. */
HANDLE StartProgram(const std::string &exeName, const std::string &args, HANDLE out = nullptr, HANDLE err = nullptr);
/* Runs "self child ROLE args" and returns its process handle. */
HANDLE StartChild(const std::string &role, const std::string &args);
/* Waits for a process (bounded) and returns its exit code, or -1 on time-out (it is then killed). */
int WaitExit(HANDLE process, DWORD timeoutMs);
/* Sets or clears (value null) an environment variable of this process (children inherit it). */
void SetEnv(const char *name, const char *value);
/* Lines (e.g. trace texts) containing the text, in order. */
std::vector<std::string> GrepLines(const std::vector<std::string> &lines, const std::string &text);

/* The test program's environment: a fresh folder (TestDir) with the trace log, a subsystem
 * description of this text (null: none, so the built-in default) and a diagnosis log, and
 * MTP_TIME_DIVISOR; children and simulators inherit it. Register it at namespace scope with
 * testing::AddGlobalTestEnvironment(new TestEnv(text, divisor)); a derived one calls
 * TestEnv::SetUp first. UseDescription / UseDiagLog point the processes started next at a new
 * description (null: none) or diagnosis log in TestDir and return its path. */
struct TestEnv : testing::Environment {
    const char *description;
    unsigned    divisor;
    TestEnv(const char *text, unsigned timeDivisor) : description(text), divisor(timeDivisor) {}
    void SetUp() override;
};
const std::string &TestDir();
std::string UseDescription(const char *text);
std::string UseDiagLog();

/* The trace log "YYYY/MM/DD hh:mm:ss.mmm PPPPPPPP KKKK text": TraceMark is its current end,
 * TraceSince the whole lines after a mark (NULs of a line not yet written end a line, so the
 * lines behind it count), TraceTexts their texts, only of process pid (unless 0) and of kind
 * (unless -1). GrepLines filters texts. */
struct TraceLine { DWORD pid; uint16_t kind; std::string text; };
size_t TraceMark();
std::vector<TraceLine> TraceSince(size_t mark);
std::vector<std::string> TraceTexts(size_t mark, DWORD pid = 0, int kind = -1);

/* A simulator (DkcSim.exe as "09", DiagLogSim.exe as "05", ...) with a quit event of its own.
 * Start waits (30 s at most) until it receives; Stop sets the quit event and returns the exit
 * code (-1: not ended within 30 s, killed). A peer still running when it goes out of scope,
 * e.g. after a failed assertion, is stopped then. */
struct Peer {
    HANDLE      process = nullptr, recv = nullptr;
    std::string quit;
    ~Peer() { Stop(); }
    bool Start(const char *exe, const char *apId, const std::string &extraArgs = "");
    int Stop();
};

/* Both simulators, DkcSim.exe as "09" and DiagLogSim.exe as "05". Restart stops those running
 * (each must end with 0), points the processes started next at a description of "[Subsystem]"
 * with message boxes to the trace and the lines (null: the description stays) and at a fresh
 * diagnosis log, and starts both. Reports: the log's lines from "CR#=" on. */
struct SimPair {
    Peer        dkc, log;
    std::string diagLog;
    bool Restart(const char *lines);
    void Stop();
    std::vector<std::string> Reports() const;
};

/* A launch block made as the launcher makes it (DIAGAPI and arg, the command line): launch mode,
 * routine, end status unset and the drive selection (80 words, or null). Errors: its drive error
 * bitmap; RunVestra: Vestra.exe on it, its exit code (-1: not ended within the time). */
struct LaunchBlock {
    std::string arg;
    HANDLE      map;
    uint8_t    *view;
    LaunchBlock(uint8_t mode, uint8_t routine, const uint32_t *select = nullptr);
    ~LaunchBlock();
    std::vector<uint32_t> Errors() const;
    int RunVestra(DWORD timeoutMs) const;
};

/* A window's text (WM_GETTEXT, also across processes), a dialog item's; a posted button click. */
std::string Caption(HWND wnd);
std::string ItemText(HWND dlg, int id);
void Click(HWND dlg, int id);

/* While it lives, each dialog this thread activates that has control button gets it pressed
 * (once, a posted click, after prepare(dialog) when given); texts keeps each such dialog's
 * caption and control texts, each followed by '|'. One at a time. */
struct DialogPresser {
    int                      button;
    void                   (*prepare)(HWND dlg);
    std::vector<std::string> texts;
    explicit DialogPresser(int buttonId, void (*prepareFn)(HWND) = nullptr);
    ~DialogPresser();
};
