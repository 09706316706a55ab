/* Program entry, the launch block of an automatic run, and the end of the program. */
#include "shell/shell.h"
#include "base/launch.h"
#include "res/resource.h"
#include "svclib/mtpsvc.h"
#include <stdio.h>
#include <string.h>

static const char kTmpConfigDir[] = "c:\\trn600\\tmp\\config\\";
enum : size_t { MAP_NAME_LEN = 16, HEX_LINE_WORDS = 8 };

void ConfigureLayers()
{
    RunConfig cfg = {};
    cfg.instance = g_app.instance;
    cfg.mainWnd = g_app.mainWnd;
    cfg.displayMode = g_app.displayMode;
    cfg.debugMode = g_app.debugMode;
    cfg.tmpDirFlag = g_app.tmpDirFlag;
    cfg.launchBlock = g_app.launchBlock;
    cfg.showStatus = ShowStatus;
    ConfigureRoutines(cfg);
}

/* Low 32 bits of an address, as the trace lines show handles and views. */
static unsigned long Low32(const void *p) { return (unsigned long)(uintptr_t(p) & 0xFFFFFFFFu); }

/* Reads the command line as a whole hexadecimal number of at most 15 characters that fits
 * 32 bits. Anything else is refused: the name would not fit or would name an unknown block. */
static int ParseLaunchNumber(const char *cmdLine, unsigned long *number)
{
    size_t len = strlen(cmdLine);
    if (len == 0 || len > MAP_NAME_LEN - 1)
        return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < len; i++) {
        char c = cmdLine[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0)
            return 0;
        v = v << 4 | uint64_t(d);
        if (v > 0xFFFFFFFFu)
            return 0;
    }
    *number = (unsigned long)v;
    return 1;
}

/* Maps the launch block named by the command line. Returns 1 when mapped. Main thread. */
int OpenLaunchBlock(const char *cmdLine)
{
    char name[MAP_NAME_LEN];
    unsigned long number = 0;
    if (!ParseLaunchNumber(cmdLine, &number)) {
        AppTrace("Invalid Command Line : %.32s", cmdLine);
        return 0;
    }
    snprintf(name, sizeof name, LB_NAME_FMT, number);
    g_app.launchMapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, TRUE, name);
    if (!g_app.launchMapping) {
        DWORD err = GetLastError();
        AppTrace("OpenFileMapping was failed.\nEC : %08lx MAPFILE NAME : %s", err, name);
        return 0;
    }
    g_app.launchBlock = (uint8_t *)MapViewOfFile(g_app.launchMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (!g_app.launchBlock) {
        DWORD err = GetLastError();
        AppTrace("MapViewOfFile was failed.\nEC = %08lx", err);
        return 0;
    }
    AppTrace("Open MapFile Handle = %08lx", Low32(g_app.launchBlock));
    return 1;
}

/* Unmaps and closes whatever is open. Always 1. */
int CloseLaunchBlock()
{
    AppTrace("Close MapFile Handle = %08lx", Low32(g_app.launchBlock));
    if (g_app.launchBlock)
        UnmapViewOfFile(g_app.launchBlock);
    if (g_app.launchMapping)
        CloseHandle(g_app.launchMapping);
    g_app.launchBlock = nullptr;
    g_app.launchMapping = nullptr;
    return 1;
}

/* Banner (22 start, 23 end) and the launcher's bytes. */
void TraceLaunchBlock(uint16_t kind)
{
    static const size_t kOffsets[] = { 0, 1, 2, 3, 324, 325, 326, 335, 336, 337, 338 };
    if (kind == TRACE_BANNER_START)
        AppTrace("VESTRA START");
    else if (kind == TRACE_BANNER_END)
        AppTrace("VESTRA END");
    if (!g_app.launchBlock) {
        AppTrace("Drive Table Nothing");
        return;
    }
    char line[3 * (sizeof kOffsets / sizeof kOffsets[0]) + 1];
    size_t at = 0;
    for (size_t off : kOffsets)
        at += snprintf(line + at, sizeof line - at, "%02X ", g_app.launchBlock[off]);
    AppTrace("%s", line);
}

/* Ten lines of eight words: "%02dHB->00:..." or "%02dBM->00:...". */
static void TraceBitmap(const char *tag, const uint32_t *words)
{
    for (size_t first = 0; first < ROW_COUNT; first += HEX_LINE_WORDS) {
        const uint32_t *w = words + first;
        AppTrace("%02d%s->00:%08lx 01:%08lx 02:%08lx 03:%08lx 04:%08lx 05:%08lx 06:%08lx 07:%08lx",
                 int(first), tag, (unsigned long)w[0], (unsigned long)w[1], (unsigned long)w[2],
                 (unsigned long)w[3], (unsigned long)w[4], (unsigned long)w[5], (unsigned long)w[6],
                 (unsigned long)w[7]);
    }
}

