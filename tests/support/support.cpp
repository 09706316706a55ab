#include "tests/support/support.h"
#include "base/launch.h"
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <algorithm>

/* Folder of the running test program (bin/, where every program and DLL lies). */
static std::string BinDir()
{
    char path[MAX_PATH];
    std::string s(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    return s.substr(0, s.find_last_of("\\/") + 1);
}

static void RemoveTree(const std::string &dir)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string n = fd.cFileName;
            if (n == "." || n == "..")
                continue;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(dir + n + "\\");
            else
                DeleteFileA((dir + n).c_str());
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

static std::vector<std::string> g_tempDirs;

void RemoveTempDirs()
{
    for (auto &d : g_tempDirs)
        RemoveTree(d);
    g_tempDirs.clear();
}

std::string TempDir()
{
    static int seq;
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    char name[MAX_PATH];
    snprintf(name, sizeof name, "%svt%lu_%d_%lu\\", base, GetCurrentProcessId(), ++seq, GetTickCount());
    CreateDirectoryA(name, nullptr);
    g_tempDirs.push_back(name);
    return name;
}

std::string ReadFileBytes(const std::string &path)
{
    std::string out;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return out;
    char buf[65536];
    DWORD got;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
        out.append(buf, got);
    CloseHandle(h);
    return out;
}

bool WriteFileBytes(const std::string &path, const std::string &bytes)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD put = 0;
    BOOL ok = WriteFile(h, bytes.data(), DWORD(bytes.size()), &put, nullptr);
    CloseHandle(h);
    return ok && put == bytes.size();
}

std::vector<std::string> ReadLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::string all = ReadFileBytes(path);
    for (size_t pos = 0, nl; pos < all.size(); pos = nl + 1) {
        nl = std::min(all.find('\n', pos), all.size());
        lines.push_back(all.substr(pos, nl - (nl > pos && all[nl - 1] == '\r') - pos));
    }
    return lines;
}

HANDLE StartProgram(const std::string &exeName, const std::string &args, HANDLE out, HANDLE err)
{
    std::string exe = BinDir() + exeName, cmd = "\"" + exe + "\"" + (args.empty() ? "" : " " + args);
    STARTUPINFOA si = { sizeof si };
    PROCESS_INFORMATION pi = {};
    if (out) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = out, si.hStdError = err ? err : out, si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    /* Wine now and then fails a start under load: two more tries, then say why. */
    for (int tries = 1; !CreateProcessA(exe.c_str(), &cmd[0], nullptr, nullptr, out != nullptr, 0, nullptr, nullptr, &si, &pi); tries++) {
        fprintf(stderr, "StartProgram: %s not started (%lu)\n", exeName.c_str(), GetLastError());
        if (tries == 3)
            return nullptr;
        Sleep(500);
    }
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

HANDLE StartChild(const std::string &role, const std::string &args)
{
    char self[MAX_PATH];
    std::string me(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
    return StartProgram(me.substr(me.find_last_of("\\/") + 1),
                        "child " + role + (args.empty() ? "" : " ") + args);
}

int WaitExit(HANDLE process, DWORD timeoutMs)
{
    if (!process)
        return -1;
    DWORD code = DWORD(-1);
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process, 255);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
        return -1;
    }
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return int(code);
}

void SetEnv(const char *name, const char *value) { SetEnvironmentVariableA(name, value); }

std::vector<std::string> GrepLines(const std::vector<std::string> &lines, const std::string &text)
{
    std::vector<std::string> out;
    for (auto &l : lines)
        if (l.find(text) != std::string::npos)
            out.push_back(l);
    return out;
}

/* ---- the test environment ---- */

static std::string g_testDir;

const std::string &TestDir() { return g_testDir; }

void TestEnv::SetUp()
{
    g_testDir = TempDir();
    SetEnv("MTP_TRACE_LOG", (g_testDir + "trace.log").c_str());
    SetEnv("MTP_TIME_DIVISOR", std::to_string(divisor).c_str());
    UseDescription(description);
    UseDiagLog();
}

static std::string NewFile(const char *var, const char *name, const char *text)
{
    static int seq;
    std::string path = g_testDir + name + std::to_string(++seq);
    if (text)
        WriteFileBytes(path, text);
    SetEnv(var, path.c_str());
    return path;
}

std::string UseDescription(const char *text) { return NewFile("MTP_SUBSYSTEM_INI", "desc", text); }
std::string UseDiagLog() { return NewFile("MTP_DIAG_LOG", "diag", nullptr); }

/* ---- the trace log ---- */

enum : size_t { LOG_PID_COL = 24, LOG_KIND_COL = 33, LOG_TEXT_COL = 38 };

static std::string ReadTraceLog()
{
    char path[MAX_PATH] = "c:\\trn600\\log\\mtptrace.log";
    GetEnvironmentVariableA("MTP_TRACE_LOG", path, sizeof path);
    return ReadFileBytes(path);
}

size_t TraceMark() { return ReadTraceLog().size(); }

std::vector<TraceLine> TraceSince(size_t mark)
{
    std::vector<TraceLine> out;
    std::string all = ReadTraceLog();
    for (size_t pos = mark, end; (end = all.find_first_of(std::string("\n\0", 2), pos)) != std::string::npos;
         pos = end + 1) {
        std::string line = all.substr(pos, end - pos - (end > pos && all[end - 1] == '\r'));
        if (line.size() >= LOG_TEXT_COL)
            out.push_back({ DWORD(strtoul(line.substr(LOG_PID_COL, 8).c_str(), nullptr, 16)),
                            uint16_t(strtoul(line.substr(LOG_KIND_COL, 4).c_str(), nullptr, 16)),
                            line.substr(LOG_TEXT_COL) });
    }
    return out;
}

