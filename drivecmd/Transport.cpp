/* Drive command transport: the command buffers and the session for the run, one command with
 * its modal waiting dialog and three attempts, and the assembly of replies on the receive
 * thread. */
#include "drivecmd/drivecmd.h"
#include "cmlb/cmlb.h"
#include "res/resource.h"
#include "svclib/mtptime.h"
#include <stdlib.h>
#include <string.h>

static const char kCommunicating[] = "Communicating DKC...";
static const char kBlank[] = " ";

DcState g_dc;

/* Main thread, before communication opens and whenever a mode changes. */
void ConfigureDriveCommands(const DcConfig &cfg) { g_dc.cfg = cfg; }

void ClearStopRequest() { g_dc.stopRequested = 0; }

/* ---- buffers and session ---- */

static uint8_t *AllocArea(HGLOBAL *mem)
{
    *mem = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, COM_AREA_LEN);
    return *mem ? (uint8_t *)GlobalLock(*mem) : nullptr;
}

static void FreeArea(HGLOBAL *mem, uint8_t **area)
{
    if (*area)
        GlobalUnlock(*mem);
    if (*mem)
        GlobalFree(*mem);
    *mem = nullptr;
    *area = nullptr;
}

/* Buffers, receive handlers and session for the run: 1 ok, 0 failed. Main thread. */
int OpenCommunication()
{
    g_dc.comenvSet = 0;
    g_dc.checkBypassMode = 0;
    g_dc.comArea = AllocArea(&g_dc.comAreaMem);
    if (!g_dc.comArea) {
        DcTrace("Free Com Area Global Lock Failed.");
        return 0;
    }
    g_dc.comRArea = AllocArea(&g_dc.comRAreaMem);
    if (!g_dc.comRArea) {
        DcTrace("Free ComR Area Global Lock Failed.");
        return 0;
    }
    /* The program's own receive handlers; the session saves them and puts them back. */
    RecvHandlerTable[IW_ROW_DKC][1] = mtp_cdcalbak;
    RecvHandlerTable[IW_ROW_SUB][1] = mtp_cdDDEbak;
    RecvHandlerTable[IW_ROW_AP][1] = mtp_cdDDEbak;
    ComenvParam param = {};
    param.hInstance = uintptr_t(g_dc.cfg.instance);
    param.hwndOwner = uintptr_t(g_dc.cfg.mainWnd);
    param.apId = APP_ID;
    if (CMSETComenv(&param) != CM_OK) {
        DcTrace("mtp_cSet_COMENV Failed.");
        return 0;
    }
    g_dc.comenvSet = 1;
    return 1;
}

int CloseCommunication()
{
    if (g_dc.comenvSet == 1) {
        DcTrace("bf del comenv----->");
        CMDELComend();
        DcTrace("af del comenv------->");
        g_dc.comenvSet = 0;
    }
    FreeArea(&g_dc.comAreaMem, &g_dc.comArea);
    FreeArea(&g_dc.comRAreaMem, &g_dc.comRArea);
    return 1;
}

/* ---- the waiting dialog ---- */

/* The drive under test as the routines name it. */
static const char *TestedDriveName() { return g_dc.cfg.driveUnderTest ? g_dc.cfg.driveUnderTest() : kBlank; }

void BlinkStatus(HWND dlg)
{
    if (g_dc.blinkOn != 1) {
        SetDlgItemTextA(dlg, IDC_COM_STATUS, g_dc.statusText);
        g_dc.blinkOn = 1;
    } else {
        SetDlgItemTextA(dlg, IDC_COM_STATUS, "");
        g_dc.blinkOn = 0;
    }
}

