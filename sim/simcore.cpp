/* Simulated peers: command line, quit event, the queue between the receive thread and the main
 * thread, the main thread's loop, scaled waits, trace lines and bounded profile reads. */
#include "sim/sim.h"
#include "svclib/mtpsvc.h"
#include "svclib/subsys.h"
#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The core's state. quit, work and traceKind are set before the receive thread starts and only
 * read afterwards; the queue fields are guarded by lock. */
struct SimCore {
    HANDLE           quit, work;
    HANDLE           room;            /* set when the main thread takes a message */
    volatile LONG    closing;         /* the main loop has ended: nothing takes messages */
    CRITICAL_SECTION lock;
    SimMsg          *head, *tail;     /* lock */
    uint32_t         count;           /* lock */
    uint16_t         rowMask;
    uint16_t         traceKind;
    const char      *name;
};
static SimCore g_simCore;
enum : DWORD { ROOM_POLL_MS = 100 };

void SimInit(const char *apId, const char *name)
{
    char own[IW_APID_LEN];
    uint16_t apNo = 0;
    g_simCore.name = name;
    if (IwNormaliseApId(apId, own, &apNo))
        g_simCore.traceKind = uint16_t(SIM_TRACE_BASE + apNo);
}

void SimTrace(const char *fmt, ...)
{
    char text[SIM_TRACE_LEN];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    WriteTraceLog(0, g_simCore.traceKind, text);
}

int SimApIdText(uint16_t apNo, char out[IW_APID_LEN])
{
    if (apNo > IW_APNO_MAX)
        return 0;
    snprintf(out, IW_APID_LEN, "%02X", unsigned(apNo));
    return 1;
}

int SimParseNum(const char *text, int base, uint32_t max, uint32_t *out)
{
    const char *s = text;
    char *end = nullptr;
    unsigned long long v;
    while (*s == ' ' || *s == '\t')
        s++;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    /* strtoull takes signs and blanks of its own; only digits are numbers here. */
    if (!isxdigit((unsigned char)*s))
        return 0;
    v = strtoull(s, &end, base);
    if (end == s)
        return 0;
    while (*end == ' ' || *end == '\t')
        end++;
    if (*end != '\0' || v > max)
        return 0;
    *out = uint32_t(v);
    return 1;
}

int SimParseArgs(int argc, char **argv, const char *apId, SimArgs *a)
{
    uint32_t v;
    snprintf(a->quitEvent, sizeof a->quitEvent, SIM_QUIT_FMT, apId);
    a->lifetimeS = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--quit-event") == 0 && i + 1 < argc) {
            size_t n = strlen(argv[++i]);
            if (n == 0 || n >= sizeof a->quitEvent)
                return 0;
            memcpy(a->quitEvent, argv[i], n + 1);
        } else if (strcmp(argv[i], "--lifetime") == 0 && i + 1 < argc) {
            if (!SimParseNum(argv[++i], 10, SIM_LIFETIME_MAX, &v))
                return 0;
            a->lifetimeS = v;
        } else {
            return 0;
        }
    }
    return 1;
}

int SimIniText(const char *path, const char *sect, const char *key, char *buf, uint32_t len)
{
    DWORD n;
    if (!path || len < 2)
        return 0;
    n = GetPrivateProfileStringA(sect, key, "", buf, len, path);
    /* A value that filled the buffer may have been cut: it does not count. */
    if (n == 0 || n >= len - 1) {
        buf[0] = '\0';
        return 0;
    }
    return 1;
}

int SimDescPath(char *buf, uint32_t len, int *exists)
{
    uint16_t ec;
    DWORD attr;
    if (!SubsysGetPath(buf, int(len), &ec))
        return 0;
    attr = GetFileAttributesA(buf);
    *exists = attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
    return 1;
}

int SimQuitSet()
{
    return g_simCore.quit && WaitForSingleObject(g_simCore.quit, 0) == WAIT_OBJECT_0;
}

int SimWaitReal(uint32_t ms)
{
    if (ms == 0)
        return !SimQuitSet();
    return WaitForSingleObject(g_simCore.quit, ms) != WAIT_OBJECT_0;
}

int SimSleep(uint32_t ms)
{
    return SimWaitReal(MtpScaleMs(ms));
}

