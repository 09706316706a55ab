/* Gallery: every window of the program, each saved as OUTDIR\NAME.bmp for docs/windows.md.
 *
 * Runs the real program (RunProgram) in this process, against the simulators and the subsystem
 * description that scripts/gallery.sh provides, and plays the engineer: a thread timer looks at
 * the topmost window of the thread; when it is the one the script expects next and has been up
 * for a moment, it saves a picture of it and presses a button by a posted message.
 * Usage: gallery.exe OUTDIR hv|lt   (hv: the HV windows and the runs; lt: the LT variants) */
#include "shell/shell.h"
#include "res/resource.h"
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <string>
#include <vector>

enum : UINT { TICK_MS = 50, SETTLE_MS = 400, READY_MS = 100, STALL_MS = 120000 };

struct Step {
    const char *name;               /* picture to save, or null */
    bool (*is)(HWND top);           /* the window the step waits for */
    void (*act)(HWND top, int arg); /* what the engineer does then */
    int arg;
};

static std::string g_outDir;
static const Step *g_steps;
static size_t g_stepCount, g_next;
static std::vector<HWND> g_open;    /* dialogs and message boxes, in creation order */
static HWND g_lastTop;
static DWORD g_topSince, g_stepSince;
static bool g_mainIdle;             /* the main window waits for the engineer */
static HHOOK g_cbtHook, g_msgHook;

/* ---- pictures ---- */

/* The screen over the window, into OUTDIR\name.bmp: the window as the engineer sees it.
 * Returns 1 when the file was written. */
static int SavePicture(const char *name, HWND win)
{
    RECT r;
    GetWindowRect(win, &r);
    int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;          /* bottom-up, as a BMP file stores it */
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bmp);
    BitBlt(dc, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();

    int ok = 0;
    DWORD stride = (DWORD(w) * 3 + 3) & ~3u, size = stride * DWORD(h);
    BITMAPFILEHEADER fh = {};
    fh.bfType = 0x4D42;                 /* "BM" */
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = fh.bfOffBits + size;
    bi.bmiHeader.biSizeImage = size;
    std::string path = g_outDir + "\\" + name + ".bmp";
    FILE *f = fopen(path.c_str(), "wb");
    if (f) {
        ok = fwrite(&fh, sizeof fh, 1, f) == 1 && fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f) == 1 &&
             fwrite(bits, size, 1, f) == 1;
        ok = fclose(f) == 0 && ok;
    }
    if (!ok)
        fprintf(stderr, "gallery: %s not written\n", path.c_str());

    SelectObject(dc, old);
    DeleteObject(bmp);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return ok;
}

/* ---- what the engineer sees ---- */

static std::string Text(HWND w, int id = 0)
{
    char text[256] = "";
    if (id)
        GetDlgItemTextA(w, id, text, sizeof text);
    else
        GetWindowTextA(w, text, sizeof text);
    return text;
}

static bool Has(HWND w, int id) { return GetDlgItem(w, id) != nullptr; }
static bool StatusStarts(HWND w, const char *head)
{
    return Has(w, IDC_COM_STATUS) && Text(w, IDC_COM_STATUS).rfind(head, 0) == 0;
}

static bool Main(HWND w) { return w == g_app.mainWnd && g_mainIdle; }
static bool MainOnTop(HWND w) { return w == g_app.mainWnd; }
static bool MainDebug(HWND w) { return Main(w) && g_app.debugMode == 1; }
static bool SelectUnit(HWND w) { return Has(w, IDC_ALL_HDD); }
static bool Dku(HWND w) { return Has(w, IDC_HDU_FIRST) && !Has(w, IDC_ALL_HDD); }
static bool Hdu(HWND w) { return Has(w, IDC_HDD_LABEL); }
static bool HddList(HWND w) { return Has(w, IDC_LIST_RIGHT); }
static bool Routine(HWND w) { return Has(w, IDC_ROUTINE_COMBO); }
static bool Cluster(HWND w) { return Has(w, IDC_CLUSTER1); }
static bool Password(HWND w) { return Has(w, IDC_PASSWORD); }
static bool CommTest(HWND w) { return Has(w, IDC_TEST_OK); }
static bool ErrorList(HWND w) { return Has(w, IDC_ERROR_LIST); }
static bool Waiting(HWND w) { return StatusStarts(w, "Communicating"); }
static bool Delaying(HWND w) { return StatusStarts(w, "Delay"); }
static bool Reporting(HWND w) { return StatusStarts(w, "Making"); }

/* ---- what the engineer does ---- */

/* A click on a button (its id). */
static void Press(HWND w, int id)
{
    PostMessageA(w, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(w, id));
}

static void Start(HWND w, int) { g_mainIdle = false; Press(w, IDC_START); }

