/* MTPMSG32.dll: the maintenance processor's error box. With MessageBox=trace in the subsystem
 * description it shows nothing and leaves a trace line instead, so that unattended runs never
 * block on a box. */
#include "svclib/mtpsvc.h"
#include "svclib/subsys.h"
#include <stdio.h>

enum : int { SHOWN_TEXT_LEN = 256, BOX_TEXT_LEN = 320 };

static const char kCaption[] = "MTP Message";

/* Shows "Maintenance processor error." with the location code text and returns the box's
 * answer, or IDOK at once in trace mode. The numeric arguments are fixed by every caller and not
 * used. Thread of the caller; the box pumps that thread's messages. */
int WINAPI mtp_MessageBox(HWND owner, int, int, int, int, int, const char *text)
{
    char buf[BOX_TEXT_LEN];
    const char *code = text ? text : "";
    if (SubsysCurrent()->msgMode == SUBSYS_MSG_TRACE) {
        snprintf(buf, sizeof buf, "mtp_MessageBox [%.*s]", SHOWN_TEXT_LEN, code);
        WriteTraceLog(0, SUBSYS_TRACE_KIND, buf);
        return IDOK;
    }
    snprintf(buf, sizeof buf, "Maintenance processor error.\nLocation code : %.*s", SHOWN_TEXT_LEN, code);
    return MessageBoxA(owner, buf, kCaption, MB_OK | MB_ICONSTOP);
}
