/* The shell's own record: how the program was started, its window, its modes and the
 * controller configuration. Main thread only.
 *
 * The run (units, rows, routine, paths, the drive table) and the error record belong to the
 * routines (routines/routines.h), the transport state to the drive command layer
 * (drivecmd/drivecmd.h). The shell hands them its decisions through ConfigureLayers. */
#pragma once
#include "routines/routines.h"

enum : uint32_t { TRACE_TEXT_LEN = 512 };

struct AppContext {
    /* start parameters */
    uint8_t    displayMode;         /* DISPLAY_INTERACTIVE or DISPLAY_AUTOMATIC */
    uint32_t   tmpDirFlag;          /* 1 when launched with the temporary configuration folder */
    const char *configDir;          /* configDirText or null; handed to configuration queries */
    char       configDirText[32];
    uint8_t   *launchBlock;         /* mapped LaunchBlock view, null when none */
    HANDLE     launchMapping;
    HINSTANCE  instance;
    HACCEL     accel;
    HWND       mainWnd;

    char       traceText[TRACE_TEXT_LEN];   /* scratch line for one trace line or box text */

    uint32_t   abnormalEnd;
    uint16_t   debugMode;           /* 0 normal, 1 debug, 2 second maintenance mode */

    /* configuration */
    uint16_t   dkcModel;            /* 0 HV, 1 LT */
    uint16_t   dkuModel[8];         /* 0 QX7, 1 QX5 */
    uint16_t   conKind;             /* 1 two DKA pairs */
    uint16_t   dkuModelMenu, dkfType, conTypeMenu;
};

extern AppContext g_app;