/* Positions first..last of an HDU box, as the bits of the argument of TickHdds. */
static constexpr int Hdds(int first, int last) { return (2 << last) - (1 << first); }

/* Clicks on the HDU box's check boxes of the positions in the mask: each one toggles, then the
 * dialog hears of it. */
static void TickHdds(HWND w, int mask)
{
    for (int pos = 0; pos < 31; pos++) {
        if (!(mask >> pos & 1))
            continue;
        int id = IDC_HDD_FIRST + pos;
        CheckDlgButton(w, id, BST_CHECKED);
        SendMessageA(w, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(w, id));
    }
}

/* Picks the routine (0xD1: the name starting "D1") and presses OK. */
static void RunRoutine(HWND w, int routine)
{
    char id[8];
    snprintf(id, sizeof id, "%02X", unsigned(routine));
    SendDlgItemMessageA(w, IDC_ROUTINE_COMBO, CB_SELECTSTRING, WPARAM(-1), (LPARAM)id);
    Press(w, IDOK);
}

/* The accelerator's command: the access-code prompt. */
static void OpenPassword(HWND w, int) { PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDM_ASK_PASSWORD, 1), 0); }
/* Six typed characters show as six stars. */
static void TypeStars(HWND w, int) { SetDlgItemTextA(w, IDC_PASSWORD, "......"); }
/* Cancel, then debug mode as an accepted access code gives it. */
static void CancelToDebug(HWND w, int)
{
    Press(w, IDCANCEL);
    PostMessageA(g_app.mainWnd, UM_DEBUG_MODE, 0, 0);
}
static void Nothing(HWND, int) {}

/* HV, normal mode: the selection dialogs, a CF run over three boxes with the demo's faulty
 * drives (HDU-01 position 03, HDU-02 position 07, DKU-L1's HDU-00 position 05) and its windows;
 * then debug mode: D1 on one drive of HDU-03, D8 on every drive. */
static const Step kHv[] = {
    { "main",              Main,       Start,         0 },
    { "select-unit",       SelectUnit, Press,         IDC_DKU_FIRST + 1 },
    { "dku",               Dku,        Press,         IDC_HDU_FIRST + 0 },
    { nullptr,             Hdu,        TickHdds,      Hdds(3, 6) },
    { nullptr,             Hdu,        Press,         IDOK },
    { nullptr,             Dku,        Press,         IDCANCEL },
    { nullptr,             SelectUnit, Press,         IDC_DKU_FIRST + 0 },
    { "dku-first",         Dku,        Press,         IDC_HDU_FIRST + 4 },
    { "hdu-upper",         Hdu,        Press,         IDCANCEL },
    { nullptr,             Dku,        Press,         IDC_HDU_FIRST + 1 },
    { nullptr,             Hdu,        TickHdds,      Hdds(0, 5) },
    { "hdu",               Hdu,        Press,         IDOK },
    { nullptr,             Dku,        Press,         IDC_HDU_FIRST + 2 },
    { nullptr,             Hdu,        TickHdds,      Hdds(6, 8) },
    { nullptr,             Hdu,        Press,         IDOK },
    { nullptr,             Dku,        Press,         IDCANCEL },
    { nullptr,             SelectUnit, Press,         IDOK },
    { "hdd-list",          HddList,    Press,         IDOK },
    { "delay",             Delaying,   Nothing,       0 },
    { "waiting",           Waiting,    Nothing,       0 },
    { "report",            Reporting,  Nothing,       0 },
    { "error-list",        ErrorList,  Press,         IDOK },
    { "main-after-run",    Main,       OpenPassword,  0 },
    { nullptr,             Password,   TypeStars,     0 },
    { "password",          Password,   CancelToDebug, 0 },
    { "main-debug",        MainDebug,  Start,         0 },
    { nullptr,             SelectUnit, Press,         IDC_DKU_FIRST + 0 },
    { nullptr,             Dku,        Press,         IDC_HDU_FIRST + 3 },
    { nullptr,             Hdu,        TickHdds,      Hdds(0, 0) },
    { nullptr,             Hdu,        Press,         IDOK },
    { nullptr,             Dku,        Press,         IDCANCEL },
    { nullptr,             SelectUnit, Press,         IDOK },
    { nullptr,             HddList,    Press,         IDOK },
    { "routine",           Routine,    RunRoutine,    0xD1 },
    { "comm-test",         CommTest,   Press,         IDC_TEST_CANCEL },
    { nullptr,             Main,       Start,         0 },
    { nullptr,             SelectUnit, Press,         IDC_ALL_HDD },
    { nullptr,             HddList,    Press,         IDOK },
    { nullptr,             Routine,    RunRoutine,    0xD8 },
    { "cluster",           Cluster,    Press,         IDC_CLUSTER1 },
    { nullptr,             Main,       Press,         IDC_EXIT },
};

