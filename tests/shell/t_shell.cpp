/* The shell in process against scripted lower layers and the service-library stand-in: launch
 * block, run sequence, configuration, debug mode, the dialogs driven as a user would, and in
 * child processes the whole program ended by failing queries. Vestra.exe with its real layers:
 * t_routines. */
#include "shell/shell.h"
#include "base/launch.h"
#include "res/resource.h"
#include "svclib/mtpsvc.h"
#include "tests/support/support.h"
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <algorithm>

/* DKU 1 and 3 are QX5, DKU 3's box has no drives, box 4 of DKU0 (relabelled HDU template) three
 * and box 4 of DKU1 (plain one) one; two queries fail; the devices of groups 0 to 254 are blocked. */
static const char kDescription[] =
    "[Subsystem]\r\nDkcModel=4\r\nMtpMode=7\r\nTraceCalls=1\r\nMessageBox=trace\r\n"
    "[DKU.1]\r\nModel=5\r\n[DKU.3]\r\nEquip=1\r\nModel=5\r\nLocation=DKU-L2\r\n[Box.3.0]\r\nEquip=1\r\nDrives=\r\n"
    "[Box.0.4]\r\nEquip=1\r\nDrives=0-2\r\n[Box.1.4]\r\nEquip=1\r\nDrives=0\r\n"
    "[Fail]\r\nGetDkaEquipStatus.0002=0x3333\r\nmtp_GetPdevLocation.0003=0x4444\r\n"
    "[LDEV]\r\nEquip=0:0-4,1:0,255:0\r\nStatus=0x2002\r\nStatus.00.01=0x2004\r\nStatus.00.02=0x2008\r\n"
    "Status.00.03=0x2010\r\nStatus.01.00=0x2020\r\nStatus.FF.00=0x2003\r\n";
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new TestEnv(kDescription, 25));

/* The records of the layers below, stood in for here. */
RunState g_run;
ErrorState g_err;
DcState g_dc;
static auto &table = g_run.driveTable;

/* ---- the layers below, scripted; on the tests' paths they act as the real ones: the diagnosis
 * neither opens nor closes without a row under test, a recorded drive leaves the test ---- */

static struct Script {
    std::vector<uint16_t> outcomes;        /* RunRoutine outcomes in call order; then CONTINUE */
    int startFailAt = -1, endFailAt = -1;  /* StartDiag / EndDiag call (0-based) that fails */
    uint16_t startFailKind = FAIL_CHECKS, endFailKind = FAIL_CHECKS;
    int openOk = 1, recordAt = -1, stopAt = -1;   /* RunRoutine call that records C102 / stops */
    int runs = 0, starts = 0, ends = 0;
} g_script;
static std::vector<std::string> g_calls;   /* "StartDiag 2", "RunRoutine 2", ... */

static void ResetDoubles() { g_script = Script(), g_calls.clear(); }

static int Log(const char *what, uint32_t value, int result = 1)
{
    char line[64];
    snprintf(line, sizeof line, "%s %X", what, (unsigned)value);
    return g_calls.push_back(line), result;
}

static uint32_t Unit() { return g_run.unitList[g_run.unitCursor]; }
static uint32_t FirstRow()
{
    return uint32_t(std::find(g_run.rowSelected, g_run.rowSelected + ROW_COUNT, 1) - g_run.rowSelected);
}
uint8_t UnitUnderTest() { return uint8_t(Unit()); }
uint8_t FirstRowUnderTest() { return uint8_t(FirstRow() % ROW_COUNT); }
void ConfigureRoutines(const RunConfig &cfg) { g_run.cfg = cfg; }
void ClearStopRequest() { g_dc.stopRequested = 0; }

int RunRoutine(HWND, uint16_t *outcome)
{
    int call = g_script.runs++;
    if (call == g_script.recordAt && FirstRow() < ROW_COUNT) {
        table[Unit()][FirstRow()].errorCode = 0xC102;
        g_run.rowSelected[FirstRow()] = 0;
    }
    if (call == g_script.stopAt)
        g_dc.stopRequested = 1;
    *outcome = size_t(call) < g_script.outcomes.size() ? g_script.outcomes[call] : uint16_t(OUTCOME_CONTINUE);
    return Log("RunRoutine", Unit());
}

static int Diag(const char *what, int &calls, int failAt, uint16_t kind, uint16_t *failKind)
{
    if (calls++ == failAt)
        *failKind = kind;
    else if (FirstRow() == ROW_COUNT)
        *failKind = FAIL_CHECKS;
    return Log(what, Unit(), calls - 1 != failAt && FirstRow() < ROW_COUNT);
}
int StartDiag(HWND, uint16_t *k)
{
    return Diag("StartDiag", g_script.starts, g_script.startFailAt, g_script.startFailKind, k);
}
int EndDiag(HWND, uint16_t *k) { return Diag("EndDiag", g_script.ends, g_script.endFailAt, g_script.endFailKind, k); }
/* A text that names its code, so that a test sees which code a line was loaded for. */
void LoadErrorText(uint16_t code) { snprintf(g_err.errorContents, sizeof g_err.errorContents, "text %04X", code); }
void SetErrorInfo(uint16_t count) { Log("SetErrorInfo", uint32_t(g_err.errorStep) << 16 | count); }
int ShowErrorReport(HINSTANCE, HWND owner, uint16_t mainMp, uint16_t, uint8_t unit, uint8_t, const uint8_t *, uint16_t,
                    uint16_t)
{
    return Log("ShowErrorReport", uint32_t(owner != nullptr) << 24 | uint32_t(mainMp) << 8 | unit, 0);
}
int OpenCommunication() { return Log("OpenCommunication", 0, g_script.openOk); }
int CloseCommunication() { return Log("CloseCommunication", 0); }

/* ---- helpers ---- */

/* Index of the first text equal to want at or after from, or -1. */
static int FindText(const std::vector<std::string> &texts, const std::string &want, size_t from = 0)
{
    auto at = std::find(texts.begin() + std::min(from, texts.size()), texts.end(), want);
    return at == texts.end() ? -1 : int(at - texts.begin());
}

/* The main window made from the program's resources, hidden, its start-up timer stopped. */
static HWND MakeMainWindow()
{
    g_app.instance = GetModuleHandleA(nullptr);
    HWND wnd = CreateDialogParamA(g_app.instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDlgProc, 0);
    KillTimer(wnd, TIMER_INIT);
    return wnd;
}

/* Texts of controls, each followed by '|', then their states: '_' none, 'h' hidden, '0'
 * disabled, '1' enabled, 'x' enabled and checked. */
static std::string Controls(HWND dlg, int first, int last, bool texts = true)
{
    std::string s, states;
    for (int id = first; id <= last; id++) {
        HWND c = GetDlgItem(dlg, id);
        s += texts ? (c ? ItemText(dlg, id) : "_") + "|" : "";
        states += !c ? '_' : !(GetWindowLongA(c, GWL_STYLE) & WS_VISIBLE) ? 'h' : !IsWindowEnabled(c) ? '0'
                : IsDlgButtonChecked(dlg, id) == BST_CHECKED ? 'x' : '1';
    }
    return s + states;
}

