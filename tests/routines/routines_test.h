/* Shared by the routines' test programs: this test process is the program (AP 0D) with its real
 * session and transport, against both simulators. */
#pragma once
#include "routines/routines.h"
#include "tests/support/support.h"
#include <string.h>

inline SimPair g_sims;
inline size_t g_reportsChecked;   /* reports of the log started last already checked */
inline int g_statusCalls;         /* status refreshes of the running routine */

/* Restarts both simulators on the description lines and a new diagnosis log. */
inline void Sims(const std::string &lines)
{
    g_reportsChecked = 0;
    ASSERT_TRUE(g_sims.Restart(lines.c_str()));
}

/* Hands the routines the display mode, debug mode and launch block, as the shell does. */
inline void Configure(uint8_t displayMode, uint16_t debugMode = 0, uint8_t *launchBlock = nullptr)
{
    g_run.cfg.displayMode = displayMode, g_run.cfg.debugMode = debugMode, g_run.cfg.launchBlock = launchBlock;
    ConfigureRoutines(g_run.cfg);
}

/* An owner window, an automatic run, both simulators and the session open. */
struct RoutinesEnv : TestEnv {
    explicit RoutinesEnv(unsigned divisor) : TestEnv(nullptr, divisor) {}
    void SetUp() override
    {
        TestEnv::SetUp();
        g_run.cfg.instance = GetModuleHandleA(nullptr);
        g_run.cfg.showStatus = [](uint16_t kind) { g_statusCalls += kind == STATUS_RUNNING; };
        g_run.cfg.mainWnd =
            CreateWindowA("STATIC", "owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        Configure(DISPLAY_AUTOMATIC);
        Sims("");
        ASSERT_EQ(1, OpenCommunication());
    }
    void TearDown() override { CloseCommunication(), g_sims.Stop(); }
};

/* One unit under test (and the next ones, unitCount in all), the given rows selected, a fresh
 * DriveTable, run option 8, cluster 0; the paths are (0, dku, box % 4) and (1, dku, box % 4) of
 * the built-in subsystem. */
inline void Select(uint8_t unit, std::initializer_list<int> rows, uint32_t routine, uint16_t unitCount = 1)
{
    memset(g_run.driveTable, 0, sizeof g_run.driveTable);
    memset(g_run.rowSelected, 0, sizeof g_run.rowSelected);
    memset(g_run.driveBitmap, 0, sizeof g_run.driveBitmap);
    memset(g_run.unitList, UNIT_NONE, sizeof g_run.unitList);
    for (uint16_t i = 0; i < unitCount; i++)
        g_run.unitList[i] = uint8_t(unit + i);
    g_run.unitCount = unitCount, g_run.unitCursor = 0;
    for (int r : rows)
        g_run.rowSelected[r] = 1, g_run.driveBitmap[r] |= UnitBit(unit);
    g_run.mpIdMain = uint16_t(0x80 + unit / 8 * 4 + unit % 8 % 4);
    g_run.mpIdAlt = uint16_t(g_run.mpIdMain + 0x10);
    g_run.routineId = routine, g_run.runOption = RUN_RESET, g_run.cluster = 0;
    g_dc.stopRequested = 0, g_statusCalls = 0;
}
