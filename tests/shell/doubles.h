/* Scripted stand-ins for the layers below the shell, for the shell's in-process tests. */
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

struct ShellScript {
    std::vector<uint16_t> outcomes;        /* RunRoutine outcomes in call order; then CONTINUE */
    int      startDiagFailAtCall = -1;     /* StartDiag call (0-based) that fails */
    uint16_t startDiagFailKind = 4;
    int      endDiagFailAtCall = -1;
    uint16_t endDiagFailKind = 4;
    int      openCommunicationOk = 1;
    /* RunRoutine call (0-based) that records an error on the current unit's first row */
    int      recordErrorAtCall = -1;
    uint16_t recordErrorCode = 0xC102;
    int      stopAtCall = -1;              /* RunRoutine call that sets stopRequested */
};

extern ShellScript g_script;
extern std::vector<std::string> g_calls;   /* "StartDiag 2", "RunRoutine 2", ... */
void ResetDoubles();