/* A list's count, first and last item (a combo's count). */
static std::string Items(HWND dlg, int id, bool combo = false)
{
    int n = int(SendDlgItemMessageA(dlg, id, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0));
    char first[64] = "", last[64] = "";
    SendDlgItemMessageA(dlg, id, LB_GETTEXT, 0, (LPARAM)first);
    SendDlgItemMessageA(dlg, id, LB_GETTEXT, n - 1, (LPARAM)last);
    return !GetDlgItem(dlg, id) ? " _"
                                : " " + std::to_string(n) + (n && !combo ? std::string(":") + first + ".." + last : "");
}

/* What a dialog shows, by its caption: Select Unit, DKU: the buttons; HDU: label, the first
 * box's text, the boxes and OK; Select HDD List: OK and both lists; ROUTINE: the combos; else a
 * message box's text. */
static std::string Look(HWND dlg)
{
    std::string c = Caption(dlg);
    if (c == "Select Unit")
        return Controls(dlg, IDC_DKU_FIRST, IDC_DKU_FIRST + 4);
    if (c == "DKU")
        return Controls(dlg, IDC_HDU_FIRST, IDC_HDU_FIRST + 7);
    if (c.compare(0, 4, "HDU-") == 0)
        return ItemText(dlg, IDC_HDD_LABEL) + " " + ItemText(dlg, IDC_HDD_FIRST) + " " +
               Controls(dlg, IDC_HDD_FIRST, IDC_HDD_FIRST + 31, false) + " " + Controls(dlg, IDOK, IDOK, false);
    if (c == "Select HDD List")
        return Controls(dlg, IDOK, IDOK, false) + Items(dlg, IDC_LIST_RIGHT) + Items(dlg, IDC_LIST_LEFT);
    if (c == "ROUTINE")
        return ItemText(dlg, IDC_ROUTINE_COMBO) + Items(dlg, IDC_ROUTINE_COMBO, true) + "|" +
               ItemText(dlg, IDC_RUN_OPTION_COMBO) + Items(dlg, IDC_RUN_OPTION_COMBO, true);
    return ItemText(dlg, 0xFFFF);
}

/* ---- dialog scripts ---- */

/* A step waits until the topmost dialog has its caption, compares the dialog's Look (unless
 * null), does act: words "ok", "cancel", "c<id>" click, "t<id>" toggle as a user's click, "ok?"
 * (OK must be enabled), "close", "start" and "exit" (the main window's), "r<text>", "o<text>",
 * "p<text>" (routine, run option and password fields); then check (unless null). A script that
 * waits too long is given up, and the main window told to exit. */
struct Step { const char *caption, *look, *act; void (*check)(HWND) = nullptr; };
enum : UINT { TICK_MS = 10, STALL_TICKS = 400 };

static std::vector<Step> g_steps;
static size_t g_next;
static int g_stalled, g_idle;
static UINT g_idleTicks;
static std::vector<HWND> g_open;            /* dialogs created and not yet destroyed */
static std::vector<std::string> g_created;  /* dialog captions in creation order */
/* The main window's private messages and commands as letters: I initialize, L check ldev,
 * U start unit, Y routine ready, R routine run, N next unit, E normal end, A abnormal end,
 * S user stop, P invalid parameter, D run ended, X IDM_EXIT, s Start, x Exit. */
static std::string g_mainMsgs;
static void (*g_onIdle)(HWND wnd, int idle);   /* the window waits for the user (after L and D) */
static void (*g_onEnd)(HWND top);              /* IDM_EXIT arrives; top is the topmost dialog */
static HHOOK g_cbtHook, g_msgHook;

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

static LRESULT CALLBACK RecordMsg(int code, WPARAM wp, LPARAM lp)
{
    static const std::pair<UINT, char> kLetters[] = {
        { UM_INITIALIZE, 'I' }, { UM_CHECK_LDEV, 'L' }, { UM_START_UNIT, 'U' }, { UM_ROUTINE_READY, 'Y' },
        { UM_ROUTINE_RUN, 'R' }, { UM_NEXT_UNIT, 'N' }, { UM_NORMAL_END, 'E' }, { UM_ABNORMAL_END, 'A' },
        { UM_USER_STOP, 'S' }, { UM_INVALID_PARAMETER, 'P' }, { UM_RUN_ENDED, 'D' },
        { WM_COMMAND + IDM_EXIT, 'X' }, { WM_COMMAND + IDC_START, 's' }, { WM_COMMAND + IDC_EXIT, 'x' } };
    const MSG *m = (const MSG *)lp;
    if (code == HC_ACTION && wp == PM_REMOVE && m->hwnd && m->hwnd == g_app.mainWnd) {
        UINT key = m->message == WM_COMMAND ? WM_COMMAND + LOWORD(m->wParam) : m->message;
        for (auto &l : kLetters)
            g_mainMsgs.append(key == l.first, l.second);
        if (g_onEnd && key == WM_COMMAND + IDM_EXIT)
            g_onEnd(g_open.empty() ? nullptr : g_open.back());
        /* Let the test act once the step the window waits after is handled. */
        if (g_onIdle && (m->message == UM_CHECK_LDEV || m->message == UM_RUN_ENDED))
            PostMessageA(m->hwnd, WM_APP + 1, 0, 0);
        if (g_onIdle && m->message == WM_APP + 1)
            g_onIdle(m->hwnd, g_idle++);
    }
    return CallNextHookEx(g_msgHook, code, wp, lp);
}

static void RunStep(HWND dlg, const Step &s)
{
    if (s.look) {
        EXPECT_EQ(s.look, Look(dlg)) << s.caption << " (step " << g_next << ")";
    }
    std::string act = s.act;
    for (size_t at = 0, end; at < act.size(); at = end + 1) {
        end = std::min(act.find(' ', at), act.size());
        std::string w = act.substr(at, end - at);
        int id = atoi(w.c_str() + 1);
        if (w == "ok" || w == "cancel")
            Click(dlg, w == "ok" ? IDOK : IDCANCEL);
        else if (w == "ok?")
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg, IDOK))) << s.caption;
        else if (w == "close")
            PostMessageA(dlg, WM_CLOSE, 0, 0);
        else if (w == "start" || w == "exit")
            PostMessageA(g_app.mainWnd, WM_COMMAND, w == "start" ? IDC_START : IDC_EXIT, 0);
        else if (w[0] == 'c')
            Click(dlg, id);
        else if (w[0] == 't') {
            CheckDlgButton(dlg, id, IsDlgButtonChecked(dlg, id) == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED);
            SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
        } else
            SetDlgItemTextA(dlg, w[0] == 'r' ? IDC_ROUTINE_COMBO : w[0] == 'o' ? IDC_RUN_OPTION_COMBO : IDC_PASSWORD,
                            w.c_str() + 1);
    }
    if (s.check)
        s.check(dlg);
}

/* The next step when its dialog is on top; the main window waiting stalls only while steps remain. */
static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD)
{
    HWND top = g_open.empty() ? nullptr : g_open.back();
    if (top && g_next < g_steps.size() && Caption(top) == g_steps[g_next].caption) {
        g_idleTicks = 0;
        RunStep(top, g_steps[g_next++]);
    } else if (top && (top != g_app.mainWnd || g_next < g_steps.size()) && !g_stalled && ++g_idleTicks > STALL_TICKS) {
        g_stalled = 1;
        PostMessageA(g_app.mainWnd, WM_COMMAND, IDC_EXIT, 0);
    }
}