/* Receive handler of every row: copies a message of a served row into the queue and wakes the
 * main thread. The copy's length is the smaller of the header's and the heap block's. Receive
 * thread. */
static uint32_t WINAPI SimRecv(IwMsgDesc *msg)
{
    const IwHeader *h = msg ? msg->header : nullptr;
    SimMsg *m = nullptr;
    SIZE_T heapLen;
    uint32_t len;
    uint16_t kind;
    int queued = 0;

    if (!h || !msg->data) {
        SimTrace("%s RECV empty message dropped", g_simCore.name);
        return IW_HANDLED;
    }
    kind = h->kind;
    len = h->dataLen;
    heapLen = HeapSize(GetProcessHeap(), 0, msg->data);
    if (heapLen != SIZE_T(-1) && heapLen < len)
        len = uint32_t(heapLen);
    if (kind >= IW_ROW_COUNT || !(g_simCore.rowMask & (1u << kind))) {
        SimTrace("%s RECV kind %u from %02X not served, dropped", g_simCore.name, unsigned(kind),
                 unsigned(h->from));
        return IW_HANDLED;
    }
    if (len > SIM_MSG_MAX) {
        SimTrace("%s RECV %lu bytes from %02X too long, dropped", g_simCore.name,
                 (unsigned long)len, unsigned(h->from));
        return IW_HANDLED;
    }
    m = (SimMsg *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(SimMsg) + len + 1);
    if (!m) {
        SimTrace("%s RECV no memory for %lu bytes, dropped", g_simCore.name, (unsigned long)len);
        return IW_HANDLED;
    }
    m->kind = kind;
    m->from = h->from;
    m->func = h->func;
    m->mpid = h->target1.mpid;
    m->dataLen = len;
    m->data = (uint8_t *)(m + 1);
    memcpy(m->data, msg->data, len);

    /* The message is confirmed already: it must not be lost. A full queue holds up this thread
     * until the main thread has taken one, and with it every sender, which waits for RECV as
     * the transfer provides; only a program that is ending drops it. */
    for (int waited = 0; !queued; waited = 1) {
        EnterCriticalSection(&g_simCore.lock);
        if (g_simCore.count < SIM_QUEUE_MAX) {
            if (g_simCore.tail)
                g_simCore.tail->next = m;
            else
                g_simCore.head = m;
            g_simCore.tail = m;
            g_simCore.count++;
            queued = 1;
        }
        LeaveCriticalSection(&g_simCore.lock);
        if (queued)
            break;
        if (!waited)
            SimTrace("%s RECV queue full (%u), message from %02X waits", g_simCore.name,
                     unsigned(SIM_QUEUE_MAX), unsigned(m->from));
        if (g_simCore.closing || SimQuitSet()) {
            SimTrace("%s RECV ending, message from %02X dropped", g_simCore.name, unsigned(m->from));
            HeapFree(GetProcessHeap(), 0, m);
            return IW_HANDLED;
        }
        WaitForSingleObject(g_simCore.room, MtpScaleMs(ROOM_POLL_MS));
    }
    SetEvent(g_simCore.work);
    return IW_HANDLED;
}

/* Next queued message or null. Main thread. */
static SimMsg *PopMsg()
{
    SimMsg *m;
    EnterCriticalSection(&g_simCore.lock);
    m = g_simCore.head;
    if (m) {
        g_simCore.head = m->next;
        if (!g_simCore.head)
            g_simCore.tail = nullptr;
        g_simCore.count--;
    }
    LeaveCriticalSection(&g_simCore.lock);
    if (m)
        SetEvent(g_simCore.room);
    return m;
}

/* Runs every queued message; stops early when the quit event is set. Main thread. */
static void RunQueue(SimHandleFn fn)
{
    SimMsg *m;
    while (!SimQuitSet() && (m = PopMsg()) != nullptr) {
        fn(m);
        HeapFree(GetProcessHeap(), 0, m);
    }
}

/* Dispatches the thread's window messages; 0 when WM_QUIT came. Main thread. */
static int PumpMessages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT)
            return 0;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 1;
}

/* The main thread's loop: quit event, queued work, window messages, lifetime. Returns the exit
 * code. */
