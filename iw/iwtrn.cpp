/* Messaging layer: the transfer of one message into another application's DATA mapping, with
 * the handshake over its SEND mutex and its RECV, SEND and RECV_OK events, and the three send
 * entries. Runs on the caller's thread and keeps that thread's windows alive while it waits. */
#include "iw/iw.h"
#include "base/bytes.h"
#include "svclib/mtpsvc.h"
#include <string.h>

/* Low byte of the route argument. */
enum : uint32_t { ROUTE_DKC = 0, ROUTE_SUB = 1, ROUTE_FIXED_0A = 3 };
enum : int { PW_SIGNALLED, PW_FAILED, PW_QUIT };
enum : int { STAGE_MUTEX, STAGE_RECV, STAGE_RECV_OK };

/* One transfer: what the caller gave and the destination's object names. */
struct Xfer {
    const char     *own;
    uint16_t        kind;               /* trace kind of the steps */
    char            dest[IW_APID_LEN];
    uint16_t        destNo;
    char            mutexName[IW_NAME_LEN];
    char            recvName[IW_NAME_LEN];
    char            sendName[IW_NAME_LEN];
    char            dataName[IW_NAME_LEN];
    char            recvOkName[IW_NAME_LEN];
    uint32_t        route;
    const BitmapMP *target1;
    const BitmapMP *target2;
    uint16_t        func;
    const void     *data;
    uint32_t        dataLen;
    const IwExtra  *extra;
    uint16_t        extraLen;
    uint32_t        tag;
    int             quit;               /* a WM_QUIT ended a wait */
};

static unsigned long HandleText(HANDLE h) { return (unsigned long)(uintptr_t)h; }

/* Line for a stage whose budget is spent. */
static void TraceSpent(const Xfer *x, int stage, DWORD start, DWORD spent)
{
    if (stage == STAGE_MUTEX)
        IwTrace(x->kind, "Ap-ID(%s) Wait Mutex Timeout !! (%s)(%d)(%d)", x->own, x->mutexName,
                int(start), int(spent));
    else if (stage == STAGE_RECV)
        IwTrace(x->kind, "Ap-ID(%s) Wait Event0 Timeout !! (%s)(%d)(%d)", x->own, x->recvName,
                int(start), int(spent));
    else
        IwTrace(x->kind, "Ap-ID(%s) Wait Event0 Timeout !! (%s)(0x%08lx)(%d)", x->own,
                x->recvOkName, (unsigned long)start, int(spent));
}

/* Line(s) for a stage whose wait timed out. */
static void TraceTimedOut(const Xfer *x, int stage)
{
    if (stage == STAGE_MUTEX) {
        IwTrace(x->kind, "Ap-ID(%s) Iwtrn Wait Mutex Timeout !! (%s)", x->own, x->mutexName);
    } else if (stage == STAGE_RECV) {
        IwTrace(x->kind, "Ap-ID(%s) Iwtrn Wait Event0 Timeout !! (%s)(%d)", x->own, x->recvName,
                int(WAIT_TIMEOUT));
    } else {
        IwTrace(x->kind, "Ap-ID(%s) Iwtrn Wait Event1 Timeout !! (%s)(%d)", x->own,
                x->recvOkName, int(WAIT_TIMEOUT));
        IwTrace(IW_KIND_REPLY_ERR, "Ap-ID(%s) Iwtrn Wait Event1 Timeout !! (%s)(%d)", x->own,
                x->recvOkName, int(WAIT_TIMEOUT));
    }
}

/* Waits for h, dispatching the thread's messages, for at most one stage budget counted from
 * start (noted before the stage's wait line). Returns PW_SIGNALLED, PW_FAILED or PW_QUIT (the
 * WM_QUIT is consumed). Caller's thread. */