/* Runs fn (which opens the dialogs) under the script, which must end; returns fn's result. */
static int Drive(int (*fn)(HWND), HWND owner, std::vector<Step> steps)
{
    g_steps = std::move(steps);
    g_next = g_stalled = g_idleTicks = g_idle = 0;
    g_open.clear(), g_created.clear(), g_mainMsgs.clear();
    g_cbtHook = SetWindowsHookExA(WH_CBT, TrackDialogs, nullptr, GetCurrentThreadId());
    g_msgHook = SetWindowsHookExA(WH_GETMESSAGE, RecordMsg, nullptr, GetCurrentThreadId());
    UINT_PTR timer = SetTimer(nullptr, 0, TICK_MS, Tick);
    int result = fn(owner);
    KillTimer(nullptr, timer);
    UnhookWindowsHookEx(g_msgHook), UnhookWindowsHookEx(g_cbtHook);
    g_onIdle = nullptr, g_onEnd = nullptr;
    EXPECT_FALSE(g_stalled);
    EXPECT_EQ(g_steps.size(), g_next) << "steps done";
    return result;
}

/* The whole program in this thread under a script; onIdle may be null. */
static const char *g_cmdLine;
static void RunProgramScripted(const char *cmdLine, void (*onIdle)(HWND, int), std::vector<Step> steps)
{
    g_cmdLine = cmdLine, g_onIdle = onIdle;
    Drive([](HWND) { return RunProgram(GetModuleHandleA(nullptr), g_cmdLine); }, nullptr, std::move(steps));
}

TEST(Launch, RefusedCommandLinesEndAtOnce)
{
    /* 16 characters, beyond 32 bits, a sign, a block nobody made */
    for (const char *line : { "xyz1", "000000000000beef", "100000000", "-1", "beef" }) {
        SCOPED_TRACE(line);
        size_t mark = TraceMark();
        EXPECT_EQ(0, RunProgram(GetModuleHandleA(nullptr), line));
        std::string why = strcmp(line, "beef") ? std::string("Invalid Command Line : ") + line
                        : "OpenFileMapping was failed.\\nEC : 00000002 MAPFILE NAME : DIAGAPI0000beef";
        EXPECT_EQ((std::vector<std::string>{ why, "Close MapFile Handle = 00000000" }), TraceTexts(mark));
        EXPECT_TRUE(!g_app.launchBlock && !g_app.launchMapping);
    }
}