static INT_PTR ComInit(HWND dlg, WPARAM, LPARAM)
{
    SetFocus(dlg);
    if (g_dc.stopRequested == 1)
        EnableWindow(GetDlgItem(dlg, IDC_COM_STOP), FALSE);
    if (g_dc.cfg.displayMode == DISPLAY_INTERACTIVE)
        SetDlgItemTextA(dlg, IDC_COM_DRIVE, TestedDriveName());
    g_dc.blinkOn = 1;
    strcpy(g_dc.statusText, kCommunicating);
    SetDlgItemTextA(dlg, IDC_COM_STATUS, g_dc.statusText);

    uint8_t *req = g_dc.comArea;
    g_dc.expectedFc = req[DREQ_FC];
    g_dc.replyWritePtr = g_dc.comRArea;
    g_dc.comCnt = 0;
    g_dc.comTicks = 0;
    g_dc.waitTimedOut = 0;
    g_dc.replyRemaining = R83_LEN;
    g_dc.segmentsIn = 0;
    g_dc.bytesIn = 0;

    DcTrace("Com Trace FC=%02x FD=%02x MainMP=%04x SubMP=%04x", req[DREQ_FC], req[DREQ_FD], g_dc.mainMp,
            g_dc.subMp);
    uint32_t len = req[DREQ_FC] == FC_PASS ? DREQ83_LEN : DREQ89_LEN;
    int32_t rc = mtp2_iwtrn_300(0, g_dc.mainMp, g_dc.subMp, uint16_t(req[DREQ_FD] << 8 | req[DREQ_FC]),
                                nullptr, 0, req, len);
    if (rc != 0)
        DcTrace("*** iwtrn(DKC) failed ***  Return Value = %04x", unsigned(uint16_t(rc)));
    SetTimer(dlg, TIMER_BLINK, MtpScaleMs(TIMER_BLINK_MS), nullptr);
    SetTimer(dlg, TIMER_COM, MtpScaleMs(TIMER_COM_MS), nullptr);
    return FALSE;
}

/* Timers 60 (blink) and 50 (time-out) of the waiting windows. */
INT_PTR WaitTimer(HWND dlg, WPARAM id, LPARAM)
{
    if (id == TIMER_BLINK) {
        BlinkStatus(dlg);
    } else if (id == TIMER_COM && ++g_dc.comTicks >= g_dc.comTimeout) {
        /* Why a command failed is otherwise only known from the run's end. */
        if (g_dc.reportOpen != 1)
            DcTrace("Com Timeout FC=%02x Attempt=%lu/%lu MainMP=%04x SubMP=%04x Segments=%lu Bytes=%lu",
                    unsigned(g_dc.expectedFc), (unsigned long)g_dc.attempt, (unsigned long)ATTEMPTS,
                    g_dc.mainMp, g_dc.subMp, (unsigned long)g_dc.segmentsIn, (unsigned long)g_dc.bytesIn);
        g_dc.waitTimedOut = 1;
        PostMessageA(dlg, WM_COMEND, 0, 0);
    }
    return TRUE;
}

/* WM_COMEND: the waiting window ends. */
INT_PTR WaitEnd(HWND dlg, WPARAM, LPARAM)
{
    KillTimer(dlg, TIMER_BLINK);
    KillTimer(dlg, TIMER_COM);
    EndDialog(dlg, 0);
    return TRUE;
}

/* Stop: in debug mode the command is cancelled; otherwise the run stops after this unit. */
static INT_PTR ComCommand(HWND dlg, WPARAM wp, LPARAM)
{
    if (LOWORD(wp) != IDC_COM_STOP)
        return FALSE;
    if (g_dc.cfg.debugMode == 1) {
        g_dc.cancelFlag = 1;
        PostMessageA(dlg, WM_COMEND, 0, 0);
    } else {
        g_dc.stopRequested = 1;
        EnableWindow(GetDlgItem(dlg, IDC_COM_STOP), FALSE);
    }
    return TRUE;
}

static const MsgEntry kComMsgs[] = {
    { WM_INITDIALOG, ComInit    },
    { WM_TIMER,      WaitTimer  },
    { WM_COMMAND,    ComCommand },
    { WM_COMEND,     WaitEnd    },
};

static INT_PTR CALLBACK ComDlgProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp)
{
    g_dc.commDialog = dlg;
    return Dispatch(kComMsgs, std::size(kComMsgs), dlg, msg, wp, lp);
}

/* Up to three attempts of one command; main thread. */
int SendCommand(HINSTANCE instance, HWND owner, uint16_t mainMp, uint16_t subMp, uint16_t timeout,
                uint16_t *status)
{
    g_dc.endSegmentSeen = 0;
    g_dc.cancelFlag = 0;
    uint16_t result = COM_TIMED_OUT;
    for (uint32_t attempt = 0; attempt < ATTEMPTS; attempt++) {
        g_dc.attempt = attempt + 1;
        g_dc.mainMp = mainMp;
        g_dc.subMp = subMp;
        g_dc.comTimeout = timeout;
        g_dc.dataComplete = 0;
        g_dc.kipdevSize = 0;
        g_dc.communicating = 1;
        UINT tmpl = g_dc.cfg.displayMode == DISPLAY_INTERACTIVE ? IDD_COM_WAIT
                  : g_dc.cfg.displayMode == DISPLAY_AUTOMATIC ? IDD_HIDDEN_WAIT : 0;
        if (tmpl)
            DialogBoxParamA(instance, MAKEINTRESOURCEA(tmpl), owner, ComDlgProc, 0);
        g_dc.communicating = 0;
        result = COM_DONE;
        if (g_dc.waitTimedOut) {
            result = COM_TIMED_OUT;
            g_dc.waitTimedOut = 0;
        }
        if (g_dc.cancelFlag) {
            result = COM_CANCELLED;
            g_dc.cancelFlag = 0;
        }
        if (!tmpl)
            result = COM_TIMED_OUT;
        if (result != COM_TIMED_OUT)
            break;
    }
    *status = result;
    return result == COM_DONE;
}

