/* The delay window and the error report window with its request to the diagnosis log, and the
 * receive handler of the log's acknowledgements. */
#include "drivecmd/drivecmd.h"
#include "res/resource.h"
#include "svclib/mtptime.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char kDiagLogId[] = "05";
static const char kBlank[] = " ";

static const char *DriveName(uint32_t unit, uint32_t row)
{
    return g_dc.cfg.driveName ? g_dc.cfg.driveName(unit, row) : kBlank;
}

static UINT WaitTemplate(UINT interactive)
{
    return g_dc.cfg.displayMode == DISPLAY_INTERACTIVE ? interactive : IDD_HIDDEN_WAIT;
}

/* Stop in a delay: the run ends after this unit; the delay goes on. */
static INT_PTR DelayCommand(HWND dlg, WPARAM wp, LPARAM)
{
    if (LOWORD(wp) != IDC_COM_STOP)
        return FALSE;
    g_dc.stopRequested = 1;
    EnableWindow(GetDlgItem(dlg, IDC_COM_STOP), FALSE);
    return TRUE;
}

/* ---- delay ---- */

static INT_PTR DelayInit(HWND dlg, WPARAM, LPARAM)
{
    SetFocus(dlg);
    if (g_dc.stopRequested == 1)
        EnableWindow(GetDlgItem(dlg, IDC_COM_STOP), FALSE);
    SetDlgItemTextA(dlg, IDC_COM_DRIVE, g_dc.cfg.driveUnderTest ? g_dc.cfg.driveUnderTest() : kBlank);
    g_dc.blinkOn = 1;
    snprintf(g_dc.statusText, sizeof g_dc.statusText, "Delay %d Sec...", g_dc.delaySeconds);
    SetDlgItemTextA(dlg, IDC_COM_STATUS, g_dc.statusText);
    g_dc.delayTicks = 0;
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
    g_dc.delayTicks++;
    if (g_dc.delaySeconds <= g_dc.delayTicks) {
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
    g_dc.delaySeconds = seconds;
    UINT tmpl = WaitTemplate(g_dc.cfg.debugMode == 1 ? IDD_REPORT_WAIT : IDD_COM_WAIT);
    DialogBoxParamA(instance, MAKEINTRESOURCEA(tmpl), owner, TableProc<kDelayMsgs>, 0);
    return 1;
}

/* ---- error report ---- */

static INT_PTR ReportInit(HWND dlg, WPARAM, LPARAM)
{
    SetFocus(dlg);
    SetDlgItemTextA(dlg, IDC_COM_DRIVE, DriveName(g_dc.reportUnit, 0));
    g_dc.blinkOn = 1;
    strcpy(g_dc.statusText, "Making Diag Log...");
    SetDlgItemTextA(dlg, IDC_COM_STATUS, g_dc.statusText);
    g_dc.comTicks = 0;

    uint8_t *rq = g_dc.comArea;
    rq[DIAG_REQ_KIND] = DIAG_KIND_REPORT;
    rq[DIAG_REQ_OP] = DIAG_OP_REPORT;
    rq[2] = 0;
    rq[3] = 0;
    rq[DIAG_REQ_UNIT] = g_dc.reportUnit;
    rq[DIAG_REQ_ROW] = g_dc.reportRow;
    rq[DIAG_REQ_MP] = uint8_t(g_dc.mainMp);
    uint16_t count = g_dc.reportCount < DIAG_RECORD_LEN ? g_dc.reportCount : uint16_t(DIAG_RECORD_LEN);
    if (g_dc.reportRecord)
        memcpy(rq + DIAG_REQ_ROUTINE, g_dc.reportRecord, count);
    rq[DIAG_REQ_TMPCFG] = g_dc.cfg.tmpDirFlag ? 1 : 0;
    char dest[4];
    memcpy(dest, kDiagLogId, sizeof kDiagLogId);
    int32_t rc = mtp1_iwtrn(2, 0, 0, 0, dest, 0, rq, DIAG_REQ_LEN);
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
        g_dc.commDialog = dlg;
    return Dispatch(kReportMsgs, std::size(kReportMsgs), dlg, msg, wp, lp);
}

int ShowErrorReport(HINSTANCE instance, HWND owner, uint16_t mainMp, uint16_t subMp, uint8_t unit,
                    uint8_t row, const uint8_t *record, uint16_t count, uint16_t seconds)
{
    g_dc.reportRecord = record;
    g_dc.mainMp = mainMp;
    g_dc.subMp = subMp;
    g_dc.reportUnit = unit;
    g_dc.reportRow = row;
    g_dc.reportCount = count;
    g_dc.comTimeout = seconds;
    g_dc.reportOpen = 1;
    DialogBoxParamA(instance, MAKEINTRESOURCEA(WaitTemplate(IDD_REPORT_WAIT)), owner, ReportDlgProc, 0);
    g_dc.reportOpen = 0;
    if (g_dc.waitTimedOut) {
        g_dc.waitTimedOut = 0;
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
    if (g_dc.reportOpen == 1 && n > DIAG_ACK_BYTE1 && local[DIAG_ACK_BYTE1] == DIAG_ACK_OK)
        PostMessageA(g_dc.commDialog, WM_COMEND, 0, 0);
    free(local);
    return IW_HANDLED;
}