static int MainLoop(const SimArgs *a, SimHandleFn fn)
{
    const ULONGLONG deadline = a->lifetimeS ? GetTickCount64() + ULONGLONG(a->lifetimeS) * 1000 : 0;
    HANDLE waits[2] = { g_simCore.quit, g_simCore.work };
    DWORD r, wait;
    ULONGLONG now;

    for (;;) {
        wait = INFINITE;
        if (deadline) {
            now = GetTickCount64();
            if (now >= deadline)
                return SIM_EXIT_LIFETIME;
            wait = DWORD(deadline - now);
        }
        r = MsgWaitForMultipleObjects(2, waits, FALSE, wait, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0)
            return SIM_EXIT_QUIT;
        if (r == WAIT_OBJECT_0 + 1)
            RunQueue(fn);
        else if (r == WAIT_OBJECT_0 + 2 && !PumpMessages())
            return SIM_EXIT_QUIT;
        else if (r == WAIT_FAILED) {
            SimTrace("%s loop wait failed (%lu)", g_simCore.name, GetLastError());
            return SIM_EXIT_START;
        }
    }
}

/* 1 when another process receives as this AP id: its RECV event exists and is set. Two
 * receivers of one AP id would both wake on every message. */
static int ApReceiving(const char *recvName)
{
    HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, recvName);
    int on = h && WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    if (h)
        CloseHandle(h);
    return on;
}

int SimRun(const char *apId, const char *name, const SimArgs *a, uint16_t rowMask, SimHandleFn fn)
{
    char own[IW_APID_LEN], recvName[IW_NAME_LEN];
    uint16_t apNo = 0;
    HANDLE recv = nullptr;
    int32_t rc;
    int exitCode = SIM_EXIT_START, started = 0;
    SimMsg *m;

    if (!IwNormaliseApId(apId, own, &apNo))
        return SIM_EXIT_START;
    SimInit(own, name);
    g_simCore.rowMask = rowMask;
    InitializeCriticalSection(&g_simCore.lock);
    g_simCore.work = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_simCore.room = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_simCore.closing = 0;
    g_simCore.quit = IwCreateEvent(TRUE, FALSE, a->quitEvent);
    if (!g_simCore.work || !g_simCore.room || !g_simCore.quit) {
        SimTrace("%s cannot create its events (%lu), quit event %s", name, GetLastError(),
                 a->quitEvent);
        goto done;
    }
    /* A quit left set by an earlier run of the same name would end this one at once. */
    ResetEvent(g_simCore.quit);
    IwFormatName(recvName, IW_FMT_RECV, own);
    if (ApReceiving(recvName)) {
        SimTrace("%s AP %s is receiving already: not started", name, own);
        goto done;
    }
    for (int row = 0; row < IW_ROW_COUNT; row++)
        RecvHandlerTable[row][1] = SimRecv;
    rc = mtp1_iwini(uintptr_t(GetModuleHandleA(nullptr)), 0, own);
    if (rc != IW_OK) {
        SimTrace("%s mtp1_iwini failed (%ld)", name, long(rc));
        goto done;
    }
    started = 1;
    /* The receive thread sets RECV once its events exist; only then can requests come. */
    recv = IwCreateEvent(TRUE, FALSE, recvName);
    if (!recv || WaitForSingleObject(recv, MtpScaleMs(IW_STAGE_MS)) != WAIT_OBJECT_0) {
        SimTrace("%s receive thread not ready (%s)", name, recvName);
        goto done;
    }
    SimTrace("%s ready as AP %s, quit event %s, lifetime %lu s", name, own, a->quitEvent,
             (unsigned long)a->lifetimeS);
    exitCode = MainLoop(a, fn);
done:
    g_simCore.closing = 1;
    if (recv)
        CloseHandle(recv);
    if (started)
        iwend();
    while ((m = PopMsg()) != nullptr)
        HeapFree(GetProcessHeap(), 0, m);
    SimTrace("%s ended, exit code %d", name, exitCode);
    if (g_simCore.quit)
        CloseHandle(g_simCore.quit);
    if (g_simCore.work)
        CloseHandle(g_simCore.work);
    if (g_simCore.room)
        CloseHandle(g_simCore.room);
    g_simCore.quit = g_simCore.work = g_simCore.room = nullptr;
    DeleteCriticalSection(&g_simCore.lock);
    return exitCode;
}
