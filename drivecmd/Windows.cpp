/* The delay window and the error report window with its request to the diagnosis log, and the
 * receive handler of the log's acknowledgements. */
#include "drivecmd/drivecmd.h"
#include "res/resource.h"
#include "svclib/mtptime.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum : size_t { RPT_UNIT = 12, RPT_ROW = 13, RPT_MP = 15, RPT_RECORD = 20, RPT_TMPDIR = 43 };
enum : uint16_t { RECORD_MAX = 18 };
static const char kDiagLogId[] = "05";

static UINT WaitTemplate(UINT interactive)
{
    return g_app.displayMode == DISPLAY_INTERACTIVE ? interactive : IDD_HIDDEN_WAIT;
}

/* Stop in a delay: the run ends after this unit; the delay goes on. */
static INT_PTR DelayCommand(HWND dlg, WPARAM wp, LPARAM)
{
    if (LOWORD(wp) != IDC_COM_STOP)
        return FALSE;
    g_app.stopRequested = 1;
    EnableWindow(GetDlgItem(dlg, IDC_COM_STOP), FALSE);
    return TRUE;
}

/* ---- delay ---- */

static INT_PTR DelayInit(HWND dlg, WPARAM, LPARAM)
{
    SetFocus(dlg);
    if (g_app.stopRequested == 1)
        EnableWindow(GetDlgItem(dlg, IDC_COM_STOP), FALSE);
    SetDlgItemTextA(dlg, IDC_COM_DRIVE, DriveUnderTestName());
    g_app.blinkOn = 1;
    snprintf(g_app.statusText, sizeof g_app.statusText, "Delay %d Sec...", g_app.delaySeconds);
    SetDlgItemTextA(dlg, IDC_COM_STATUS, g_app.statusText);
    g_app.delayTicks = 0;
    PostMessageA(dlg, UM_DELAY_START, 0, 0);
    return FALSE;
}

static INT_PTR DelayStart(HWND dlg, WPARAM, LPARAM)
{
    SetTimer(dlg, TIMER_DELAY, MtpScaleMs(TIMER_DELAY_MS), nullptr);
    return TRUE;
}

static INT_PTR DelayTimer(HWND dlg, WPARAM id, LPARAM)
{
    if (id != TIMER_DELAY)
        return FALSE;
    g_app.delayTicks++;
    if (g_app.delaySeconds <= g_app.delayTicks) {
        KillTimer(dlg, TIMER_DELAY);
        EndDialog(dlg, 0);
    }
    BlinkStatus(dlg);
    return TRUE;
}

static const MsgEntry kDelayMsgs[] = {
    { WM_INITDIALOG,  DelayInit    },
    { UM_DELAY_START, DelayStart   },
    { WM_TIMER,       DelayTimer   },
    { WM_COMMAND,     DelayCommand },
};


/* The delay window for a number of seconds; debug mode shows it without Stop. Always 1. */
int Delay(HINSTANCE instance, HWND owner, uint16_t seconds)
{
    g_app.delaySeconds = seconds;
    UINT tmpl = WaitTemplate(g_app.debugMode == 1 ? IDD_REPORT_WAIT : IDD_COM_WAIT);
    DialogBoxParamA(instance, MAKEINTRESOURCEA(tmpl), owner, TableProc<kDelayMsgs>, 0);
    return 1;
}

/* ---- error report ---- */

static INT_PTR ReportInit(HWND dlg, WPARAM, LPARAM)
{
    SetFocus(dlg);
    uint32_t unit = g_app.reportUnit;
    SetDlgItemTextA(dlg, IDC_COM_DRIVE, unit < UNIT_COUNT ? g_app.driveTable[unit][0].name : " ");
    g_app.blinkOn = 1;
    strcpy(g_app.statusText, "Making Diag Log...");
    SetDlgItemTextA(dlg, IDC_COM_STATUS, g_app.statusText);
    g_app.comTicks = 0;

    uint8_t *rq = g_app.comArea;
    rq[0] = 5;
    rq[1] = 1;
    rq[2] = 0;
    rq[3] = 0;
    rq[RPT_UNIT] = g_app.reportUnit;
    rq[RPT_ROW] = g_app.reportRow;
    rq[RPT_MP] = uint8_t(g_app.mainMp);
    uint16_t count = g_app.reportCount < RECORD_MAX ? g_app.reportCount : uint16_t(RECORD_MAX);
    memcpy(rq + RPT_RECORD, g_app.errorRecord, count);
    rq[RPT_TMPDIR] = g_app.tmpDirFlag ? 1 : 0;
    char dest[4];
    memcpy(dest, kDiagLogId, sizeof kDiagLogId);
    int32_t rc = mtp1_iwtrn(2, 0, 0, 0, dest, 0, rq, TRANSFER_LEN_83);
    if (rc != 0)
        DcTrace("*** iwtrn(DDE) failed ***  Return Value = %04x", unsigned(uint16_t(rc)));
    SetTimer(dlg, TIMER_BLINK, MtpScaleMs(TIMER_BLINK_MS), nullptr);
    SetTimer(dlg, TIMER_COM, MtpScaleMs(TIMER_COM_MS), nullptr);
    return FALSE;
}

static const MsgEntry kReportMsgs[] = {
    { WM_INITDIALOG, ReportInit  },
    { WM_TIMER,      WaitTimer   },
    { WM_COMEND,     WaitEnd     },
};

static INT_PTR CALLBACK ReportDlgProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_INITDIALOG)
        g_app.commDialog = dlg;
    return Dispatch(kReportMsgs, std::size(kReportMsgs), dlg, msg, wp, lp);
}

int ShowErrorReport(HINSTANCE instance, HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit,
                    uint8_t row, uint16_t count, uint16_t seconds)
{
    g_app.mainMp = mainMp;
    g_app.subMp = subMp;
    g_app.reportUnit = unit;
    g_app.reportRow = row;
    g_app.reportCount = count;
    g_app.comTimeout = seconds;
    g_app.reportOpen = 1;
    DialogBoxParamA(instance, MAKEINTRESOURCEA(WaitTemplate(IDD_REPORT_WAIT)), owner, ReportDlgProc, 0);
    g_app.reportOpen = 0;
    if (g_app.waitTimedOut) {
        g_app.waitTimedOut = 0;
        return 0;
    }
    return 1;
}

/* An acknowledgement of the waiting error report ends its window; anything else is dropped.
 * Receive thread. */
uint32_t WINAPI mtp_cdDDEbak(IwMsgDesc *msg)
{
    DcTrace("Call back IN2");
    uint8_t *copy = msg ? msg->data : nullptr;
    uint32_t n = 0;
    uint8_t *payload = IwGetDataLen(IW_ROW_AP, 0, copy, &n);
    if (!payload)
        return IW_HANDLED;
    uint8_t *local = (uint8_t *)malloc(size_t(n) + 1);
    if (!local)
        return IW_HANDLED;
    memcpy(local, payload, n);
    IwReleaseData(copy);
    if (g_app.reportOpen == 1 && n >= 2 && local[1] == 1)
        PostMessageA(g_app.commDialog, WM_COMEND, 0, 0);
    free(local);
    return IW_HANDLED;
}
