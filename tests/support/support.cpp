#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <stdio.h>

std::string BinDir()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    size_t cut = s.find_last_of("\\/");
    return cut == std::string::npos ? std::string(".\\") : s.substr(0, cut + 1);
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
    size_t pos = 0;
    while (pos < all.size()) {
        size_t nl = all.find('\n', pos);
        if (nl == std::string::npos)
            nl = all.size();
        std::string line = all.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        pos = nl + 1;
    }
    return lines;
}

HANDLE StartProgram(const std::string &exeName, const std::string &args)
{
    std::string exe = BinDir() + exeName;
    std::string cmd = "\"" + exe + "\"" + (args.empty() ? "" : " " + args);
    STARTUPINFOA si = { sizeof si };
    PROCESS_INFORMATION pi = {};
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    if (!CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

HANDLE StartChild(const std::string &role, const std::string &args)
{
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string name(self, n);
    name = name.substr(name.find_last_of("\\/") + 1);
    return StartProgram(name, "child " + role + (args.empty() ? "" : " " + args));
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

HANDLE StartSimulator(const char *exe, const char *apId)
{
    char name[64];
    snprintf(name, sizeof name, "Global\\MTP_EVENT_%s_RECV", apId);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, name);
    HANDLE p = StartProgram(exe, "--lifetime 600");
    HANDLE waits[2] = { ready, p };
    DWORD w = p ? WaitForMultipleObjects(2, waits, FALSE, 30000) : WAIT_FAILED;
    if (ready)
        CloseHandle(ready);
    if (w != WAIT_OBJECT_0) {
        WaitExit(p, 0);
        return nullptr;
    }
    return p;
}

int QuitSimulator(HANDLE process, const char *apId)
{
    char name[64];
    snprintf(name, sizeof name, "Global\\MTP_SIM_%s_QUIT", apId);
    HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    if (quit) {
        SetEvent(quit);
        CloseHandle(quit);
    }
    return WaitExit(process, 30000);
}

std::string RunCapture(const std::string &exe, const std::string &args, int *exitCode)
{
    SECURITY_ATTRIBUTES sa = { sizeof sa, nullptr, TRUE };
    HANDLE rd = nullptr, wr = nullptr;
    *exitCode = -1;
    if (!CreatePipe(&rd, &wr, &sa, 0))
        return "";
    SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
    std::string cmd = "\"" + BinDir() + exe + "\" " + args;
    STARTUPINFOA si = { sizeof si };
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = wr;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    BOOL ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(wr);
    std::string out;
    if (ok) {
        char buf[4096];
        DWORD got;
        while (ReadFile(rd, buf, sizeof buf, &got, nullptr) && got > 0)
            out.append(buf, got);
        CloseHandle(pi.hThread);
        *exitCode = WaitExit(pi.hProcess, 60000);
    }
    CloseHandle(rd);
    return out;
}