/* The first trace line of a bitmap: "00HB->00:%08lx 01:..." for words 0 to 7. */
static std::string HexLine(const char *tag, const uint32_t *w)
{
    char line[128];
    snprintf(line, sizeof line, "%s->00:%08x 01:%08x 02:%08x 03:%08x 04:%08x 05:%08x 06:%08x 07:%08x",
             tag, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
    return line;
}

/* "S1 R1 E1" → the calls StartDiag 1, RunRoutine 1, EndDiag 1 between opening and closing
 * communication. */
static std::vector<std::string> Calls(const char *list)
{
    std::vector<std::string> out = { "OpenCommunication 0" };
    char kind[2], unit[8];
    for (int n = 0; sscanf(list, " %1[SRE]%7[0-9A-F]%n", kind, unit, &n) == 2; list += n)
        out.push_back(std::string(*kind == 'S' ? "StartDiag " : *kind == 'R' ? "RunRoutine " : "EndDiag ") + unit);
    out.push_back("CloseCommunication 0");
    return out;
}

TEST(RunSequence, AutomaticRunsFollowTheOutcomes)
{
    static const struct { const char *name; uint8_t mode, routine; std::vector<uint32_t> units; uint32_t rows;
                          void (*script)(); const char *calls, *msgs; } kCases[] = {
        { "three units pass", 0xFF, 0xCF, { 1, 2, 8 }, 0x3, [] {}, "S1 R1 E1 S2 R2 E2 S8 R8 E8", "IUYRNUYRNUYRNEDX" },
        { "0x10 with routine C3 runs C0", 0x10, 0xC3, { 0 }, 0x3, [] {}, "S0 R0 E0", "IUYRNEDX" },
        { "the first of two units fails", 0xFF, 0xC0, { 2, 9 }, 1u << 5, [] { g_script.outcomes = { OUTCOME_FAILED }; },
          "S2 R2 E2", "IUYRADX" },
        { "every unit continues, one drive recorded an error", 0xFF, 0xCF, { 3, 4, 5 }, 0x6,
          [] { g_script.recordAt = 1; }, "S3 R3 E3 S4 R4 E4 S5 R5 E5", "IUYRNUYRNUYRNADX" },
        { "stop during the first of three units", 0xFF, 0xCF, { 0, 1, 2 }, 0x3, [] { g_script.stopAt = 0; },
          "S0 R0 E0", "IUYRNEDX" },
        { "repeat keeps the diagnosis open", 0xFF, 0xCF, { 7 }, 0x3,
          [] { g_script.outcomes = { OUTCOME_REPEAT, OUTCOME_REPEAT_OLD, OUTCOME_CONTINUE }; },
          "S7 R7 R7 R7 E7", "IUYRYRYRNEDX" },
        { "stopped routine", 0xFF, 0xCF, { 0, 1 }, 0x3, [] { g_script.outcomes = { OUTCOME_STOPPED }; },
          "S0 R0 E0", "IUYRSDX" },
        { "a stop while closing after a pass", 0xFF, 0xCF, { 0, 1 }, 0x3,
          [] { g_script.endFailAt = 0; g_script.endFailKind = FAIL_STOPPED; }, "S0 R0 E0", "IUYRSDX" },
        { "a closing failure that is no stop goes on", 0xFF, 0xCF, { 0, 1 }, 0x3, [] { g_script.endFailAt = 0; },
          "S0 R0 E0 S1 R1 E1", "IUYRNUYRNEDX" },
        { "a stop while opening the second unit", 0xFF, 0xCF, { 0, 1, 2 }, 0x3,
          [] { g_script.startFailAt = 1; g_script.startFailKind = FAIL_STOPPED; }, "S0 R0 E0 S1", "IUYRNUSDX" },
        { "diagnosis cannot be opened", 0xFF, 0xCF, { 0, 1, 2 }, 0x3, [] { g_script.startFailAt = 0; }, "S0", "IUADX" },
        { "unknown routine (42): diagnosis closed, invalid parameter", 0xFF, 0xCF, { 0, 1 }, 0x3,
          [] { g_script.outcomes = { OUTCOME_UNKNOWN_ROUTINE }; }, "S0 R0 E0", "IUYRPDX" },
        /* Nothing to open the diagnosis for: the run ends at once, no drive failed. */
        { "no drive requested", 0xFF, 0xCF, {}, 0x3, [] {}, "SFF", "IUADX" },
    };
    for (auto &c : kCases) {
        SCOPED_TRACE(c.name);
        ResetDoubles();
        c.script();
        bool error = g_script.recordAt >= 0;
        uint32_t select[ROW_COUNT] = {};
        for (uint32_t unit : c.units)
            for (uint32_t row = 0; row < 32; row++)
                select[row] |= c.rows & (1u << row) ? UnitBit(unit) : 0;
        LaunchBlock b(c.mode, c.routine, select);
        b.view[2] = 0x11; b.view[3] = 0x22; b.view[324] = 0x33; b.view[325] = 0x44; b.view[326] = 0x55;
        b.view[LB_ERROR_FLAG] = 0x5A;
        size_t mark = TraceMark();
        RunProgramScripted(b.arg.c_str(), nullptr, {});
        auto t = TraceTexts(mark);

        EXPECT_EQ(Calls(c.calls), g_calls);
        EXPECT_EQ(c.msgs, g_mainMsgs);
        /* Maintenance mode 7 does not hold in an automatic run; 0x10 runs C0 for every routine but CF. */
        EXPECT_EQ((std::vector<uint32_t>{ DISPLAY_AUTOMATIC, 0, c.routine == 0xCF ? 0xCFu : 0xC0u, 8 }),
                  (std::vector<uint32_t>{ g_app.displayMode, g_app.debugMode, g_run.routineId, g_run.runOption }));
        std::vector<uint8_t> units(c.units.begin(), c.units.end());
        units.push_back(UNIT_NONE);
        EXPECT_EQ(units, std::vector<uint8_t>(g_run.unitList, g_run.unitList + units.size()));
        EXPECT_EQ(0, b.view[LB_END_STATUS]);
        EXPECT_EQ(error ? 0xFF : 0x5A, b.view[LB_ERROR_FLAG]) << "kept as the launcher wrote it";
        std::vector<uint32_t> errors(ROW_COUNT);
        errors[1] = error ? UnitBit(4) : 0;   /* unit 4, its first row 1 */
        EXPECT_EQ(errors, b.Errors());

        EXPECT_EQ(0u, t[0].find("Open MapFile Handle = "));
        int start = FindText(t, "VESTRA START"), end = FindText(t, "VESTRA END");
        ASSERT_TRUE(start >= 0 && end >= 10) << start << " " << end;
        char text[64];
        snprintf(text, sizeof text, "%02X %02X 11 22 33 44 55 EE 5A 00 00 ", c.mode, c.routine);
        EXPECT_EQ(text, t[start + 1]);
        int hb = FindText(t, HexLine("00HB", select), size_t(start));
        ASSERT_GT(hb, start);
        EXPECT_EQ(0u, t[hb + 9].find("72HB->00:"));
        snprintf(text, sizeof text, "Routine ID = %08x", c.routine);
        EXPECT_EQ(hb + 10, FindText(t, text)) << "the id as requested";
        EXPECT_EQ(HexLine("00BM", errors.data()), t[end - 10]);
        /* 0x10 hands the temporary folder to the configuration queries, 0xFF none. */
        bool tmp = c.mode == 0x10;
        EXPECT_GE(FindText(t, tmp ? "TmpDirFlag : 00000001" : "TmpDirFlag : 00000000"), 0);
        auto dka = GrepLines(t, "GetDkaEquipStatus(");
        EXPECT_EQ(2u, dka.size());
        for (auto &l : dka)
            EXPECT_EQ(tmp, l.find("c:\\trn600\\tmp\\config\\") != std::string::npos) << l;
    }
}

TEST(RunSequence, StartFailures)
{
    ResetDoubles();
    g_script.openOk = 0;
    LaunchBlock b(0xFF, 0xCF, nullptr);
    size_t mark = TraceMark();
    RunProgramScripted(b.arg.c_str(), nullptr, {});
    EXPECT_EQ((std::vector<std::string>{ "OpenCommunication 0", "SetErrorInfo EC0010", "CloseCommunication 0" }),
              g_calls) << "no report window without a window";
    auto t = TraceTexts(mark);
    int box = FindText(t, "mtp_MessageBox [DC3-01]");
    ASSERT_GE(box, 0);
    EXPECT_EQ(box + 1, FindText(t, "Communication Initialized Failed. EC = 0000"));
    EXPECT_EQ("IX", g_mainMsgs);
    EXPECT_EQ(0, b.view[LB_END_STATUS]);

    /* A module without dialog 138: the window cannot be created. */
    LaunchBlock b2(0xFF, 0xCF, nullptr);
    EXPECT_EQ(0, RunProgram(GetModuleHandleA("MTPCMN32.dll"), b2.arg.c_str()));
    EXPECT_EQ(std::vector<uint8_t>({ 0, 0xFF, 0, 0xEC }), std::vector<uint8_t>(&b2.view[335], &b2.view[339]));
    EXPECT_EQ(nullptr, g_app.launchBlock);
}

static std::string g_statusAtIdle[2];

/* At the first wait the user presses Enter on the focused control (Start is the default button),
 * at the next Exit (the system Close when there is a launch block); the status shown at each is
 * noted. */
static void EnterThenExit(HWND wnd, int idle)
{
    g_statusAtIdle[std::min(idle, 1)] = ItemText(wnd, IDC_STATUS);
    HWND focus = GetFocus();
    if (idle > 0)
        return (void)PostMessageA(wnd, g_app.launchBlock ? WM_SYSCOMMAND : WM_COMMAND,
                                  g_app.launchBlock ? SC_CLOSE : IDC_EXIT, 0);
    EXPECT_TRUE(IsChild(wnd, focus));
    PostMessageA(focus, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageA(focus, WM_KEYUP, VK_RETURN, 0xC01C0001);
}

TEST(RunSequence, InteractiveWindowRunsOnEnter)
{
    ResetDoubles();
    size_t mark = TraceMark();
    RunProgramScripted("", [](HWND wnd, int idle) {
        if (idle == 0) {
            RECT rc;
            GetWindowRect(wnd, &rc);
            EXPECT_EQ((std::vector<LONG>{ 0, 20, 1 }), (std::vector<LONG>{ rc.left, rc.top, IsWindowVisible(wnd) }));
            for (HMENU menu : { GetMenu(wnd), GetSystemMenu(wnd, FALSE) })   /* items the other lacks count too */
                for (UINT id : { UINT(IDM_START), UINT(IDM_EXIT), UINT(SC_CLOSE) })
                    EXPECT_TRUE(GetMenuState(menu, id, MF_BYCOMMAND) & MF_GRAYED) << id;
            EXPECT_EQ(" ", ItemText(wnd, IDC_ROUTINE_ID));
            /* Position 3's location query fails; position 12 holds no drive. */
            EXPECT_EQ("HDD00-01|------|", std::string(table[0][1].name) + "|" + table[0][3].name + "|" +
                                          table[0][12].name);
        }
        EnterThenExit(wnd, idle);
    }, { { "Select Unit", nullptr, "cancel start" },   /* Cancel starts nothing; Start again */
         { "Select Unit", nullptr, "c1000" },
         { "Select HDD List", nullptr, "ok" } });
    EXPECT_EQ(0, std::count(g_created.begin(), g_created.end(), "Error HDD List"));
    EXPECT_EQ("ILsUYRNUYRNUYRNUYRNUYRNUYRNUYRNUYRNUYRNEDx", g_mainMsgs);
    EXPECT_EQ(" ", g_statusAtIdle[0]) << "all logical devices blocked";
    EXPECT_EQ("Vestra Normal END", g_statusAtIdle[1]);
    EXPECT_EQ(Calls("S0 R0 E0 S1 R1 E1 S2 R2 E2 S3 R3 E3 S4 R4 E4 S8 R8 E8 S9 R9 E9 SC RC EC S10 R10 E10"), g_calls);
    /* The configuration: model 4 is HV, maintenance mode 7 the second one, DKA 3 equipped makes two
     * pairs; DKUs 4 to 7 are never asked. */
    std::vector<uint16_t> config = { g_app.dkcModel, g_app.debugMode, g_app.conKind };
    config.insert(config.end(), g_app.dkuModel, g_app.dkuModel + 8);
    EXPECT_EQ((std::vector<uint16_t>{ 0, 2, 1, 0, 1, 0, 1, 0, 0, 0, 0 }), config);
    std::vector<std::string> want = { "TmpDirFlag : 00000000", "DKC Model(0:HV ; 1:LT) = 0" };
    for (int dku = 0; dku < 8; dku++)
        want.push_back("No." + std::to_string(dku) + " DKU Model(0:QX7 ; 1:QX5) = " + "01"[dku == 1 || dku == 3]);
    want.insert(want.end(), { "DkaPareConf -> GetDkaEquipStatus Failed. EC=3333 DKA#:2", "2DKA Pair Configuration!",
                              "2Pare DKF? (0:1Pare ; 1:2Pare) = 1", "VESTRA START" });
    auto t = TraceTexts(mark, 0, TRACE_KIND_APP);
    EXPECT_EQ(want, std::vector<std::string>(t.begin(), t.begin() + std::min(t.size(), want.size())));
    EXPECT_EQ(4u, GrepLines(TraceTexts(mark), "svc GetDkuModel(").size());
    int end = FindText(t, "Drive Table Nothing", size_t(FindText(t, "After Com Ini")));
    ASSERT_GE(end, 0);
    EXPECT_EQ((std::vector<std::string>{ "Drive Table Nothing", "VESTRA END", "Drive Table Nothing",
                                         "Close MapFile Handle = 00000000" }),
              std::vector<std::string>(t.begin() + end, t.end()));
}

TEST(RunSequence, InteractiveWithBlockWritesTheOutcome)
{
    ResetDoubles();
    g_script.recordAt = 0;
    LaunchBlock b(0x05, 0xCF, nullptr);
    b.view[LB_ERROR_FLAG] = 0x33;
    size_t mark = TraceMark();
    /* Positions 1 and 3 of DKU1 box 0: unit 8, rows 1 and 3. After the run with an error the
     * Error HDD List opens (the Close that follows closes it). */
    RunProgramScripted(b.arg.c_str(), EnterThenExit, {
        { "Select Unit", nullptr, "c1002" }, { "DKU", nullptr, "c1005" }, { "HDU-10", nullptr, "t1014 t1016 ok" },
        { "DKU", nullptr, "cancel" }, { "Select Unit", nullptr, "ok" }, { "Select HDD List", nullptr, "ok" } });
    EXPECT_EQ(1, std::count(g_created.begin(), g_created.end(), "Error HDD List"));
    EXPECT_EQ(Calls("S8 R8 E8"), g_calls);
    EXPECT_EQ("Vestra Abnormal END", g_statusAtIdle[1]);
    EXPECT_EQ(0, g_app.displayMode);
    EXPECT_EQ((std::vector<uint8_t>{ 8, UNIT_NONE }), std::vector<uint8_t>(g_run.unitList, g_run.unitList + 2));
    EXPECT_EQ(std::vector<uint8_t>({ 0, 0xFF }), std::vector<uint8_t>(&b.view[335], &b.view[337])) << "end, error flag";
    std::vector<uint32_t> first(ROW_COUNT), both(ROW_COUNT);
    first[1] = both[1] = both[3] = UnitBit(8);
    EXPECT_EQ(both, std::vector<uint32_t>(g_run.driveBitmap, g_run.driveBitmap + ROW_COUNT));
    EXPECT_EQ(first, b.Errors()) << "the first row failed";
    /* After the banner the block's bytes with the outcome, then the view it closes. */
    auto t = TraceTexts(mark, 0, TRACE_KIND_APP);
    int end = FindText(t, "VESTRA END");
    ASSERT_GE(end, 0);
    ASSERT_LT(size_t(end + 2), t.size());
    EXPECT_EQ("05 CF 00 00 00 00 00 00 FF 00 00 ", t[end + 1]);
    EXPECT_EQ(0u, t[end + 2].find("Close MapFile Handle = "));
    EXPECT_NE("Close MapFile Handle = 00000000", t[end + 2]) << "the view's address";
}

TEST(Config, DrivesBoxesLocationsAndPaths)
{
    static const struct { bool box; uint16_t a, b, state; bool query; } kStates[] = {
        { false, 0x2000, 0, SVC_NOT_EQUIPPED, false },   /* unit outside the table */
        { false, 0x0050, 0, SVC_NOT_EQUIPPED, false },   /* row outside the table */
        { false, 0x0105, 0, SVC_EQUIPPED, true },
        { true, 0, 2, SVC_EQUIPPED, true },
        { true, 3, 0, SVC_NOT_EQUIPPED, true },          /* a box without drives */
        { true, 0, 7, 0x1100, true },                    /* a box without valid positions */
    };
    for (auto &c : kStates) {
        SCOPED_TRACE(testing::Message() << c.box << " " << c.a << " " << c.b);
        uint16_t state = 0, ec = 0;
        size_t mark = TraceMark();
        EXPECT_EQ(1, c.box ? GetHddBoxEquipStatus(c.a, c.b, &state, &ec) : GetPdevEquipState(c.a, &state, &ec));
        EXPECT_EQ(c.state, state);
        EXPECT_EQ(c.query, !TraceTexts(mark).empty());
    }
    uint8_t unit = 0xAA, row = 0xAA;
    EXPECT_EQ(1, GetPdevOfLocation(1, 1, 5, &unit, &row));
    EXPECT_EQ(0x0905, unit << 8 | row);
    EXPECT_EQ(0, GetPdevOfLocation(6, 0, 0, &unit, &row));
    EXPECT_EQ(0, unit << 8 | row);

    char pdev[DRIVE_NAME_LEN], dku5[DRIVE_NAME_LEN], dku3[DRIVE_NAME_LEN];
    size_t mark = TraceMark();
    EXPECT_EQ(3, GetPdevLocationText(0x0003, pdev) + GetDkuLocationText(5, dku5) + GetDkuLocationText(3, dku3));
    EXPECT_EQ("------|------|DKU-L2", std::string(pdev) + "|" + dku5 + "|" + dku3);
    EXPECT_EQ((std::vector<std::string>{ "mtp_GetPdevLocation Function failed. EC = 4444" }),
              TraceTexts(mark, 0, TRACE_KIND_APP)) << "a missing DKU location (EC 1201) is not traced";

    g_run.mpIdMain = g_run.mpIdAlt = 0;
    EXPECT_EQ(1, GetMpIds(0x0902));   /* DKU 1 box 1: paths (0,1,1) and (1,1,1) */
    EXPECT_EQ((std::vector<int>{ 0x80 + 0x05, 0x80 + 0x15 }), (std::vector<int>{ g_run.mpIdMain, g_run.mpIdAlt }));
}

/* 1 when the window's message was posted; it is then handled. */
static int Take(HWND wnd, UINT message)
{
    MSG msg;
    return PeekMessageA(&msg, wnd, message, message, PM_REMOVE) ? (DispatchMessageA(&msg), 1) : 0;
}

/* Runs the prompt with a code; the message box must say box (unless null). 1 when
 * UM_DEBUG_MODE was posted (and handled). */
static int TryPassword(HWND wnd, const char *code, const char *box)
{
    std::string act = std::string("p") + code + " ok";
    Drive([](HWND w) { return int(SendMessageA(w, UM_ASK_PASSWORD, 0, 0)); }, wnd,
          { { "Input PassWord", nullptr, act.c_str() }, { "Pass Word", box, "ok" } });
    return Take(wnd, UM_DEBUG_MODE);
}

/* Check marks of the debug menu: QX7 QX5, 4MP 2MP, 1MP 2MP, HV LT. */
static std::string Marks(HWND wnd)
{
    std::string s;
    for (UINT id : { IDM_DKU_QX7, IDM_DKU_QX5, IDM_DKF_4MP, IDM_DKF_2MP, IDM_CON_1MP, IDM_CON_2MP, IDM_DKC_HV,
                     IDM_DKC_LT })
        s += GetMenuState(GetMenu(wnd), id, MF_BYCOMMAND) & MF_CHECKED ? '1' : '0';
    return s;
}

TEST(DebugMode, AccessCodeMenusAndOverrides)
{
    ResetDoubles();
    HWND wnd = MakeMainWindow();
    g_app.debugMode = g_app.dkuModelMenu = g_app.dkfType = g_app.conTypeMenu = g_app.dkcModel = 0;
    g_app.conKind = g_app.dkuModel[1] = 1;
    HMENU normal = GetMenu(wnd);

    EXPECT_EQ(0, TryPassword(wnd, "ktr582", "PassWord Miss."));
    EXPECT_EQ(0, TryPassword(wnd, "KTR5821", "PassWord Miss."));
    EXPECT_TRUE(GetMenu(wnd) == normal && g_app.debugMode == 0) << "still normal";

    EXPECT_EQ(1, TryPassword(wnd, "KTR582", "PassWord  OK.\nChange Debug Mode."));
    EXPECT_EQ(1, g_app.debugMode);
    EXPECT_EQ("10101000", Marks(wnd)) << "no model mark when loaded";
    EXPECT_FALSE(GetMenuState(GetMenu(wnd), IDM_START, MF_BYCOMMAND) & MF_GRAYED);

    for (UINT id : { IDM_DKU_QX5, IDM_DKF_2MP, IDM_CON_1MP, IDM_DKC_LT })
        SendMessageA(wnd, WM_COMMAND, id, 0);
    EXPECT_EQ(std::vector<uint16_t>(8, 1), std::vector<uint16_t>(g_app.dkuModel, g_app.dkuModel + 8));
    EXPECT_EQ((std::vector<int>{ 1, 0, 1 }), (std::vector<int>{ g_app.dkfType, g_app.conKind, g_app.dkcModel }));
    EXPECT_EQ("01011001", Marks(wnd));

    SendMessageA(wnd, WM_COMMAND, IDM_NORMAL_MODE, 0);
    ASSERT_EQ(1, Take(wnd, UM_NORMAL_MODE));
    EXPECT_EQ(0, g_app.debugMode);
    EXPECT_EQ(1, g_app.dkcModel) << "choices stay after leaving";
    EXPECT_EQ(nullptr, GetSubMenu(GetMenu(wnd), 2)) << "the normal menu has two entries";
    /* Back in debug mode the marks show the choices made. */
    EXPECT_EQ(1, TryPassword(wnd, "KTR582", nullptr));
    EXPECT_EQ("01011000", Marks(wnd));

    /* The prompt comes only from the accelerator (Ctrl+Shift+D). */
    for (WORD source : { 1, 0 }) {
        SendMessageA(wnd, WM_COMMAND, MAKEWPARAM(IDM_ASK_PASSWORD, source), 0);
        MSG msg;
        EXPECT_EQ(source == 1, PeekMessageA(&msg, wnd, UM_ASK_PASSWORD, UM_ASK_PASSWORD, PM_REMOVE));
    }
    DestroyWindow(wnd);
    Take(nullptr, WM_QUIT);
}

/* PDEVs of the drive table entries that pass the test, in unit and row order. */
static std::vector<uint16_t> Pdevs(bool (*test)(const DriveEntry &))
{
    std::vector<uint16_t> out;
    for (uint32_t unit = 0; unit < UNIT_COUNT; unit++)
        for (uint32_t row = 0; row < ROW_COUNT; row++)
            if (test(table[unit][row]))
                out.push_back(uint16_t(unit << 8 | row));
    return out;
}
static bool IsSelected(const DriveEntry &e) { return e.selected == 1; }

/* A fresh program state: a main window, names as start-up fills them, HV, normal mode, and an
 * old run's marks that opening Select Unit must clear. */
static HWND Fresh(uint16_t dkcModel = 0, uint16_t debugMode = 0)
{
    static HWND wnd;
    wnd = IsWindow(wnd) ? wnd : MakeMainWindow();
    ResetDoubles();
    memset(table, 0, sizeof table);
    RenewInformation();
    g_app.mainWnd = wnd, g_app.dkcModel = dkcModel, g_app.debugMode = debugMode;
    g_run.routineId = g_run.runOption = 0;
    table[5][5].selected = 1, table[0][3].errorCode = 0xC102, table[0][4].equipState = 3;
    g_run.unitList[0] = 7, g_run.unitCount = 1, g_run.driveBitmap[2] = 1;
    return wnd;
}

/* The selection and nothing else of Fresh's marks is left; nothing failed. */
static void ExpectSelected(const std::vector<uint16_t> &selected)
{
    EXPECT_EQ(selected, Pdevs(IsSelected));
    EXPECT_EQ((std::vector<uint32_t>{ 0, 0, UNIT_NONE, 0, 0 }),
              (std::vector<uint32_t>{ table[0][3].errorCode, table[0][4].equipState, g_run.unitList[0],
                                      g_run.unitCount, g_run.driveBitmap[2] }));
    EXPECT_EQ("", g_mainMsgs) << "no end posted";
}

TEST(SelectUnit, HvWalkDownToDrivesSetsTheRun)
{
    HWND owner = Fresh();
    for (DriveEntry &e : table[12])
        memset(e.name, 0, sizeof e.name);
    /* Boxes: 1 enabled, 0 disabled, x checked. DKU 4 has no HDU; only the first DKU relabels its
     * rear boxes; the label is the box's first name cut after 7. */
    EXPECT_EQ(1, Drive(RunSelectUnit, owner, {
        { "Select Unit", "DKU-R0|DKU-L1|DKU-R1|DKU-L2|------|11110", "ok" },
        { "Select HDD List", "0 0 0", "cancel" },   /* nothing selected; Select Unit stays open */
        { "Select Unit", nullptr, "c1001" },
        { "DKU", "HDU-00|HDU-01|HDU-02|HDU-03|HDU-04|------|------|------|11111000", "c1009" },
        { "HDU-04", "HDD04-0xx 10 11100000000000000000000000000000 0", "t1013 cancel" }, { "DKU", nullptr, "c1006" },
        { "HDU-01", "HDD01-0xx 00 11111111111100000000000000000000 0", "t1015 ok? t1020 ok" },
        { "DKU", nullptr, "c1006" },
        { "HDU-01", "HDD01-0xx 00 11x1111x111100000000000000000000 0", "t1016 t1020 ok" }, { "DKU", nullptr, "cancel" },
        { "Select Unit", nullptr, "c1002" },
        { "DKU", "HDU-10|HDU-11|------|------|HDU-14|------|------|------|11001000", "c1009" },
        { "HDU-14", "HDD?\?-?\? 00 10000000000000000000000000000000 0", "cancel" }, { "DKU", nullptr, "c1006" },
        { "HDU-11", "HDD11-0xx 00 11111111111100000000000000000000 0", "t1013 ok" }, { "DKU", nullptr, "cancel" },
        { "Select Unit", nullptr, "ok" },
        { "Select HDD List", "1 2:HDD01-02..HDD01-03 1:HDD11-00..HDD11-00", "ok" },   /* unit 9: the left list */
    }));
    /* OK unselects 0107; the Cancel in HDU-04 selected nothing. */
    ExpectSelected({ 0x0102, 0x0103, 0x0900 });
    EXPECT_EQ((std::vector<uint32_t>{ 0xCF, 8, 1, 1, 0 }), (std::vector<uint32_t>{ g_run.routineId, g_run.runOption,
              g_selectChoice.dku, g_selectChoice.box, g_selectChoice.hdd }));
}

TEST(SelectUnit, LtVariants)
{
    HWND owner = Fresh(1);
    /* Four DKUs, four boxes, 15 positions (0F hidden), the label cut after 6, no left list: the
     * unit 9 drive is tested but not listed. */
    EXPECT_EQ(1, Drive(RunSelectUnit, owner, {
        { "Select Unit", "DKU-R0|DKU-L1|DKU-R1|DKU-L2|_|1111_", "c1002" },
        { "DKU", "HDU-10|HDU-11|------|------|_|_|_|_|1100____", "c1006" },
        { "HDU-11", "HDD11-xx 00 111111111111000h________________ 0", "t1013 ok" },
        { "DKU", nullptr, "cancel" }, { "Select Unit", nullptr, "c1001" }, { "DKU", nullptr, "c1005" },
        { "HDU-00", nullptr, "t1013 t1014 ok" }, { "DKU", nullptr, "cancel" }, { "Select Unit", nullptr, "ok" },
        { "Select HDD List", "1 2:HDD00-00..HDD00-01 _", "ok" },
    }));
    ExpectSelected({ 0x0000, 0x0001, 0x0900 });
}

/* The equipped drives by the stand-in's word (units 0-4, 8, 9, 12 and 16). */
static bool IsEquipped(const DriveEntry &e)
{
    size_t i = &e - &table[0][0];   /* the entry's unit and row */
    uint16_t state = 0, ec = 0;
    return GetPdevEquipState(uint16_t(i / ROW_COUNT << 8 | i % ROW_COUNT), &state, &ec) && state == SVC_EQUIPPED;
}

/* Select Unit with "ALL HDD", which selects every equipped drive and nothing else, the list's
 * OK, then ROUTINE and the steps after it. */
static int RunDebug(HWND owner, Step routine, std::vector<Step> more = {})
{
    std::vector<Step> steps = { { "Select Unit", nullptr, "c1000" },
                                { "Select HDD List", "1 63:HDD00-00..HDD20-0B 25:HDD10-00..HDD14-00", "ok" }, routine };
    steps.insert(steps.end(), more.begin(), more.end());
    int result = Drive(RunSelectUnit, owner, steps);
    EXPECT_EQ(88u, Pdevs(IsEquipped).size());
    EXPECT_EQ(Pdevs(IsEquipped), Pdevs(IsSelected));
    return result;
}

TEST(Routine, TextsDecideAndD8NeedsACluster)
{
    HWND owner = Fresh(0, 1);
    /* The texts' first two characters decide: C7 is no routine, the run option is not checked;
     * Cancel closes Select Unit without a run. */
    static const struct { Step routine; int result; uint32_t id, option; } kCases[] = {
        { { "ROUTINE", "CF: C1 + C2 + C3 + C4 11|08: Reset Run Option. 8", "ok" }, 1, 0xCF, 8 },
        { { "ROUTINE", nullptr, "rC7 o03 ok" }, 1, 0xCF, 3 },
        { { "ROUTINE", nullptr, "rd1 o0A ok" }, 1, 0xD1, 10 },
        { { "ROUTINE", nullptr, "cancel" }, 2, 0xC3, 10 },
    };
    for (auto &c : kCases) {
        g_run.routineId = 0xC3;
        EXPECT_EQ(c.result, RunDebug(owner, c.routine)) << c.routine.act;
        EXPECT_EQ(c.id << 8 | c.option, g_run.routineId << 8 | g_run.runOption) << "routine, option";
    }
    /* D8: the connection check, then a cluster must be picked. */
    g_run.cluster = 7;
    EXPECT_EQ(1, RunDebug(owner, { "ROUTINE", nullptr, "rD8 ok" }, {
        { "Select Cluster", nullptr, "cancel close", [](HWND) {
            EXPECT_EQ(3, table[16][11].equipState) << "checked before the cluster"; } },
        { "Select Cluster", nullptr, "c1095" },   /* still open after Cancel and Close */
    }));
    EXPECT_EQ((std::vector<uint32_t>{ 0xD8, 1 }), (std::vector<uint32_t>{ g_run.routineId, g_run.cluster }));
    EXPECT_EQ(Pdevs(IsEquipped), Pdevs([](const DriveEntry &e) { return e.equipState == 3; }));
    EXPECT_EQ(1, RunDebug(owner, { "ROUTINE", nullptr, "rD8 ok" }, { { "Select Cluster", nullptr, "c1094" } }));
    EXPECT_EQ(0, g_run.cluster);
}

TEST(ErrorList, OneLinePerFailedDriveInUnitAndRowOrder)
{
    HWND owner = Fresh();
    memset(table[0][3].name, 0, DRIVE_NAME_LEN);
    table[0][3].errorCode = 0, table[9][3].errorCode = 0xECE3;
    table[0][1].errorCode = 0xC102, table[1][0].errorCode = 0xC201;
    snprintf(g_err.errorContents, sizeof g_err.errorContents, "main window text");
    Drive([](HWND o) { ShowErrorList(o); return 1; }, owner, { { "Error HDD List", nullptr, "ok", [](HWND d) {
        HWND list = GetDlgItem(d, IDC_ERROR_LIST);
        EXPECT_TRUE(GetWindowLongA(list, GWL_STYLE) & LVS_REPORT);
        std::string cells;
        for (int i = 0; i < int(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0)); i++)
            for (int c = 0; c < 3; c++) {
                char text[160] = "";
                LVITEMA cell = { 0, 0, c, 0, 0, text, sizeof text };
                SendMessageA(list, LVM_GETITEMTEXTA, i, (LPARAM)&cell);
                cells += std::string(text) + (c < 2 ? "," : "|");
            }
        EXPECT_EQ("HDD00-01,c1 02,text C102|HDD01-00,c2 01,text C201|HDD11-03,ec e3,text ECE3|", cells);
    } } });
    EXPECT_STREQ("main window text", g_err.errorContents) << "the main window's text is kept";
    EXPECT_EQ(0xC102, table[0][1].errorCode) << "the list changes no code";
}

/* ==== the whole program, each in a child with its own description ==== */

/* The description after [Subsystem] (EC 2345 for a failure), the box's location code (null:
 * no box), the line before it (null: not checked) and the query the line after it names, the
 * main window's letters, the status at the first wait, steps after Start, and seen: what the
 * dialogs show when IDM_EXIT arrives (or at the end, top null, when it does not). */
struct ChildCase { const char *desc, *code, *before, *query, *msgs, *status; std::vector<Step> steps;
                   bool (*seen)(HWND top); };
static const ChildCase kChildren[] = {
    /* Positions 0-4 were done; the loop stopped at the failing position 5. */
    { "[Fail]\r\nGetPdevEquipStatus.0105=0x2345\r\n", "DC1-01", "GetPdevEquipStatus Function failed. EC = 2345",
      "GetPdevEquipStatus", "ILsX", " ", { { "Select Unit", nullptr, "c1001" }, { "DKU", nullptr, "c1006" } },
      [](HWND t) { return Caption(t) + " " + Look(t) == "HDU-01 HDD01-0xx 00 11111000000000000000000000000000 0"; } },
    { "[Fail]\r\nGetPdevEquipStatus.0100=0x2345\r\n", "DC1-02", "GetPdevEquipStatus Function failed. EC = 2345",
      "GetHddBoxEquipStatus", "ILsX", " ", { { "Select Unit", nullptr, "c1001" } },
      [](HWND t) { return Caption(t) + " " + Look(t) == "DKU HDU-00|HDU-01|HDU2|HDU3|HDU4|HDU5|HDU6|HDU7|11111111"; } },
    /* Select Unit clears the selection (5:5) even so. */
    { "[Fail]\r\nGetHduEquipStatus.0002=0x2345\r\n", "DC1-03", nullptr, "GetHduEquipStatus", "ILsX", " ", {},
      [](HWND t) { return Caption(t) + " " + Look(t) == "Select Unit DKU-R0|DKU-L1|DKU-R1|DKU3|DKU4|11111" &&
                          !table[5][5].selected; } },
    /* "ALL HDD" stops at once: the list never opens, no run starts. */
    { "[Fail]\r\nGetPdevEquipStatus.0203=0x2345\r\n", "DC1-04", "GetPdevEquipStatus Function failed. EC = 2345",
      "GetPdevEquipStatus", "ILsX", " ", { { "Select Unit", nullptr, "c1000" } }, [](HWND) {
          return table[1][11].selected && table[2][2].selected && !table[2][4].selected && !table[3][0].selected; } },
    /* In debug mode; "ALL HDD" would meet the failure first. D8's check marks the drives before it only. */
    { "MtpMode=2\r\n[Fail]\r\nGetPdevEquipStatus.0902=0x2345\r\n", "DC1-05",
      "GetPdevEquipStatus Function failed. EC = 2345", "GetPdevEquipStatus", "ILsX", " ",
      { { "Select Unit", nullptr, "c1001" }, { "DKU", nullptr, "c1005" }, { "HDU-00", nullptr, "t1013 ok" },
        { "DKU", nullptr, "cancel" }, { "Select Unit", nullptr, "ok" }, { "Select HDD List", nullptr, "ok" },
        { "ROUTINE", nullptr, "rD8 ok" } }, [](HWND) {
          return table[0][0].equipState == 3 && table[9][1].equipState == 3 && !table[9][3].equipState; } },
    /* The check after start-up fails: the program ends by itself. */
    { "[Fail]\r\nGetAllLdevStatus=0x2345\r\n", "DC3-02", "GetAllLdevStatus failed. EC=2345", "GetLdevStatus", "ILX",
      "Checking the Logical Device[s] Status...", {}, [](HWND) { return true; } },
    /* Not all blocked (0x2003 at 0:6): Start checks again and opens nothing. */
    { "[LDEV]\r\nEquip=0:0-7\r\nStatus=0x2004\r\nStatus.00.06=0x2003\r\n", nullptr, nullptr, nullptr, "ILsx",
      "All Logical Device[s] Not Blocked!", {}, [](HWND) { return g_created.size() == 1; } },
};

static int g_seen;
static std::string g_status;

/* The child: the whole program; at the first wait 5:5 is marked and Start pressed (and Exit,
 * unless all devices are blocked). Bit i of the exit code is set when check i failed. */
static ChildRole g_childRole("program", [](int, char **argv) {
    static const ChildCase *c = &kChildren[atoi(argv[1])];
    ResetDoubles();
    g_seen = -1;
    g_onEnd = [](HWND top) { g_seen = c->seen(top); };
    RunProgramScripted("", [](HWND wnd, int) {
        g_status = ItemText(wnd, IDC_STATUS);
        table[5][5].selected = 1;
        PostMessageA(wnd, WM_COMMAND, IDC_START, 0);
        if (g_status != " ")
            PostMessageA(wnd, WM_COMMAND, IDC_EXIT, 0);
    }, c->steps);
    g_seen = g_seen < 0 ? c->seen(nullptr) : g_seen;
    auto isList = [](const Step &s) { return strcmp(s.caption, "Select HDD List") == 0; };
    int lists = int(std::count(g_created.begin(), g_created.end(), "Select HDD List"));
    return (g_mainMsgs != c->msgs) | (g_stalled || g_next != g_steps.size()) << 1 | !g_seen << 2 |
           (g_status != c->status) << 3 | (lists != std::count_if(c->steps.begin(), c->steps.end(), isList)) << 4 |
           (std::count(g_calls.begin(), g_calls.end(), "SetErrorInfo EB0010") != !!c->code) << 5 |
           (std::count(g_calls.begin(), g_calls.end(), "ShowErrorReport 100FFFF") != !!c->code) << 6;
});

/* A failed query reports its location code and ends the program; the devices are checked at
 * start-up and at Start. */
TEST(Program, FailedQueriesAndUnblockedDevices)
{
    for (size_t i = 0; i < std::size(kChildren); i++) {
        const ChildCase &c = kChildren[i];
        SCOPED_TRACE(c.desc);
        UseDescription((std::string("[Subsystem]\r\nMessageBox=trace\r\nTraceCalls=1\r\n") + c.desc).c_str());
        size_t mark = TraceMark();
        EXPECT_EQ(0, WaitExit(StartChild("program", std::to_string(i)), 60000)) << "bits of the failed checks";
        auto t = TraceTexts(mark);
        EXPECT_EQ(c.code ? 1u : 0u, GrepLines(t, "mtp_MessageBox [").size()) << "one box";
        EXPECT_EQ(c.msgs[1] == 'L' && c.msgs[2] != 'X' ? 2u : 1u, GrepLines(t, "svc GetAllLdevStatus(").size());
        int box = c.code ? FindText(t, std::string("mtp_MessageBox [") + c.code + "]") : 0;
        EXPECT_GT(FindText(t, "VESTRA END"), box);
        if (!c.code)
            continue;
        ASSERT_GE(box, 1) << c.code;
        ASSERT_LT(size_t(box + 1), t.size());
        EXPECT_EQ(c.query + std::string(" Function failed. EC = 2345"), t[box + 1]);
        EXPECT_TRUE(!c.before || c.before == t[box - 1]) << t[box - 1];
    }
}
