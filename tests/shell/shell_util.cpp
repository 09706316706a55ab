#include "tests/shell/shell_util.h"
#include "tests/support/support.h"
#include "res/resource.h"
#include <stdio.h>
#include <algorithm>

std::vector<UINT> g_mainMsgs;
static void (*g_onIdle)(HWND, int);
static int g_idleCount;

void UseTraceAndDescription(const char *description)
{
    std::string dir = TempDir();
    WriteFileBytes(dir + "subsys.ini", description);
    SetEnv("MTP_TRACE_LOG", (dir + "trace.log").c_str());
    SetEnv("MTP_SUBSYSTEM_INI", (dir + "subsys.ini").c_str());
}

int FindText(const std::vector<std::string> &texts, const std::string &want, size_t from)
{
    for (size_t i = from; i < texts.size(); i++)
        if (texts[i] == want)
            return int(i);
    return -1;
}

TestBlock::TestBlock(uint8_t mode, uint8_t routine, const uint32_t *select)
{
    static unsigned long seq;
    unsigned long number = (GetCurrentProcessId() << 8) + ++seq;
    char name[32];
    snprintf(name, sizeof name, "%lx", number);
    arg = name;
    snprintf(name, sizeof name, "DIAGAPI%08lx", number);
    map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1024, name);
    view = map ? (uint8_t *)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
    if (!view)
        return;
    memset(view, 0, 1024);
    view[LB_LAUNCH_MODE] = mode;
    view[LB_ROUTINE] = routine;
    view[LB_END_STATUS] = 0xEE;
    for (size_t row = 0; select && row < ROW_COUNT; row++)
        PutLe32(view + LB_DRIVE_SELECT + 4 * row, select[row]);
}

TestBlock::~TestBlock()
{
    if (view)
        UnmapViewOfFile(view);
    if (map)
        CloseHandle(map);
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

HWND MakeMainWindow()
{
    g_app.instance = GetModuleHandleA(nullptr);
    HWND wnd = CreateDialogParamA(g_app.instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDlgProc, 0);
    if (wnd)
        KillTimer(wnd, TIMER_INIT);
    return wnd;
}

std::string ItemText(HWND dlg, int id)
{
    char text[256] = "";
    GetDlgItemTextA(dlg, id, text, sizeof text);
    return text;
}

/* ---- dialog scripts ---- */

enum : UINT { TICK_MS = 10, STALL_TICKS = 400 };

std::vector<Step> g_steps;
size_t g_next;
int g_stalled;
std::vector<std::string> g_created;
std::vector<UINT> g_ownerCmds;
void (*g_onEnd)(HWND top);
static std::vector<HWND> g_open;   /* dialogs created and not yet destroyed */
static int g_ended;
static UINT g_idleTicks;
static HHOOK g_cbtHook;

static LRESULT CALLBACK TrackDialogs(int code, WPARAM wp, LPARAM lp)
{
    HWND wnd = (HWND)wp;
    char cls[16] = "";
    if (code == HCBT_CREATEWND && GetClassNameA(wnd, cls, sizeof cls) && strcmp(cls, "#32770") == 0) {
        const char *name = ((const CBT_CREATEWNDA *)lp)->lpcs->lpszName;
        g_open.push_back(wnd);
        g_created.push_back(name && !IS_INTRESOURCE(name) ? name : "");
    } else if (code == HCBT_DESTROYWND) {
        g_open.erase(std::remove(g_open.begin(), g_open.end(), wnd), g_open.end());
    }
    return CallNextHookEx(g_cbtHook, code, wp, lp);
}

std::string Caption(HWND wnd)
{
    char text[64] = "";
    GetWindowTextA(wnd, text, sizeof text);
    return text;
}

void Click(HWND dlg, int id)
{
    PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
}

void Toggle(HWND dlg, int id)
{
    CheckDlgButton(dlg, id, IsDlgButtonChecked(dlg, id) == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED);
    SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
}

/* One tick: after the end was posted, close whatever is open; else the next step when its
 * dialog is on top. The real main window waiting for the user is no stall. */
static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD)
{
    if (g_open.empty() || g_open.back() == g_app.mainWnd)
        return;
    HWND top = g_open.back();
    if (g_ended) {
        Click(top, Caption(top) == "Select Cluster" ? IDC_CLUSTER1 : IDCANCEL);
        return;
    }
    if (g_next < g_steps.size() && Caption(top) == g_steps[g_next].caption) {
        g_idleTicks = 0;
        g_steps[g_next++].act(top);
        return;
    }
    if (++g_idleTicks > STALL_TICKS)
        g_stalled = g_ended = 1;
}

static LRESULT CALLBACK OwnerProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg != WM_COMMAND)
        return DefWindowProcA(wnd, msg, wp, lp);
    g_ownerCmds.push_back(LOWORD(wp));
    if (LOWORD(wp) == IDM_EXIT) {
        if (g_onEnd)
            g_onEnd(g_open.empty() ? nullptr : g_open.back());
        g_ended = 1;
    }
    return 0;
}

HWND MakeOwner()
{
    static ATOM atom;
    if (!atom) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = OwnerProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "TSelectOwner";
        atom = RegisterClassA(&wc);
    }
    return CreateWindowA("TSelectOwner", "owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

int Drive(int (*fn)(HWND), HWND owner, std::vector<Step> steps)
{
    g_steps = std::move(steps);
    g_next = 0;
    g_open.clear();
    g_created.clear();
    g_ended = g_stalled = g_idleTicks = 0;
    g_ownerCmds.clear();
    g_cbtHook = SetWindowsHookExA(WH_CBT, TrackDialogs, nullptr, GetCurrentThreadId());
    UINT_PTR timer = SetTimer(nullptr, 0, TICK_MS, Tick);
    int result = fn(owner);
    KillTimer(nullptr, timer);
    UnhookWindowsHookEx(g_cbtHook);
    /* Take the posted end (if any) off the queue, so that it is seen here and nowhere else. */
    MSG msg;
    while (owner && PeekMessageA(&msg, owner, WM_COMMAND, WM_COMMAND, PM_REMOVE))
        DispatchMessageA(&msg);
    return result;
}

static const char *g_cmdLine;
static void (*g_programIdle)(HWND, int);

void RunProgramScripted(const char *cmdLine, void (*onIdle)(HWND, int), std::vector<Step> steps)
{
    g_cmdLine = cmdLine;
    g_programIdle = onIdle;
    Drive([](HWND) { RunProgramRecorded(g_cmdLine, g_programIdle); return 0; }, nullptr, std::move(steps));
}
