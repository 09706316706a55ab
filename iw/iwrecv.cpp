/* Messaging layer: start and end of this process's messaging, and the receive thread that takes
 * each message out of the own DATA mapping, confirms it and hands the copy to its handler row. */
#include "iw/iw.h"
#include "svclib/mtpsvc.h"
#include <stdio.h>
#include <string.h>

enum : size_t { FAIL_TEXT_BUF = 64 };

/* The receive thread's handles and names. */
struct RecvCtx {
    char     own[IW_APID_LEN];
    uint16_t kind;                    /* thread steps */
    uint16_t trnKind;                 /* start and stop steps */
    char     recvName[IW_NAME_LEN];
    char     endName[IW_NAME_LEN];
    char     sendName[IW_NAME_LEN];
    char     dataName[IW_NAME_LEN];
    char     recvOkName[IW_NAME_LEN];
    HANDLE   recv, recvOk, send, end;
};

static unsigned long HandleText(HANDLE h) { return (unsigned long)(uintptr_t)h; }

static HANDLE RecvThreadNow()
{
    return InterlockedCompareExchangePointer(&g_iw.recvThread, nullptr, nullptr);
}

/* Copies one message out of the DATA mapping and delivers it. Everything in the block comes
 * from another process: its lengths are checked against the view before anything is copied,
 * and a block that does not fit, or whose kind has no handler row, is neither confirmed nor
 * delivered. Receive thread. */
static void TakeMessage(const RecvCtx *c)
{
    HANDLE heap = GetProcessHeap();
    HANDLE map = nullptr;
    const uint8_t *view = nullptr;
    IwHeader head, *headCopy = nullptr;
    uint8_t *dataCopy = nullptr;
    uint64_t blockLen;
    MEMORY_BASIC_INFORMATION mbi;
    IwMsgDesc desc;
    IwRecvProc proc;
    uint32_t r;
    unsigned at;
    int copied = 0, deliverable = 0;

    memset(&mbi, 0, sizeof mbi);
    ResetEvent(c->send);
    IwTrace(IW_KIND_COMMON, "APID(%s) %s File Open !!", c->own, c->dataName);
    at = __LINE__, map = OpenFileMappingA(FILE_MAP_READ, TRUE, c->dataName);
    if (!map) {
        IwTraceSysError(c->kind, at, GetLastError());
        goto done;
    }
    at = __LINE__, view = (const uint8_t *)MapViewOfFile(map, FILE_MAP_READ, 0, 0, 0);
    if (!view) {
        IwTraceSysError(c->kind, at, GetLastError());
        goto done;
    }
    if (!VirtualQuery(view, &mbi, sizeof mbi) || mbi.RegionSize < HDR_SIZE) {
        IwTrace(c->kind, "APID(%s) %s Size Error !! (%llu)", c->own, c->dataName,
                (unsigned long long)mbi.RegionSize);
        goto done;
    }
    memcpy(&head, view, HDR_SIZE);
    IwTrace(c->kind, "APID(%s) %s Open OK !! from AP(%02x)", c->own, c->dataName, head.from);
    blockLen = HDR_SIZE + uint64_t(head.extraLen) + head.dataLen;
    if (blockLen > mbi.RegionSize) {
        IwTrace(c->kind, "APID(%s) %s Length Error !! extra(%u) data(%lu) size(%llu)", c->own,
                c->dataName, unsigned(head.extraLen), (unsigned long)head.dataLen,
                (unsigned long long)mbi.RegionSize);
        goto done;
    }
    if (head.kind >= IW_ROW_COUNT) {
        IwTrace(c->kind, "APID(%s) %s Kind Error !! kind(0x%04x)", c->own, c->dataName,
                unsigned(head.kind));
        goto done;
    }
    at = __LINE__, headCopy = (IwHeader *)HeapAlloc(heap, HEAP_ZERO_MEMORY, HDR_SIZE + head.extraLen);
    if (!headCopy) {
        IwTraceSysError(c->kind, at, ERROR_NOT_ENOUGH_MEMORY);
        goto done;
    }
    memcpy(headCopy, view, HDR_SIZE + head.extraLen);
    g_iw.curHeader = headCopy;
    at = __LINE__, dataCopy = (uint8_t *)HeapAlloc(heap, HEAP_ZERO_MEMORY, head.dataLen);
    if (!dataCopy) {
        IwTraceSysError(c->kind, at, ERROR_NOT_ENOUGH_MEMORY);
    } else {
        memcpy(dataCopy, view + HDR_SIZE + head.extraLen, head.dataLen);
        deliverable = 1;
        IwTrace(c->kind, "APID(%s) %s DATA Copy OK !!(%08lx)", c->own, c->dataName,
                (unsigned long)head.sentAt);
    }
    copied = 1;
done:
    if (view)
        UnmapViewOfFile(view);
    if (map)
        CloseHandle(map);
    if (copied)
        IwTrace(IW_KIND_COMMON, "APID(%s) %s File Close !!", c->own, c->dataName);
    if (deliverable) {
        /* The sender goes on as soon as the copy exists; the handler works on the copy. */
        IwTrace(c->kind, "APID(%s) %s Set RECV OK !!", c->own, c->recvOkName);
        SetEvent(c->recvOk);
        desc.header = headCopy;
        desc.data = dataCopy;
        proc = RecvHandlerTable[head.kind][1];
        at = __LINE__, r = proc ? proc(&desc) : 0;
        if (r != IW_HANDLED)
            IwTraceSysError(c->kind, at, GetLastError());
        IwTrace(c->kind, "APID(%s) Call Back END !! return(%x)", c->own, unsigned(r));
    }
    g_iw.curHeader = nullptr;
    if (headCopy)
        HeapFree(heap, 0, headCopy);
    if (dataCopy)
        HeapFree(heap, 0, dataCopy);
}

