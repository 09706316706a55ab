#include "tests/sim/simtest.h"
#include <deque>

/* Messages kept by the receive handlers (receive thread) for the main thread. */
static CRITICAL_SECTION     g_lock;
static HANDLE               g_arrived;     /* auto-reset */
static std::deque<Received> g_inbox;       /* g_lock */

static uint32_t WINAPI Keep(IwMsgDesc *msg)
{
    const IwHeader *h = msg->header;
    Received r = { h->kind, h->from, h->func, h->target1.mpid,
                   Bytes(msg->data, msg->data + h->dataLen) };
    EnterCriticalSection(&g_lock);
    g_inbox.push_back(r);
    LeaveCriticalSection(&g_lock);
    SetEvent(g_arrived);
    return IW_HANDLED;
}

/* The environment without a description, and this process's messaging as "0D". */
struct SimEnv : TestEnv {
    SimEnv() : TestEnv(nullptr, TEST_DIVISOR) {}
    void SetUp() override
    {
        TestEnv::SetUp();
        InitializeCriticalSection(&g_lock);
        g_arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        for (int row = 0; row < IW_ROW_COUNT; row++)
            RecvHandlerTable[row][1] = Keep;
        mtp1_iwini(0, 0, "0D");
    }
    void TearDown() override { iwend(); }
};
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new SimEnv);

bool StartPeer(Peer *p, const char *exe, const char *apId)
{
    EnterCriticalSection(&g_lock);
    g_inbox.clear();
    LeaveCriticalSection(&g_lock);
    return p->Start(exe, apId);
}

bool NextMessage(Received *out, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        EnterCriticalSection(&g_lock);
        bool have = !g_inbox.empty();
        if (have) {
            *out = g_inbox.front();
            g_inbox.pop_front();
        }
        LeaveCriticalSection(&g_lock);
        DWORD gone = GetTickCount() - start;
        if (have || gone >= timeoutMs)
            return have;
        WaitForSingleObject(g_arrived, timeoutMs - gone);
    }
}
