#include "tests/shell/doubles.h"
#include "routines/routines.h"
#include "drivecmd/drivecmd.h"
#include <stdio.h>

RunState g_run;
ErrorState g_err;
DcState g_dc;
ShellScript g_script;
std::vector<std::string> g_calls;
static int g_runCalls, g_startCalls, g_endCalls;

void ResetDoubles()
{
    g_script = ShellScript();
    g_calls.clear();
    g_runCalls = g_startCalls = g_endCalls = 0;
}

static void Log(const char *what, uint32_t value)
{
    char line[64];
    snprintf(line, sizeof line, "%s %X", what, (unsigned)value);
    g_calls.push_back(line);
}

static uint32_t Unit() { return g_run.unitList[g_run.unitCursor]; }

void ConfigureRoutines(const RunConfig &cfg) { g_run.cfg = cfg; }
void ClearStopRequest() { g_dc.stopRequested = 0; }
uint8_t UnitUnderTest() { return g_run.unitCursor < UNIT_LIST_LEN ? g_run.unitList[g_run.unitCursor] : uint8_t(UNIT_NONE); }

uint8_t FirstRowUnderTest()
{
    for (uint32_t row = 0; row < ROW_COUNT; row++)
        if (g_run.rowSelected[row] == 1)
            return uint8_t(row);
    return 0;
}

int RunRoutine(HWND, uint16_t *outcome)
{
    int call = g_runCalls++;
    Log("RunRoutine", Unit());
    if (call == g_script.recordErrorAtCall) {
        for (uint32_t row = 0; row < ROW_COUNT; row++) {
            if (g_run.rowSelected[row] == 1 && Unit() < UNIT_COUNT) {
                g_run.driveTable[Unit()][row].errorCode = g_script.recordErrorCode;
                break;
            }
        }
    }
    if (call == g_script.stopAtCall)
        g_dc.stopRequested = 1;
    *outcome = size_t(call) < g_script.outcomes.size() ? g_script.outcomes[call] : decltype(g_script.outcomes)::value_type(OUTCOME_CONTINUE);
    return 1;
}

/* Opening and closing the diagnosis: the scripted call fails with its kind. */
static int Diag(const char *what, int &calls, int failAt, uint16_t kind, uint16_t *failKind)
{
    Log(what, Unit());
    if (calls++ != failAt)
        return 1;
    *failKind = kind;
    return 0;
}

int StartDiag(HWND, uint16_t *k) { return Diag("StartDiag", g_startCalls, g_script.startDiagFailAtCall, g_script.startDiagFailKind, k); }
int EndDiag(HWND, uint16_t *k) { return Diag("EndDiag", g_endCalls, g_script.endDiagFailAtCall, g_script.endDiagFailKind, k); }

/* A text that names its code, so that a test sees which code a line was loaded for. */
void LoadErrorText(uint16_t code)
{
    snprintf(g_err.errorContents, sizeof g_err.errorContents, "text %04X", code);
}

void SetErrorInfo(uint16_t count)
{
    Log("SetErrorInfo", uint32_t(g_err.errorStep) << 16 | count);
}

int ShowErrorReport(HINSTANCE, HWND owner, uint16_t mainMp, uint16_t, uint8_t unit, uint8_t,
                    const uint8_t *, uint16_t, uint16_t)
{
    Log("ShowErrorReport", uint32_t(owner != nullptr) << 24 | uint32_t(mainMp) << 8 | unit);
    return 0;
}

int OpenCommunication()
{
    Log("OpenCommunication", 0);
    return g_script.openCommunicationOk;
}

int CloseCommunication()
{
    Log("CloseCommunication", 0);
    return 1;
}