/* ---- reply assembly (receive thread) ---- */

static void PostComEnd() { PostMessageA(g_dc.commDialog, WM_COMEND, 0, 0); }

/* Room left in the reply buffer from the write position. */
static uint32_t RoomLeft()
{
    uint8_t *p = g_dc.replyWritePtr;
    if (!g_dc.comRArea || p < g_dc.comRArea || p >= g_dc.comRArea + R83_LEN)
        return 0;
    return uint32_t(g_dc.comRArea + R83_LEN - p);
}

static void CopyReply(const uint8_t *from, uint32_t len)
{
    uint32_t room = RoomLeft();
    if (len > room)
        len = room;
    if (len)
        memcpy(g_dc.replyWritePtr, from, len);
}

/* The return code of a segment, kept as its bytes; 1 when it is not 0. */
static int TakeCode(const uint8_t *seg)
{
    int any = 0;
    for (uint32_t i = 0; i < RC_LEN; i++) {
        g_dc.comResult[i] = seg[SEG_RC + i];
        any |= seg[SEG_RC + i];
    }
    return any != 0;
}

static void ClearCode()
{
    for (uint32_t i = 0; i < RC_LEN; i++)
        g_dc.comResult[i] = 0;
}

/* The return code as a host-order number, for the trace line that shows it so. */
static unsigned long CodeAsHost()
{
    const uint8_t b[RC_LEN] = { g_dc.comResult[0], g_dc.comResult[1], g_dc.comResult[2], g_dc.comResult[3] };
    return (unsigned long)GetLe32(b);
}

static void PassThrough(const uint8_t *seg, uint32_t segLen, uint32_t k)
{
    if (g_dc.comCnt <= 1) {
        if (segLen >= SEG_MIN)
            TakeCode(seg);
        else
            ClearCode();
        /* A first segment shorter than its head carries no reply data. */
        uint32_t data = k > SEG83_HEAD ? k - SEG83_HEAD : 0;
        if (data)
            CopyReply(seg + SEG83_HEAD, data);
        DcTrace("_fmemcpy2 clear ComCnt=%d MaxLen=%d ResLen=%d HikuLen=%d WkLen=%d RC=%08lx",
                int(g_dc.comCnt), int(R83_LEN), int(g_dc.replyRemaining), int(k) - int(SEG83_HEAD),
                int(segLen), CodeAsHost());
        ClearCode();
        k = data;
    } else {
        CopyReply(seg, k);
    }
    if (k > RoomLeft())
        k = RoomLeft();
    g_dc.replyWritePtr = g_dc.replyWritePtr + k;
    g_dc.replyRemaining = g_dc.replyRemaining - k;
    if (g_dc.replyRemaining == 0) {
        g_dc.comCnt = 0;
        PostComEnd();
    }
}

/* A non-zero return code ends the exchange at once. */
static void TakeReturnCode(const uint8_t *seg)
{
    if (TakeCode(seg)) {
        g_dc.endSegmentSeen = 0;
        g_dc.comCnt = 0;
        PostComEnd();
    }
}