std::vector<std::string> TraceTexts(size_t mark, DWORD pid, int kind)
{
    std::vector<std::string> out;
    for (TraceLine &l : TraceSince(mark))
        if ((!pid || l.pid == pid) && (kind < 0 || l.kind == kind))
            out.push_back(l.text);
    return out;
}

/* ---- simulators ---- */

bool Peer::Start(const char *exe, const char *apId, const std::string &extraArgs)
{
    static int seq;
    Stop();
    /* Held until Stop, so that only the peer's receive thread sets it again. */
    recv = CreateEventA(nullptr, TRUE, FALSE, ("Global\\MTP_EVENT_" + std::string(apId) + "_RECV").c_str());
    quit = "Global\\MTP_SIM_" + std::string(apId) + "_QUIT_" + std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(++seq);
    if (!recv || !ResetEvent(recv))
        return false;
    process = StartProgram(exe, "--quit-event " + quit + " --lifetime 600" + (extraArgs.empty() ? "" : " " + extraArgs));
    HANDLE waits[2] = { recv, process };
    return process && WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
}

int Peer::Stop()
{
    HANDLE q = process ? OpenEventA(EVENT_MODIFY_STATE, FALSE, quit.c_str()) : nullptr;
    if (q)
        SetEvent(q), CloseHandle(q);
    int code = process ? WaitExit(process, 30000) : -1;
    if (recv)
        CloseHandle(recv);
    process = recv = nullptr;
    return code;
}

bool SimPair::Restart(const char *lines)
{
    Stop();
    if (lines)
        UseDescription((std::string("[Subsystem]\nMessageBox=trace\n") + lines).c_str());
    diagLog = UseDiagLog();
    return dkc.Start("DkcSim.exe", "09") && log.Start("DiagLogSim.exe", "05");
}

void SimPair::Stop()
{
    for (Peer *p : { &dkc, &log })
        EXPECT_TRUE(!p->process || p->Stop() == 0) << p->quit;
}

std::vector<std::string> SimPair::Reports() const
{
    std::vector<std::string> out;
    for (auto &l : ReadLines(diagLog))
        out.push_back(l.find("CR#=") == std::string::npos ? l : l.substr(l.find("CR#=")));
    return out;
}

/* ---- the launch block ---- */

LaunchBlock::LaunchBlock(uint8_t mode, uint8_t routine, const uint32_t *select)
{
    static int seq;
    char name[32];
    snprintf(name, sizeof name, LB_NAME_FMT, (GetCurrentProcessId() << 8) + ++seq);
    arg = name + 7;
    map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, LB_LAUNCHER_SIZE, name);
    view = (uint8_t *)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    view[LB_LAUNCH_MODE] = mode, view[LB_ROUTINE] = routine, view[LB_END_STATUS] = LB_END_STATUS_UNSET;
    if (select)
        LaunchPutSelect(view, select);
}

LaunchBlock::~LaunchBlock() { UnmapViewOfFile(view), CloseHandle(map); }

std::vector<uint32_t> LaunchBlock::Errors() const
{
    std::vector<uint32_t> w(ROW_COUNT);
    LaunchGetErrors(view, w.data());
    return w;
}

int LaunchBlock::RunVestra(DWORD timeoutMs) const { return WaitExit(StartProgram("Vestra.exe", arg), timeoutMs); }

/* ---- windows and dialogs ---- */

std::string Caption(HWND wnd)
{
    char text[256] = "";
    SendMessageTimeoutA(wnd, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_BLOCK, 5000, nullptr);
    return text;
}

std::string ItemText(HWND dlg, int id) { return Caption(GetDlgItem(dlg, id)); }

void Click(HWND dlg, int id) { PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id)); }

static DialogPresser *g_presser;
static HHOOK g_presserHook;

static BOOL CALLBACK AddText(HWND h, LPARAM to)
{
    char text[256] = "";
    GetWindowTextA(h, text, sizeof text);
    *reinterpret_cast<std::string *>(to) += std::string(text) + "|";
    return TRUE;
}

/* A property marks a pressed dialog: activated again (after one it opened) it is left alone. */
static LRESULT CALLBACK PressHook(int code, WPARAM wp, LPARAM lp)
{
    HWND dlg = HWND(wp), item = code == HCBT_ACTIVATE ? GetDlgItem(dlg, g_presser->button) : nullptr;
    if (item && !GetPropA(dlg, "TestPressed")) {
        std::string texts;
        AddText(dlg, LPARAM(&texts));
        EnumChildWindows(dlg, AddText, LPARAM(&texts));
        g_presser->texts.push_back(texts);
        SetPropA(dlg, "TestPressed", HANDLE(1));
        if (g_presser->prepare)
            g_presser->prepare(dlg);
        PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(g_presser->button, BN_CLICKED), LPARAM(item));
    }
    return CallNextHookEx(g_presserHook, code, wp, lp);
}

DialogPresser::DialogPresser(int buttonId, void (*prepareFn)(HWND)) : button(buttonId), prepare(prepareFn)
{
    g_presser = this;
    g_presserHook = SetWindowsHookExA(WH_CBT, PressHook, nullptr, GetCurrentThreadId());
    EXPECT_NE(nullptr, g_presserHook);
}

DialogPresser::~DialogPresser() { UnhookWindowsHookEx(g_presserHook); }