/* The automatic run's request: drives, units in ascending order, routine. Posts UM_START_UNIT. */
void ReadLaunchRequest(HWND wnd)
{
    uint32_t select[ROW_COUNT];
    LaunchGetSelect(g_app.launchBlock, select);
    TraceBitmap("HB", select);
    memcpy(g_run.driveBitmap, select, sizeof select);

    uint32_t any = 0;
    for (size_t row = 0; row < ROW_COUNT; row++)
        any |= select[row];
    for (uint32_t unit = 0; unit < UNIT_COUNT; unit++)
        if (any & UnitBit(unit))
            g_run.unitList[g_run.unitCount++] = uint8_t(unit);

    g_run.routineId = g_app.launchBlock[LB_ROUTINE];
    g_run.runOption = 8;
    AppTrace("Routine ID = %08lx", (unsigned long)g_run.routineId);
    if (g_run.routineId != 0xC0 && g_run.routineId != 0xCF)
        g_run.routineId = 0xC0;
    g_app.debugMode = 0;
    ConfigureLayers();
    PostMessageA(wnd, UM_START_UNIT, 0, 0);
}

int AnyDriveError()
{
    for (auto &unit : g_run.driveTable)
        for (auto &entry : unit)
            if (entry.errorCode != 0)
                return 1;
    return 0;
}

/* WM_DESTROY of the main window: close communication, write the outcome, quit. */
void EndProgram()
{
    CloseCommunication();
    if (g_app.launchBlock) {
        uint32_t errors[ROW_COUNT];
        for (size_t row = 0; row < ROW_COUNT; row++) {
            uint32_t word = 0;
            for (uint32_t unit = 0; unit < UNIT_COUNT; unit++)
                if (g_run.driveTable[unit][row].errorCode != 0)
                    word |= UnitBit(unit);
            errors[row] = word;
        }
        LaunchPutOutcome(g_app.launchBlock, AnyDriveError(), errors);
        TraceBitmap("BM", errors);
    } else {
        AppTrace("Drive Table Nothing");
    }
    TraceLaunchBlock(TRACE_BANNER_END);
    CloseLaunchBlock();
    PostQuitMessage(0);
}

/* Strips the blanks around the command line into buf. */
static void TrimCommandLine(const char *cmdLine, char *buf, size_t bufLen)
{
    if (!cmdLine)
        cmdLine = "";
    while (*cmdLine == ' ' || *cmdLine == '\t')
        cmdLine++;
    size_t len = strlen(cmdLine);
    while (len > 0 && (cmdLine[len - 1] == ' ' || cmdLine[len - 1] == '\t' ||
                       cmdLine[len - 1] == '\r' || cmdLine[len - 1] == '\n'))
        len--;
    if (len > bufLen - 1)
        len = bufLen - 1;
    memcpy(buf, cmdLine, len);
    buf[len] = '\0';
}

/* The program: launch block, main window, message loop. Always returns 0. Main thread. */
int RunProgram(HINSTANCE instance, const char *cmdLine)
{
    char line[64];
    MSG msg;
    BOOL got;

    g_app.instance = instance;
    g_app.displayMode = DISPLAY_INTERACTIVE;
    g_app.launchMapping = nullptr;
    g_app.launchBlock = nullptr;
    g_app.tmpDirFlag = 0;
    g_app.dkuModelMenu = g_app.dkfType = g_app.conTypeMenu = 0;
    memset(g_run.driveTable, 0, sizeof g_run.driveTable);

    TrimCommandLine(cmdLine, line, sizeof line);
    if (line[0] != '\0' && !OpenLaunchBlock(line)) {
        CloseLaunchBlock();
        return 0;
    }
    if (g_app.launchBlock) {
        uint8_t mode = g_app.launchBlock[LB_LAUNCH_MODE];
        if (mode == LAUNCH_AUTOMATIC) {
            g_app.displayMode = DISPLAY_AUTOMATIC;
        } else if (mode == LAUNCH_AUTOMATIC_TMPDIR) {
            g_app.displayMode = DISPLAY_AUTOMATIC;
            g_app.tmpDirFlag = 1;
        }
    }
    if (g_app.tmpDirFlag == 1) {
        snprintf(g_app.configDirText, sizeof g_app.configDirText, "%s", kTmpConfigDir);
        g_app.configDir = g_app.configDirText;
    } else {
        g_app.configDir = nullptr;
    }
    AppTrace("TmpDirFlag : %08lx", (unsigned long)g_app.tmpDirFlag);
    ConfigureLayers();

    g_app.mainWnd = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDlgProc, 0);
    if (!g_app.mainWnd) {
        if (g_app.launchBlock)
            LaunchPutStartFailure(g_app.launchBlock);
        CloseLaunchBlock();
        return 0;
    }
    ShowWindow(g_app.mainWnd, g_app.displayMode == DISPLAY_INTERACTIVE ? SW_RESTORE : SW_HIDE);
    g_app.accel = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDR_ACCEL));

    while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1) {
            DWORD err = GetLastError();
            AppTrace("GetMessage failed.\nEC = %08lx", err);
            break;      /* it would fail again at once */
        }
        /* The dialog manager gives the main window Enter (Start), Tab and the mnemonics. */
        if (!TranslateAcceleratorA(g_app.mainWnd, g_app.accel, &msg) &&
            !IsDialogMessageA(g_app.mainWnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return 0;
}
