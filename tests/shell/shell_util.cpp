#include "tests/shell/shell_util.h"
#include "tests/support/support.h"
#include <stdio.h>

std::vector<UINT> g_mainMsgs;
static void (*g_onIdle)(HWND, int);
static int g_idleCount;

static std::string TracePath()
{
    char buf[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("MTP_TRACE_LOG", buf, sizeof buf);
    return std::string(buf, n);
}

void UseTraceAndDescription(const char *description)
{
    std::string dir = TempDir();
    WriteFileBytes(dir + "subsys.ini", description);
    SetEnv("MTP_TRACE_LOG", (dir + "trace.log").c_str());
    SetEnv("MTP_SUBSYSTEM_INI", (dir + "subsys.ini").c_str());
}

size_t TraceMark() { return ReadLines(TracePath()).size(); }

std::vector<std::string> TraceTexts(size_t mark, DWORD pid)
{
    char who[16];
    snprintf(who, sizeof who, " %08lX ", (unsigned long)pid);
    std::vector<std::string> lines = ReadLines(TracePath()), out;
    for (size_t i = mark; i < lines.size(); i++) {
        if (pid && lines[i].compare(23, 10, who) != 0)
            continue;
        out.push_back(lines[i].size() >= TRACE_TEXT_COLUMN ? lines[i].substr(TRACE_TEXT_COLUMN) : "");
    }
    return out;
}

int FindText(const std::vector<std::string> &texts, const std::string &want, size_t from)
{
    for (size_t i = from; i < texts.size(); i++)
        if (texts[i] == want)
            return int(i);
    return -1;
}

TestBlock MakeBlock(uint8_t mode, uint8_t routine, const uint32_t *select)
{
    static unsigned long seq;
    TestBlock b;
    b.number = (GetCurrentProcessId() << 8) + ++seq;
    char name[32];
    snprintf(name, sizeof name, "DIAGAPI%08lx", b.number);
    b.map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1024, name);
    b.view = b.map ? (uint8_t *)MapViewOfFile(b.map, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
    if (b.view) {
        memset(b.view, 0, 1024);
        b.view[LB_LAUNCH_MODE] = mode;
        b.view[LB_ROUTINE] = routine;
        b.view[LB_END_STATUS] = 0xEE;
        if (select)
            for (size_t row = 0; row < ROW_COUNT; row++)
                PutLe32(b.view + LB_DRIVE_SELECT + 4 * row, select[row]);
    }
    return b;
}

void FreeBlock(TestBlock &b)
{
    if (b.view)
        UnmapViewOfFile(b.view);
    if (b.map)
        CloseHandle(b.map);
    b = TestBlock();
}

std::string BlockArg(const TestBlock &b)
{
    char arg[32];
    snprintf(arg, sizeof arg, "%lx", b.number);
    return arg;
}

static HHOOK g_hook;

static LRESULT CALLBACK RecordMsg(int code, WPARAM wp, LPARAM lp)
{
    const MSG *m = (const MSG *)lp;
    if (code == HC_ACTION && wp == PM_REMOVE && m->hwnd && m->hwnd == g_app.mainWnd) {
        if (m->message >= UM_ROUTINE_READY && m->message <= UM_INITIALIZE)
            g_mainMsgs.push_back(m->message);
        else if (m->message == WM_COMMAND)
            g_mainMsgs.push_back(LOWORD(m->wParam));
        /* The window waits for the user after these; let the test act once they are handled. */
        if (g_onIdle && (m->message == UM_CHECK_LDEV || m->message == UM_RUN_ENDED))
            PostMessageA(m->hwnd, WM_APP + 1, 0, 0);
        if (g_onIdle && m->message == WM_APP + 1)
            g_onIdle(m->hwnd, g_idleCount++);
    }
    return CallNextHookEx(g_hook, code, wp, lp);
}

void RunProgramRecorded(const char *cmdLine, void (*onIdle)(HWND, int))
{
    g_mainMsgs.clear();
    g_onIdle = onIdle;
    g_idleCount = 0;
    g_hook = SetWindowsHookExA(WH_GETMESSAGE, RecordMsg, nullptr, GetCurrentThreadId());
    RunProgram(GetModuleHandleA(nullptr), cmdLine);
    UnhookWindowsHookEx(g_hook);
    g_onIdle = nullptr;
}
