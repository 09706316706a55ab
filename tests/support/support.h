/* Shared helpers of the test programs: child roles, temporary folders, files, processes.
 * A test program links testsupport instead of gtest_main. */
#pragma once
#include <windows.h>
#include <stdint.h>
#include <string>
#include <vector>

/* A test program can re-run itself as a child: "prog.exe child ROLE args...".
 * Register roles at namespace scope: static ChildRole r("name", fn); fn returns the exit code. */
typedef int (*ChildFn)(int argc, char **argv);   /* argv[0] is the role name */
struct ChildRole { ChildRole(const char *name, ChildFn fn); };

/* Folder of the running test program (bin/, where every program and DLL lies), with a
 * trailing backslash. */
std::string BinDir();
/* Fresh empty folder for this test, with a trailing backslash; removed at exit unless a
 * test failed. */
std::string TempDir();
void RemoveTempDirs();
/* Whole file as bytes; empty when it cannot be read. */
std::string ReadFileBytes(const std::string &path);
bool WriteFileBytes(const std::string &path, const std::string &bytes);
/* Lines of a text file, without their line ends. */
std::vector<std::string> ReadLines(const std::string &path);
/* Starts a program of bin/ with a command line (program name first) and the current
 * environment; returns the process handle or null. */
HANDLE StartProgram(const std::string &exeName, const std::string &args);
/* Runs "self child ROLE args" and returns its process handle. */
HANDLE StartChild(const std::string &role, const std::string &args);
/* Waits for a process (bounded) and returns its exit code, or -1 on time-out (it is then killed). */
int WaitExit(HANDLE process, DWORD timeoutMs);
/* Sets or clears (value null) an environment variable of this process (children inherit it). */
void SetEnv(const char *name, const char *value);
/* Trace log lines containing the text, in order. */
std::vector<std::string> GrepLines(const std::vector<std::string> &lines, const std::string &text);

/* Starts a simulator of bin/ (e.g. "DkcSim.exe" as AP "09") on this process's environment and
 * waits until it receives; null when it did not within 30 s. */
HANDLE StartSimulator(const char *exe, const char *apId);
/* Ends a simulator through its default quit event and returns its exit code. */
int QuitSimulator(HANDLE process, const char *apId);
/* Runs a program of bin/ with its output captured; returns what it printed and sets its exit
 * code (-1 when it did not end within a minute). */
std::string RunCapture(const std::string &exe, const std::string &args, int *exitCode);