static void PathControl(const uint8_t *seg, uint32_t segLen, uint32_t k)
{
    TakeReturnCode(seg);
    if (seg[SEG_FLAG] == SEG_DATA) {
        CopyReply(seg, k);
        DcTrace("kipdev size = %d", int(k));
        if (g_dc.checkBypassMode == 1 && segLen >= SEG89_LEN) {
            uint32_t mask = GetBe32(seg + SEG89_MASK);
            if (mask != 0) {
                uint16_t cr = GetBe16(seg + SEG89_CR);
                uint32_t c = cr >> 8, r = cr & 0xFF;
                DcTrace("Check Bypass ->CR#=%04x", cr);
                if (c >= UNIT_COUNT)
                    DcTrace("Check Bypass ->Invalid C# CR#=%04x", cr);
                else if (r >= ROW_COUNT)
                    DcTrace("Check Bypass ->Invalid R# CR#=%04x", cr);
                else
                    g_dc.bypassBitmap[r] |= 0x80000000u >> c;
            }
        }
    } else if (seg[SEG_FLAG] == SEG_END) {
        g_dc.endSegmentSeen = 1;
    }
    if (g_dc.comCnt >= 2 && g_dc.endSegmentSeen == 1) {
        g_dc.endSegmentSeen = 0;
        g_dc.comCnt = 0;
        PostComEnd();
    }
}

static void DriveRead(const uint8_t *seg, uint32_t segLen, uint32_t k)
{
    TakeReturnCode(seg);
    if (seg[SEG_FLAG] == SEG_DATA) {
        if (g_dc.kipdevSize == 0 && segLen >= SEG_HEAD_LEN)
            g_dc.kipdevSize = GetBe16(seg + SEGBE_SIZE);
        CopyReply(seg, k);
        DcTrace("kipdev size = %d DATA LEN:%d", int(g_dc.kipdevSize), int(k));
        if (k >= g_dc.kipdevSize || k >= RoomLeft()) {
            g_dc.replyWritePtr = g_dc.comRArea;
            g_dc.kipdevSize = 0;
            g_dc.dataComplete = 1;
        } else {
            g_dc.replyWritePtr = g_dc.replyWritePtr + k;
            g_dc.kipdevSize = g_dc.kipdevSize - k;
        }
    } else if (seg[SEG_FLAG] == SEG_END) {
        g_dc.endSegmentSeen = 1;
    }
    if (g_dc.endSegmentSeen == 1 && g_dc.dataComplete == 1) {
        g_dc.endSegmentSeen = 0;
        g_dc.comCnt = 0;
        PostComEnd();
    }
}

/* A segment taken into the reply, for the time-out line. */
static void Count(uint32_t segLen)
{
    g_dc.segmentsIn = g_dc.segmentsIn + 1;
    g_dc.bytesIn = g_dc.bytesIn + segLen;
}

/* Assembles one reply message into ComRArea and posts WM_COMEND to the waiting dialog once the
 * reply is complete. Nothing in a message is trusted: a payload length that the copy does not
 * hold, or a segment too short for its head, is dropped as invalid. Receive thread. */
uint32_t WINAPI mtp_cdcalbak(IwMsgDesc *msg)
{
    g_dc.comCnt = int16_t(g_dc.comCnt + 1);
    uint8_t *copy = msg ? msg->data : nullptr;
    uint32_t whole = 0;
    IwGetDataLen(IW_ROW_DKC, 1, copy, &whole);
    const uint8_t *payload = IwGetData(IW_ROW_DKC, 0, copy);
    uint32_t n = whole >= MSG_PREFIX ? GetBe16(copy + MSG_PAYLOAD_LEN) : 0;
    if (!payload || whole < MSG_PREFIX || n < PL_SEG || n > whole - MSG_PREFIX) {
        g_dc.comCnt = 0;
        DcTrace("Invalid Communication. wfunc = %02x", whole >= MSG_PREFIX + PL_SEG ? payload[PL_F] : 0);
        return IW_HANDLED;
    }
    uint8_t f = payload[PL_F];
    uint32_t segLen = n - PL_SEG;
    uint8_t *seg = (uint8_t *)malloc(n + 1);
    if (!seg)
        return IW_HANDLED;
    memcpy(seg, payload + PL_SEG, segLen);
    uint32_t k = segLen < g_dc.replyRemaining ? segLen : g_dc.replyRemaining;

    if (g_dc.communicating != 1 || f != g_dc.expectedFc || (f != FC_PASS && segLen < SEG_MIN) ||
        (f == FC_PASS && g_dc.comCnt <= 1 && segLen < SEG_MIN)) {
        g_dc.comCnt = 0;
        DcTrace("Invalid Communication. wfunc = %02x", f);
    } else if (f == FC_PASS) {
        Count(segLen);
        PassThrough(seg, segLen, k);
    } else if (f == FC_PATH) {
        Count(segLen);
        PathControl(seg, segLen, k);
    } else if (f == FC_READ) {
        Count(segLen);
        DriveRead(seg, segLen, k);
    }
    free(seg);
    return IW_HANDLED;
}