/* LT: Select Unit, DKU, HDU and Select HDD List in their LT templates. */
static const Step kLt[] = {
    { nullptr,             Main,       Start,         0 },
    { "select-unit-lt",    SelectUnit, Press,         IDC_DKU_FIRST + 0 },
    { "dku-lt",            Dku,        Press,         IDC_HDU_FIRST + 1 },
    { nullptr,             Hdu,        TickHdds,      Hdds(2, 5) },
    { "hdu-lt",            Hdu,        Press,         IDOK },
    { nullptr,             Dku,        Press,         IDCANCEL },
    { nullptr,             SelectUnit, Press,         IDOK },
    { "hdd-list-lt",       HddList,    Press,         IDCANCEL },
    { nullptr,             SelectUnit, Press,         IDCANCEL },
    { nullptr,             MainOnTop,  Press,         IDC_EXIT },
};

/* ---- the player ---- */

static LRESULT CALLBACK TrackWindows(int code, WPARAM wp, LPARAM lp)
{
    HWND w = (HWND)wp;
    char cls[16] = "";
    if (code == HCBT_CREATEWND && GetClassNameA(w, cls, sizeof cls) && strcmp(cls, "#32770") == 0)
        g_open.push_back(w);
    else if (code == HCBT_DESTROYWND)
        g_open.erase(std::remove(g_open.begin(), g_open.end(), w), g_open.end());
    return CallNextHookEx(g_cbtHook, code, wp, lp);
}

/* The main window waits for the engineer once the start-up check or a run has ended. A timer
 * message comes only when no posted message waits, so by the next tick the step is done. */
static LRESULT CALLBACK WatchMain(int code, WPARAM wp, LPARAM lp)
{
    const MSG *m = (const MSG *)lp;
    if (code == HC_ACTION && wp == PM_REMOVE && m->hwnd && m->hwnd == g_app.mainWnd &&
        (m->message == UM_CHECK_LDEV || m->message == UM_RUN_ENDED || m->message == UM_DEBUG_MODE))
        g_mainIdle = true;
    return CallNextHookEx(g_msgHook, code, wp, lp);
}

/* A window is taken once it has been on top for SETTLE_MS and what the step waits for has
 * shown for READY_MS, so that the screen has caught up with it (a blinking status text included). */
static void CALLBACK OnTick(HWND, UINT, UINT_PTR, DWORD now)
{
    static bool busy;
    static DWORD readySince;
    if (busy || g_next >= g_stepCount || g_open.empty())
        return;
    busy = true;
    HWND top = g_open.back();
    if (top != g_lastTop) {
        g_lastTop = top;
        g_topSince = now;
    }
    const Step &s = g_steps[g_next];
    bool ready = IsWindowVisible(top) && now - g_topSince >= SETTLE_MS && s.is(top);
    if (!ready)
        readySince = 0;
    else if (!readySince)
        readySince = now;
    if (ready && now - readySince >= READY_MS) {
        if (s.name)
            SavePicture(s.name, top);
        s.act(top, s.arg);
        g_next++;
        g_stepSince = now;
        g_lastTop = nullptr;
        readySince = 0;
    } else if (now - g_stepSince > STALL_MS) {
        fprintf(stderr, "gallery: step %u (%s) never came\n", unsigned(g_next), s.name ? s.name : "-");
        ExitProcess(1);
    }
    busy = false;
}

int main(int argc, char **argv)
{
    if (argc != 3 || (strcmp(argv[2], "hv") != 0 && strcmp(argv[2], "lt") != 0)) {
        fprintf(stderr, "usage: gallery.exe OUTDIR hv|lt\n");
        return 2;
    }
    g_outDir = argv[1];
    g_steps = strcmp(argv[2], "hv") == 0 ? kHv : kLt;
    g_stepCount = strcmp(argv[2], "hv") == 0 ? std::size(kHv) : std::size(kLt);
    g_stepSince = GetTickCount();
    g_cbtHook = SetWindowsHookExA(WH_CBT, TrackWindows, nullptr, GetCurrentThreadId());
    g_msgHook = SetWindowsHookExA(WH_GETMESSAGE, WatchMain, nullptr, GetCurrentThreadId());
    SetTimer(nullptr, 0, TICK_MS, OnTick);
    RunProgram(GetModuleHandleA(nullptr), "");
    UnhookWindowsHookEx(g_msgHook);
    UnhookWindowsHookEx(g_cbtHook);
    if (g_next < g_stepCount) {
        fprintf(stderr, "gallery: the program ended at step %u\n", unsigned(g_next));
        return 1;
    }
    return 0;
}