static int PumpedWait(const Xfer *x, int stage, HANDLE h, DWORD start)
{
    const DWORD limit = MtpScaleMs(IW_STAGE_MS);
    MSG msg;
    DWORD r, err, spent;
    unsigned at;
    int first = 1;
    for (;;) {
        /* An object that is signalled already wins over input in MsgWaitForMultipleObjects
         * too; looking at it first saves the costlier call in the common case. */
        r = WAIT_TIMEOUT;
        if (first) {
            at = __LINE__, r = WaitForSingleObject(h, 0);
            first = 0;
        }
        if (r == WAIT_TIMEOUT) {
            spent = GetTickCount() - start;
            if (spent >= limit) {
                TraceSpent(x, stage, start, spent);
                return PW_FAILED;
            }
            at = __LINE__, r = MsgWaitForMultipleObjects(1, &h, FALSE, limit, IW_WAKE_MASK);
        }
        if (r == WAIT_OBJECT_0 + 1) {
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (stage == STAGE_RECV_OK)
                    IwTrace(x->kind, "Ap-ID(%s) On Message(0x%08lx) !! (%s)(%d)(0x%08lx)",
                            x->own, (unsigned long)msg.message, x->recvOkName, 1, HandleText(h));
                if (msg.message == WM_QUIT)
                    return PW_QUIT;
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            continue;
        }
        if (r == WAIT_OBJECT_0)
            return PW_SIGNALLED;
        if (r == WAIT_ABANDONED_0 && stage == STAGE_MUTEX) {
            /* The holder ended without giving it back: it is ours now, and released once. */
            IwTrace(x->kind, "Ap-ID(%s) Iwtrn Mutex Abandoned !! (%s)", x->own, x->mutexName);
            return PW_SIGNALLED;
        }
        if (r == WAIT_FAILED) {
            err = GetLastError();
            IwTraceSysError(x->kind, at, err);
            if (stage == STAGE_RECV_OK)
                IwTraceSysError(IW_KIND_REPLY_ERR, at, err);
            return PW_FAILED;
        }
        if (r == WAIT_TIMEOUT) {
            TraceTimedOut(x, stage);
            return PW_FAILED;
        }
    }
}

/* Writes the block into the view: header, extra part, data part. */
static DWORD FillBlock(const Xfer *x, uint8_t *view)
{
    IwHeader h;
    memset(&h, 0, sizeof h);
    h.kind = uint16_t(x->route);
    h.from = g_iw.ownApNo;
    h.to = x->destNo;
    h.func = x->func;
    h.target1 = *x->target1;
    h.target2 = *x->target2;
    h.dataLen = x->dataLen;
    h.tag = x->tag;
    h.extraLen = x->extraLen;
    h.sentAt = GetTickCount();
    memcpy(view, &h, HDR_SIZE);
    if (x->extraLen)
        memcpy(view + HDR_SIZE, x->extra->data, x->extraLen);
    memcpy(view + HDR_SIZE + x->extraLen, x->data, x->dataLen);
    return h.sentAt;
}

/* One pass of the handshake. Returns 0 or -1; sets x->quit when a WM_QUIT ended a wait (the
 * result is then 0). Holds nothing afterwards. Caller's thread. */