/* Creates the own four events and serves messages until END or recvRunning 0; then resets and
 * closes the events and clears recvThread last, so that whoever waits for the thread finds RECV
 * already reset. Receive thread. */
static DWORD WINAPI IwRecvThread(void *)
{
    RecvCtx c;
    HANDLE waits[2], self;
    DWORD r;
    unsigned at = 0;

    memset(&c, 0, sizeof c);
    InterlockedExchange(&g_iw.recvRunning, 1);
    memcpy(c.own, g_iw.ownApId, sizeof c.own);
    c.kind = uint16_t(IW_KIND_RECV + g_iw.ownApNo);
    c.trnKind = uint16_t(IW_KIND_TRN + g_iw.ownApNo);
    IwFormatName(c.recvName, IW_FMT_RECV, c.own);
    IwFormatName(c.endName, IW_FMT_END, c.own);
    IwFormatName(c.sendName, IW_FMT_SEND, c.own);
    IwFormatName(c.dataName, IW_FMT_DATA, c.own);
    IwFormatName(c.recvOkName, IW_FMT_RECV_OK, c.own);

    /* RECV comes last: a sender that finds it signalled must find SEND held by this thread,
     * or its signal would go to an event that vanishes with the sender's handle. RECV may
     * exist unsignalled from a sender that came first: set it once more. */
    if ((at = __LINE__, c.recvOk = IwCreateEvent(TRUE, FALSE, c.recvOkName)) == nullptr ||
        (at = __LINE__, c.send = IwCreateEvent(TRUE, FALSE, c.sendName)) == nullptr ||
        (at = __LINE__, c.end = IwCreateEvent(TRUE, FALSE, c.endName)) == nullptr ||
        (at = __LINE__, c.recv = IwCreateEvent(TRUE, TRUE, c.recvName)) == nullptr ||
        (at = __LINE__, !SetEvent(c.recv))) {
        IwTraceSysError(c.kind, at, GetLastError());
        goto end;
    }
    IwTrace(c.kind, "APID(%s) Start(%s) ,hEvent(0x%08lx),hEventEnd(0x%08lx)", c.own, c.recvName,
            HandleText(c.recv), HandleText(c.end));

    waits[0] = c.send;
    waits[1] = c.end;
    while (InterlockedCompareExchange(&g_iw.recvRunning, 1, 1) == 1) {
        IwTrace(c.kind, "APID(%s) Wait Event %s(%08lx) %s(%08lx)", c.own, c.sendName,
                HandleText(c.send), c.endName, HandleText(c.end));
        at = __LINE__, r = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (r == WAIT_OBJECT_0 + 1) {
            IwTrace(c.kind, "APID(%s) %s ON !! dwRet(0x%08lx)", c.own, c.endName, 1ul);
            break;
        }
        if (r == WAIT_FAILED) {
            /* Only lost handles make this wait fail; waiting again would spin. */
            IwTraceSysError(c.kind, at, GetLastError());
            break;
        }
        if (r == WAIT_OBJECT_0)
            IwTrace(c.kind, "APID(%s) %s ON !! dwRet(%d)", c.own, c.sendName, 0);
        TakeMessage(&c);
    }

end:
    InterlockedExchange(&g_iw.recvRunning, 0);
    IwTrace(c.trnKind, "APID(%s) IwRecvThread End !! ,hEvent(0x%08lx),hFileMutex(0x%08lx)", c.own,
            HandleText(c.send), HandleText(c.end));
    IwTrace(c.kind, "APID(%s) IwRecvThread End !! ,hEvent(0x%08lx),hFileMutex(0x%08lx)", c.own,
            HandleText(c.send), HandleText(c.end));
    IwTrace(c.kind, "APID(%s) hTread(0x%08lx)", c.own, 0ul);
    if (c.recv)
        ResetEvent(c.recv);
    if (c.send)
        ResetEvent(c.send);
    if (c.end)
        ResetEvent(c.end);
    IwTrace(c.kind, "APID(%s) CloseHandle(hEvent) !! ,(0x%08lx)", c.own, HandleText(c.recv));
    if (c.recv)
        CloseHandle(c.recv);
    IwTrace(c.kind, "APID(%s) CloseHandle(hEventSend) !! ,(0x%08lx),hFileMutex(0x%08lx)", c.own,
            HandleText(c.send), HandleText(c.end));
    if (c.send)
        CloseHandle(c.send);
    IwTrace(c.kind, "APID(%s) CloseHandle(hEventEnd) !! ,(0x%08lx)", c.own, HandleText(c.end));
    if (c.end)
        CloseHandle(c.end);
    if (c.recvOk)
        CloseHandle(c.recvOk);
    IwTrace(c.kind, "APID(%s) _endthread() !! ", c.own);
    self = InterlockedExchangePointer(&g_iw.recvThread, nullptr);
    if (self)
        CloseHandle(self);
    return 0;
}

