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
    g_app.comenvSet = 0;
    g_app.checkBypassMode = 0;
    g_app.comArea = AllocArea(&g_app.comAreaMem);
    if (!g_app.comArea) {
        DcTrace("Free Com Area Global Lock Failed.");
        return 0;
    }
    g_app.comRArea = AllocArea(&g_app.comRAreaMem);
    if (!g_app.comRArea) {
        DcTrace("Free ComR Area Global Lock Failed.");
        return 0;
    }
    /* The program's own receive handlers; the session saves them and puts them back. */
    RecvHandlerTable[IW_ROW_DKC][1] = mtp_cdcalbak;
    RecvHandlerTable[IW_ROW_SUB][1] = mtp_cdDDEbak;
    RecvHandlerTable[IW_ROW_AP][1] = mtp_cdDDEbak;
    ComenvParam param = {};
    param.hInstance = uintptr_t(g_app.instance);
    param.hwndOwner = uintptr_t(g_app.mainWnd);
    param.apId = APP_ID;
    if (CMSETComenv(&param) != CM_OK) {
        DcTrace("mtp_cSet_COMENV Failed.");
        return 0;
    }
    g_app.comenvSet = 1;
    return 1;
}

int CloseCommunication()
{
    if (g_app.comenvSet == 1) {
        DcTrace("bf del comenv----->");
        CMDELComend();
        DcTrace("af del comenv------->");
        g_app.comenvSet = 0;
    }
    FreeArea(&g_app.comAreaMem, &g_app.comArea);
    FreeArea(&g_app.comRAreaMem, &g_app.comRArea);
    return 1;
}

/* ---- the waiting dialog ---- */

const char *DriveUnderTestName()
{
    uint32_t unit = g_app.unitCursor < UNIT_LIST_LEN ? g_app.unitList[g_app.unitCursor] : uint32_t(UNIT_NONE);
    if (unit >= UNIT_COUNT)
        return " ";
    for (uint32_t row = 0; row < ROW_COUNT; row++)
        if (g_app.rowSelected[row] == 1)
            return g_app.driveTable[unit][row].name;
    return g_app.driveTable[unit][0].name;
}

void BlinkStatus(HWND dlg)
{
    if (g_app.blinkOn != 1) {
        SetDlgItemTextA(dlg, IDC_COM_STATUS, g_app.statusText);
        g_app.blinkOn = 1;
    } else {
        SetDlgItemTextA(dlg, IDC_COM_STATUS, "");
        g_app.blinkOn = 0;
    }
}