static int32_t OnePass(Xfer *x)
{
    const uint64_t need = HDR_SIZE + uint64_t(x->extraLen) + x->dataLen;
    HANDLE mutex = nullptr, recv = nullptr, recvOk = nullptr, send = nullptr, map = nullptr;
    uint8_t *view = nullptr;
    int held = 0, w;
    int32_t result = IW_FAIL;
    DWORD start, sentAt, err;
    unsigned at;
    MEMORY_BASIC_INFORMATION mbi;

    memset(&mbi, 0, sizeof mbi);

    at = __LINE__, mutex = IwCreateMutex(FALSE, x->mutexName);
    if (!mutex) {
        IwTraceSysError(x->kind, at, GetLastError());
        goto done;
    }
    IwTrace(x->kind, "Ap-ID(%s) Iwtrn Wait %s!!", x->own, x->mutexName);
    start = GetTickCount();
    IwTrace(x->kind, "Ap-ID(%s) MsgWaitForMultipleObjects !! (%s)", x->own, x->mutexName);
    w = PumpedWait(x, STAGE_MUTEX, mutex, start);
    if (w == PW_QUIT)
        goto quit;
    if (w != PW_SIGNALLED)
        goto done;
    held = 1;
    IwTrace(x->kind, "Ap-ID(%s) Iwtrn On %s!! (%d)", x->own, x->mutexName, 0);
    IwTrace(IW_KIND_COMMON, "Ap-ID(%s) %s ON!!(%d)", x->own, x->mutexName, 0);

    at = __LINE__, recv = IwCreateEvent(TRUE, FALSE, x->recvName);
    if (!recv) {
        IwTraceSysError(x->kind, at, GetLastError());
        goto done;
    }
    IwTrace(x->kind, "Ap-ID(%s) Iwtrn Wait %s(%08lx)!!", x->own, x->recvName, HandleText(recv));
    start = GetTickCount();
    IwTrace(x->kind, "Ap-ID(%s) MsgWaitForMultipleObjects !! (%s)", x->own, x->recvName);
    w = PumpedWait(x, STAGE_RECV, recv, start);
    if (w == PW_QUIT)
        goto quit;
    if (w != PW_SIGNALLED)
        goto done;
    IwTrace(x->kind, "Ap-ID(%s) Iwtrn Event0 OK !! (%s)(%d)", x->own, x->recvName, 0);

    at = __LINE__, recvOk = IwCreateEvent(TRUE, FALSE, x->recvOkName);
    err = GetLastError();
    IwTrace(x->kind, "Ap-ID(%s) CreateEvent!! (%s)(0x%08lx)", x->own, x->recvOkName,
            HandleText(recvOk));
    if (!recvOk) {
        IwTraceSysError(x->kind, at, err);
        goto done;
    }

    at = __LINE__, map = IwCreateMapping(INVALID_HANDLE_VALUE, PAGE_READWRITE, DWORD(need >> 32),
                                         DWORD(need), x->dataName);
    if (!map) {
        IwTraceSysError(x->kind, at, GetLastError());
        goto done;
    }
    IwTrace(x->kind, "Ap-ID(%s) Create OK %s!! ", x->own, x->dataName);
    at = __LINE__, view = (uint8_t *)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (!view) {
        IwTraceSysError(x->kind, at, GetLastError());
        goto done;
    }
    /* A mapping of this name left over from an earlier transfer keeps its earlier size. */
    if (!VirtualQuery(view, &mbi, sizeof mbi) || mbi.RegionSize < need) {
        IwTrace(x->kind, "Ap-ID(%s) Iwtrn Size Error !! (%s)(%llu)(%llu)", x->own, x->dataName,
                (unsigned long long)mbi.RegionSize, (unsigned long long)need);
        goto done;
    }
    memset(view, 0, mbi.RegionSize);
    sentAt = FillBlock(x, view);

    IwTrace(x->kind, "Ap-ID(%s) CreateEvent!! (%s)(0x%08lx)", x->own, x->sendName,
            (unsigned long)sentAt);
    at = __LINE__, send = IwCreateEvent(TRUE, FALSE, x->sendName);
    if (!send) {
        IwTraceSysError(x->kind, at, GetLastError());
        goto done;
    }
    if (at = __LINE__, !SetEvent(send))
        IwTraceSysError(x->kind, at, GetLastError());
    CloseHandle(send);
    send = nullptr;

    IwTrace(x->kind, "Ap-ID(%s) Iwtrn CreateEvent !! (%s)", x->own, x->recvOkName);
    IwTrace(x->kind, "Ap-ID(%s) Iwtrn Wait !! (%s)", x->own, x->recvOkName);
    start = GetTickCount();
    IwTrace(x->kind, "Ap-ID(%s) MsgWaitForMultipleObjects !! (%s),(0x%08lx)", x->own,
            x->recvOkName, HandleText(recvOk));
    w = PumpedWait(x, STAGE_RECV_OK, recvOk, start);
    if (w == PW_QUIT)
        goto quit;
    if (w != PW_SIGNALLED)
        goto done;
    IwTrace(x->kind, "Ap-ID(%s) Iwtrn Wait OK !! (%s)(%d)", x->own, x->recvOkName, 0);
    result = IW_OK;
    goto done;

quit:
    /* The quit ends the transfer as it stands, without a retry. */
    x->quit = 1;
    result = IW_OK;
done:
    IwTrace(IW_KIND_COMMON, "Ap-ID(%s) %s OFF!! ret(%d)", x->own, x->mutexName, int(result));
    if (recvOk)
        ResetEvent(recvOk);
    if (view)
        UnmapViewOfFile(view);
    if (map)
        CloseHandle(map);
    if (mutex) {
        if (held)
            ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    if (recvOk)
        CloseHandle(recvOk);
    if (recv)
        CloseHandle(recv);
    return result;
}

/* Destination chosen by the route: a fixed AP id, or given (null when none was given). */
static const char *RouteDestination(uint32_t route, const char *given)
{
    const uint32_t low = route & 0xFF, modifier = (route >> 8) & 0xFF;
    switch (low) {
    case ROUTE_DKC:
        if (modifier == 0 && strcmp(g_iw.ownApId, IW_APID_08) != 0)
            return IW_APID_09;
        return given;
    case ROUTE_SUB:
        return strcmp(g_iw.ownApId, IW_APID_0A) == 0 ? given : IW_APID_0A;
    case ROUTE_FIXED_0A:
        return IW_APID_0A;
    default:
        return given;
    }
}

/* Iwtrn with or without the routing table. */
static int32_t Transfer(uint32_t route, const BitmapMP *target1, const BitmapMP *target2,
                        uint16_t func, char *destination, const void *data, uint32_t sdlenw,
                        const IwExtra *extra, uint32_t tag, int applyRouting)
{
    Xfer x;
    char given[IW_APID_LEN];
    uint16_t givenNo = 0;
    const char *dest;
    int32_t result = IW_FAIL;

    memset(&x, 0, sizeof x);
    x.own = g_iw.ownApId;
    x.kind = uint16_t(IW_KIND_TRN + g_iw.ownApNo);
    if (sdlenw == 0) {
        IwTrace(x.kind, "Ap-ID(%s) Length Error !! sdlenw=%x", x.own, unsigned(sdlenw));
        goto done;
    }
    if (!data || !target1 || !target2 || (extra && extra->len && !extra->data)) {
        IwTrace(x.kind, "Ap-ID(%s) Iwtrn Argument Error !! sdlenw=%x", x.own, unsigned(sdlenw));
        goto done;
    }
    if ((route & 0xFFFF) == 0)
        HistTrn(target1, func, data, sdlenw);
    x.extraLen = extra ? extra->len : 0;
    if (destination) {
        if (!IwNormaliseApId(destination, given, &givenNo)) {
            IwTrace(x.kind, "Ap-ID(%s) Iwtrn APID Error !! (%.8s)", x.own, destination);
            goto done;
        }
        /* Only a text that changes is written: callers may pass a constant "05". */
        if (strcmp(destination, given) != 0)
            memcpy(destination, given, 3);
    }
    IwTrace(x.kind, "Ap-ID(%s) Iwtrn Start !! to APID(%s)", x.own,
            destination ? destination : "(null)");
    dest = destination ? given : nullptr;
    if (applyRouting)
        dest = RouteDestination(route, dest);
    if (!dest) {
        IwTrace(x.kind, "Ap-ID(%s) Iwtrn No Destination !!", x.own);
        goto done;
    }
    IwNormaliseApId(dest, x.dest, &x.destNo);
    IwFormatName(x.mutexName, IW_FMT_MUTEX, x.dest);
    IwFormatName(x.recvName, IW_FMT_RECV, x.dest);
    IwFormatName(x.sendName, IW_FMT_SEND, x.dest);
    IwFormatName(x.dataName, IW_FMT_DATA, x.dest);
    IwFormatName(x.recvOkName, IW_FMT_RECV_OK, x.dest);
    IwTrace(x.kind, "Ap-ID(%s) Iwtrn CHK %s !!", x.own, x.recvName);
    x.route = route;
    x.target1 = target1;
    x.target2 = target2;
    x.func = func;
    x.data = data;
    x.dataLen = sdlenw;
    x.extra = extra;
    x.tag = tag;

    g_iw.retryCount = 0;
    for (;;) {
        x.quit = 0;
        result = OnePass(&x);
        if (result >= 0 || x.quit) {
            IwTrace(x.kind, "Ap-ID(%s) Iwtrn End 1 !! ret(0x%08lx)", x.own, (unsigned long)result);
            break;
        }
        IwTrace(x.kind, "Ap-ID(%s) Iwtrn Retry !! ret(0x%08lx)", x.own, (unsigned long)result);
        g_iw.retryCount++;
        if (g_iw.retryCount >= IW_PASSES)
            break;
    }
done:
    IwTrace(x.kind, "Ap-ID(%s) Iwtrn End 2 !! ret(0x%08lx)", x.own, (unsigned long)result);
    return result;
}

int32_t Iwtrn(uint32_t route, const BitmapMP *target1, const BitmapMP *target2, uint16_t func,
              char *destination, uint32_t, const void *data, uint32_t sdlenw,
              const IwExtra *extra, uint32_t tag)
{
    return Transfer(route, target1, target2, func, destination, data, sdlenw, extra, tag, 1);
}

int32_t IwTransferTo(uint32_t route, const BitmapMP *target1, const BitmapMP *target2,
                     uint16_t func, char *destination, const void *data, uint32_t sdlenw,
                     const IwExtra *extra, uint32_t tag)
{
    return Transfer(route, target1, target2, func, destination, data, sdlenw, extra, tag, 0);
}

/* Both targets all 0xFF but their MPIDs. */
static void FillMpidTargets(BitmapMP *t1, BitmapMP *t2, uint16_t mpid1, uint16_t mpid2)
{
    memset(t1, 0xFF, sizeof *t1);
    memset(t2, 0xFF, sizeof *t2);
    t1->mpid = mpid1;
    t2->mpid = mpid2;
}

int32_t mtp1_iwtrn(uint32_t route, uint32_t mask1, uint32_t mask2, uint16_t func,
                   char *destination, uint32_t reserved, const void *data, uint32_t length)
{
    BitmapMP t1, t2;
    int32_t r;
    IwTrace(IW_KIND_COMMON, "Ap-ID(%s) mtp1_iwtrn Start !! MPID=0x%04X", g_iw.ownApId,
            unsigned(IW_MPID_NONE));
    mtp_ClearBitmapMP(&t1);
    mtp_ClearBitmapMP(&t2);
    PutLe32(t1.bits, mask1);
    PutLe32(t2.bits, mask2);
    t1.mpid = IW_MPID_NONE;
    t2.mpid = IW_MPID_NONE;
    r = Iwtrn(route, &t1, &t2, func, destination, reserved, data, length & 0xFFFF, nullptr, 0);
    IwTrace(IW_KIND_COMMON, "Ap-ID(%s) mtp1_iwtrn End !! Ret=%x", g_iw.ownApId, unsigned(r));
    return r;
}

int32_t mtp2_iwtrn_300(uint32_t route, uint16_t mpid1, uint16_t mpid2, uint16_t func,
                       char *destination, uint32_t reserved, const void *data, uint32_t length)
{
    BitmapMP t1, t2;
    int32_t r;
    IwTrace(IW_KIND_COMMON, "Ap-ID(%s) mtp2_iwtrn_300 Start !! MPID=0x%04X", g_iw.ownApId,
            unsigned(mpid1));
    FillMpidTargets(&t1, &t2, mpid1, mpid2);
    r = Iwtrn(route, &t1, &t2, func, destination, reserved, data, length & 0xFFFF, nullptr, 0);
    IwTrace(IW_KIND_COMMON, "Ap-ID(%s) mtp2_iwtrn_300 End !! Ret=%x", g_iw.ownApId, unsigned(r));
    return r;
}

int32_t mtpi2_iwtrn_300(uint32_t route, uint16_t mpid1, uint16_t mpid2, uint16_t func,
                        char *destination, uint32_t reserved, const void *data, uint32_t length,
                        const IwExtra *extra, uint32_t tag)
{
    BitmapMP t1, t2;
    int32_t r;
    IwTrace(IW_KIND_COMMON, "Ap-ID(%s) mtpi2_iwtrn_300 Start !! MPID=0x%04X", g_iw.ownApId,
            unsigned(mpid1));
    FillMpidTargets(&t1, &t2, mpid1, mpid2);
    r = Iwtrn(route, &t1, &t2, func, destination, reserved, data, length, extra, tag);
    IwTrace(IW_KIND_COMMON, "Ap-ID(%s) mtpi2_iwtrn_300 End !! Ret=%x", g_iw.ownApId, unsigned(r));
    return r;
}