int32_t IwIni(uintptr_t instance, uintptr_t window, const char *apId)
{
    const uint16_t kind = uint16_t(IW_KIND_TRN + g_iw.ownApNo);
    char recvName[IW_NAME_LEN];
    HANDLE t;
    unsigned at;

    IwFormatName(recvName, IW_FMT_RECV, apId);
    t = RecvThreadNow();
    if (!t) {
        /* Started suspended so that recvThread is stored before the thread can clear it. */
        at = __LINE__, t = CreateThread(nullptr, 0, IwRecvThread, nullptr, CREATE_SUSPENDED, nullptr);
        if (!t) {
            IwTraceSysError(kind, at, GetLastError());
            return IW_FAIL;
        }
        InterlockedExchangePointer(&g_iw.recvThread, t);
        IwTrace(kind, "Ap-ID(%s) _beginthread hwnd=%08lx (%08lx)", g_iw.ownApId,
                (unsigned long)window, HandleText(t));
        g_iw.startMark = intptr_t(instance);
        ResumeThread(t);
    } else {
        IwTrace(kind, "Ap-ID(%s) Skip _beginthread hwnd=%08lx (%08lx)", g_iw.ownApId,
                (unsigned long)window, HandleText(t));
    }
    IwTrace(kind, "Ap-ID(%s) IwIni Start Event (%s)", g_iw.ownApId, recvName);
    return IW_OK;
}

/* Takes the receiver's name of an AP id for this process: 0 when another process holds it.
 * Its events and mapping cannot tell a receiver from a sender, which opens them too. A process
 * that holds the name for the same id keeps it. Main thread. */
static int TakeReceiver(const char id[IW_APID_LEN])
{
    char name[IW_NAME_LEN];
    if (g_iw.receiverLock && memcmp(g_iw.ownApId, id, IW_APID_LEN) == 0)
        return 1;
    ReleaseReceiver();
    IwFormatName(name, IW_FMT_RECEIVER, id);
    HANDLE h = CreateMutexA(nullptr, FALSE, name);
    DWORD err = GetLastError();
    if (!h || err == ERROR_ALREADY_EXISTS) {
        if (h)
            CloseHandle(h);
        return 0;
    }
    g_iw.receiverLock = h;
    return 1;
}

void ReleaseReceiver()
{
    if (g_iw.receiverLock)
        CloseHandle(g_iw.receiverLock);
    g_iw.receiverLock = nullptr;
}