static INT_PTR ComInit(HWND dlg, WPARAM, LPARAM)
{
    SetFocus(dlg);
    if (g_app.stopRequested == 1)
        EnableWindow(GetDlgItem(dlg, IDC_COM_STOP), FALSE);
    if (g_app.displayMode == DISPLAY_INTERACTIVE)
        SetDlgItemTextA(dlg, IDC_COM_DRIVE, DriveUnderTestName());
    g_app.blinkOn = 1;
    strcpy(g_app.statusText, kCommunicating);
    SetDlgItemTextA(dlg, IDC_COM_STATUS, g_app.statusText);

    uint8_t *req = g_app.comArea;
    g_app.expectedFc = req[RQ_FC];
    g_app.replyWritePtr = g_app.comRArea;
    g_app.comCnt = 0;
    g_app.comTicks = 0;
    g_app.waitTimedOut = 0;
    g_app.replyRemaining = REPLY_LEN;

    DcTrace("Com Trace FC=%02x FD=%02x MainMP=%04x SubMP=%04x", req[RQ_FC], req[RQ_FD], g_app.mainMp,
            g_app.subMp);
    uint32_t len = req[RQ_FC] == FC_PASS ? TRANSFER_LEN_83 : TRANSFER_LEN;
    int32_t rc = mtp2_iwtrn_300(0, g_app.mainMp, g_app.subMp, uint16_t(req[RQ_FD] << 8 | req[RQ_FC]),
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
    } else if (id == TIMER_COM && ++g_app.comTicks >= g_app.comTimeout) {
        g_app.waitTimedOut = 1;
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
    if (g_app.debugMode == 1) {
        g_app.cancelFlag = 1;
        PostMessageA(dlg, WM_COMEND, 0, 0);
    } else {
        g_app.stopRequested = 1;
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
    g_app.commDialog = dlg;
    return Dispatch(kComMsgs, std::size(kComMsgs), dlg, msg, wp, lp);
}

/* Up to three attempts of one command; main thread. */
int SendCommand(HINSTANCE instance, HWND owner, uint16_t mainMp, uint16_t subMp, uint16_t timeout,
                uint16_t *status)
{
    g_app.endSegmentSeen = 0;
    g_app.cancelFlag = 0;
    uint16_t result = COM_TIMED_OUT;
    for (uint32_t attempt = 0; attempt < ATTEMPTS; attempt++) {
        g_app.mainMp = mainMp;
        g_app.subMp = subMp;
        g_app.comTimeout = timeout;
        g_app.dataComplete = 0;
        g_app.kipdevSize = 0;
        g_app.communicating = 1;
        UINT tmpl = g_app.displayMode == DISPLAY_INTERACTIVE ? IDD_COM_WAIT
                  : g_app.displayMode == DISPLAY_AUTOMATIC ? IDD_HIDDEN_WAIT : 0;
        if (tmpl)
            DialogBoxParamA(instance, MAKEINTRESOURCEA(tmpl), owner, ComDlgProc, 0);
        g_app.communicating = 0;
        result = COM_DONE;
        if (g_app.waitTimedOut) {
            result = COM_TIMED_OUT;
            g_app.waitTimedOut = 0;
        }
        if (g_app.cancelFlag) {
            result = COM_CANCELLED;
            g_app.cancelFlag = 0;
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

static void PostComEnd() { PostMessageA(g_app.commDialog, WM_COMEND, 0, 0); }

/* Room left in the reply buffer from the write position. */
static uint32_t RoomLeft()
{
    uint8_t *p = g_app.replyWritePtr;
    if (!g_app.comRArea || p < g_app.comRArea || p >= g_app.comRArea + REPLY_LEN)
        return 0;
    return uint32_t(g_app.comRArea + REPLY_LEN - p);
}

static void CopyReply(const uint8_t *from, uint32_t len)
{
    uint32_t room = RoomLeft();
    if (len > room)
        len = room;
    if (len)
        memcpy(g_app.replyWritePtr, from, len);
}

static uint32_t HostU32(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

static void PassThrough(const uint8_t *seg, uint32_t segLen, uint32_t k)
{
    if (g_app.comCnt <= 1) {
        g_app.comResult = segLen >= 8 ? HostU32(seg + 4) : 0;
        /* A first segment shorter than its head carries no reply data. */
        uint32_t data = k > FIRST_SEG_HEAD ? k - FIRST_SEG_HEAD : 0;
        if (data)
            CopyReply(seg + FIRST_SEG_HEAD, data);
        DcTrace("_fmemcpy2 clear ComCnt=%d MaxLen=%d ResLen=%d HikuLen=%d WkLen=%d RC=%08lx",
                int(g_app.comCnt), int(REPLY_LEN), int(g_app.replyRemaining), int(k) - int(FIRST_SEG_HEAD),
                int(segLen), (unsigned long)g_app.comResult);
        g_app.comResult = 0;
        k = data;
    } else {
        CopyReply(seg, k);
    }
    if (k > RoomLeft())
        k = RoomLeft();
    g_app.replyWritePtr = g_app.replyWritePtr + k;
    g_app.replyRemaining = g_app.replyRemaining - k;
    if (g_app.replyRemaining == 0) {
        g_app.comCnt = 0;
        PostComEnd();
    }
}

/* A non-zero return code ends the exchange at once. */
static void TakeReturnCode(const uint8_t *seg)
{
    g_app.comResult = HostU32(seg + 4);
    if (g_app.comResult != 0) {
        g_app.endSegmentSeen = 0;
        g_app.comCnt = 0;
        PostComEnd();
    }
}

static void PathControl(const uint8_t *seg, uint32_t segLen, uint32_t k)
{
    TakeReturnCode(seg);
    if (seg[3] == SEG_DATA) {
        CopyReply(seg, k);
        DcTrace("kipdev size = %d", int(k));
        if (g_app.checkBypassMode == 1 && segLen >= 20) {
            uint32_t mask = GetBe32(seg + 16);
            if (mask != 0) {
                uint16_t cr = GetBe16(seg + 8);
                uint32_t c = cr >> 8, r = cr & 0xFF;
                DcTrace("Check Bypass ->CR#=%04x", cr);
                if (c >= UNIT_COUNT)
                    DcTrace("Check Bypass ->Invalid C# CR#=%04x", cr);
                else if (r >= ROW_COUNT)
                    DcTrace("Check Bypass ->Invalid R# CR#=%04x", cr);
                else
                    g_app.bypassBitmap[r] |= 0x80000000u >> c;
            }
        }
    } else if (seg[3] == SEG_END) {
        g_app.endSegmentSeen = 1;
    }
    if (g_app.comCnt >= 2 && g_app.endSegmentSeen == 1) {
        g_app.endSegmentSeen = 0;
        g_app.comCnt = 0;
        PostComEnd();
    }
}

static void DriveRead(const uint8_t *seg, uint32_t segLen, uint32_t k)
{
    TakeReturnCode(seg);
    if (seg[3] == SEG_DATA) {
        if (g_app.kipdevSize == 0 && segLen >= 12)
            g_app.kipdevSize = GetBe16(seg + 10);
        CopyReply(seg, k);
        DcTrace("kipdev size = %d DATA LEN:%d", int(g_app.kipdevSize), int(k));
        if (k >= g_app.kipdevSize || k >= RoomLeft()) {
            g_app.replyWritePtr = g_app.comRArea;
            g_app.kipdevSize = 0;
            g_app.dataComplete = 1;
        } else {
            g_app.replyWritePtr = g_app.replyWritePtr + k;
            g_app.kipdevSize = g_app.kipdevSize - k;
        }
    } else if (seg[3] == SEG_END) {
        g_app.endSegmentSeen = 1;
    }
    if (g_app.endSegmentSeen == 1 && g_app.dataComplete == 1) {
        g_app.endSegmentSeen = 0;
        g_app.comCnt = 0;
        PostComEnd();
    }
}

/* Assembles one reply message into ComRArea and posts WM_COMEND to the waiting dialog once the
 * reply is complete. Nothing in a message is trusted: a payload length that the copy does not
 * hold, or a segment too short for its head, is dropped as invalid. Receive thread. */
uint32_t WINAPI mtp_cdcalbak(IwMsgDesc *msg)
{
    g_app.comCnt = int16_t(g_app.comCnt + 1);
    uint8_t *copy = msg ? msg->data : nullptr;
    uint32_t whole = 0;
    IwGetDataLen(IW_ROW_DKC, 1, copy, &whole);
    const uint8_t *payload = IwGetData(IW_ROW_DKC, 0, copy);
    uint32_t n = whole >= PREFIX_LEN ? GetBe16(copy + 6) : 0;
    if (!payload || whole < PREFIX_LEN || n < 2 || n > whole - PREFIX_LEN) {
        g_app.comCnt = 0;
        DcTrace("Invalid Communication. wfunc = %02x", whole >= PREFIX_LEN + 2 ? payload[1] : 0);
        return IW_HANDLED;
    }
    uint8_t f = payload[1];
    uint32_t segLen = n - 2;
    uint8_t *seg = (uint8_t *)malloc(n + 1);
    if (!seg)
        return IW_HANDLED;
    memcpy(seg, payload + 2, segLen);
    uint32_t k = segLen < g_app.replyRemaining ? segLen : g_app.replyRemaining;

    if (g_app.communicating != 1 || f != g_app.expectedFc || (f != FC_PASS && segLen < 8) ||
        (f == FC_PASS && g_app.comCnt <= 1 && segLen < 8)) {
        g_app.comCnt = 0;
        DcTrace("Invalid Communication. wfunc = %02x", f);
    } else if (f == FC_PASS) {
        PassThrough(seg, segLen, k);
    } else if (f == FC_PATH) {
        PathControl(seg, segLen, k);
    } else if (f == FC_READ) {
        DriveRead(seg, segLen, k);
    }
    free(seg);
    return IW_HANDLED;
}
