/* Ends running simulators by setting their quit events.
 * Usage: SimQuit.exe [APID ...]   (default: 09 and 05). Exit code 0 when every event was set. */
#include "sim/sim.h"
#include <stdio.h>

static int Quit(const char *apId)
{
    char name[64];
    snprintf(name, sizeof name, SIM_QUIT_FMT, apId);
    HANDLE ev = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    if (!ev) {
        fprintf(stderr, "SimQuit: no %s\n", name);
        return 0;
    }
    BOOL ok = SetEvent(ev);
    CloseHandle(ev);
    return ok;
}

int main(int argc, char **argv)
{
    int ok = 1;
    if (argc < 2) {
        ok &= Quit("09");
        ok &= Quit("05");
    }
    for (int i = 1; i < argc; i++)
        ok &= Quit(argv[i]);
    return ok ? 0 : 1;
}