int32_t mtp1_iwini(uintptr_t instance, uintptr_t window, const char *apId)
{
    char id[IW_APID_LEN];
    uint16_t no;
    int32_t rc, table;

    if (!IwNormaliseApId(apId, id, &no)) {
        IwTrace(IW_KIND_ERROR, "Ap-ID(%.8s) mtp1_iwini APID Error !!", apId ? apId : "(null)");
        return IW_FAIL;
    }
    if (!TakeReceiver(id)) {
        IwTrace(IW_KIND_ERROR, "Ap-ID(%s) mtp1_iwini Receiver Exists !!", id);
        return IW_FAIL;
    }
    g_iw.apInstance = instance;
    g_iw.apWindow = window;
    memcpy(g_iw.ownApId, id, sizeof id);
    g_iw.ownApNo = no;
    g_iw.endMark = 0;
    g_iw.startMark = -1;
    HistIni(instance, window);
    IwTrace(IW_KIND_INFO, "Ap-ID(%s) mtp1_iwini Start !!", g_iw.ownApId);
    rc = IwIni(instance, window, g_iw.ownApId);
    if (rc != IW_OK)
        IwTrace(IW_KIND_ERROR, "Ap-ID(%s) IwIni Err 00 ,RC = %x", g_iw.ownApId, unsigned(rc));
    g_iw.endMark = g_iw.startMark;
    table = IwFillLayoutTable();
    if (table != IW_OK) {
        IwTrace(IW_KIND_ERROR, "Ap-ID(%s) IwIni Err 03 ,RC = %x", g_iw.ownApId, unsigned(table));
        return table;
    }
    IwTrace(IW_KIND_INFO, "Ap-ID(%s) mtp1_iwini END !!", g_iw.ownApId);
    g_iw.apWindow = window;
    return rc;
}

int32_t IwEnd()
{
    const uint16_t kind = uint16_t(IW_KIND_TRN + g_iw.ownApNo);
    char endName[IW_NAME_LEN];
    HANDLE end;
    unsigned at;

    InterlockedExchange(&g_iw.recvRunning, 0);
    if (RecvThreadNow()) {
        IwFormatName(endName, IW_FMT_END, g_iw.ownApId);
        at = __LINE__, end = IwCreateEvent(TRUE, FALSE, endName);
        if (!end) {
            IwTraceSysError(kind, at, GetLastError());
            return IW_FAIL;
        }
        SetEvent(end);
        for (uint32_t i = 1; i <= IW_END_POLLS && RecvThreadNow(); i++) {
            IwTrace(kind, "Ap-ID(%s) Thread End Wait hwnd=%08lx (%08lx)", g_iw.ownApId,
                    (unsigned long)g_iw.apWindow, HandleText(RecvThreadNow()));
            Sleep(MtpScaleMs(IW_END_POLL_MS));
            if (i == IW_END_POLLS) {
                IwTrace(kind, "P_ID(%s) Thread End TimeOut hwnd=%08lx (%08lx)", g_iw.ownApId,
                        (unsigned long)g_iw.apWindow, HandleText(RecvThreadNow()));
                break;
            }
            SetEvent(end);
        }
        CloseHandle(end);
    }
    IwTrace(kind, "Ap-ID(%s) IwEnd hwnd=%08lx (%08lx)", g_iw.ownApId,
            (unsigned long)g_iw.apWindow, HandleText(RecvThreadNow()));
    return IW_OK;
}

int32_t iwend()
{
    const uint16_t kind = uint16_t(IW_KIND_TRN + g_iw.ownApNo);
    char text[FAIL_TEXT_BUF];
    int32_t rc = IW_OK;

    IwTrace(IW_KIND_INFO, "Ap-ID(%s) iwend Start !! inst=%08lx,work=%08lx", g_iw.ownApId,
            (unsigned long)g_iw.startMark, (unsigned long)g_iw.endMark);
    if (g_iw.startMark != g_iw.endMark) {
        /* An end without a matching start, such as a second iwend. */
        IwTrace(IW_KIND_ERROR, "Ap-ID(%s) iwend skip !! ", g_iw.ownApId);
        snprintf(text, sizeof text, "APID(%s) (%x),(%x)", g_iw.ownApId, unsigned(g_iw.startMark),
                 unsigned(g_iw.endMark));
        IwTrace(IW_KIND_ERROR, "%s", text);
        if (g_iw.endMark != 0)
            WriteFailureRecord(text, FAIL_VALUE_IWEND, 0, 0);
    } else {
        IwTrace(kind, "Ap-ID(%s) Call IwEnd !!", g_iw.ownApId);
        rc = IwEnd();
        if (rc != IW_OK)
            IwTrace(IW_KIND_ERROR, "APID(%s) IwEnd err 00 rc = (%x)", g_iw.ownApId, unsigned(rc));
        IwTrace(kind, "Ap-ID(%s) return IwEnd !!", g_iw.ownApId);
        g_iw.startMark = -1;
        HistEnd();
        g_iw.apWindow = 0;
        g_iw.apInstance = 0;
    }
    ReleaseReceiver();
    IwTrace(IW_KIND_INFO, "Ap-ID(%s) iwend END !! ", g_iw.ownApId);
    return rc;
}
