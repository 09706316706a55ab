#include "tests/sim/simtest.h"
#include "tests/support/support.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <deque>

/* Messages kept by the receive handlers (receive thread) for the main thread. */
static CRITICAL_SECTION     g_lock;
static HANDLE               g_arrived;     /* auto-reset */
static std::deque<Received> g_inbox;       /* g_lock */

static uint32_t WINAPI Keep(IwMsgDesc *msg)
{
    const IwHeader *h = msg->header;
    Received r = { h->kind, h->from, h->func, h->target1.mpid,
                   std::vector<uint8_t>(msg->data, msg->data + h->dataLen), GetTickCount() };
    EnterCriticalSection(&g_lock);
    g_inbox.push_back(r);
    LeaveCriticalSection(&g_lock);
    SetEvent(g_arrived);
    return IW_HANDLED;
}

static void EndMessaging() { iwend(); }

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
        atexit(EndMessaging);
    }
};
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new SimEnv);

bool StartPeer(Peer *p, const char *exe, const char *apId)
{
    DropMessages();
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

size_t PendingMessages()
{
    EnterCriticalSection(&g_lock);
    size_t n = g_inbox.size();
    LeaveCriticalSection(&g_lock);
    return n;
}

void DropMessages()
{
    EnterCriticalSection(&g_lock);
    g_inbox.clear();
    LeaveCriticalSection(&g_lock);
}

std::vector<uint8_t> Request83(uint8_t unit, const std::vector<int> &rows, const uint8_t cdb[DREQ_CDB_LEN])
{
    std::vector<uint8_t> r(DREQ83_LEN, 0);
    uint32_t words[DREQ_ROWWORDS] = {};
    int count = 0;
    r[DREQ_FD] = FD_DRIVE;
    r[DREQ_FC] = FC_PASS;
    r[DREQ_APID] = uint8_t(TEST_APNO);
    r[DREQ_UNIT] = unit;
    for (int row : rows) {
        words[row / 32] |= 0x80000000u >> (row % 32);
        count += row < SIM_ROWS;
    }
    r[DREQ_ROWCOUNT] = uint8_t(count);
    for (size_t w = 0; w < DREQ_ROWWORDS; w++)
        PutBe32(&r[DREQ_ROWBITMAP + 4 * w], words[w]);
    r[DREQ_CDBLEN] = DREQ_CDB_LEN;
    memcpy(&r[DREQ_CDB], cdb, DREQ_CDB_LEN);
    return r;
}

std::vector<uint8_t> Request89(uint8_t fc, uint8_t sf, uint8_t kind, uint8_t sub, uint16_t mpid,
                               const std::vector<uint16_t> &crs)
{
    std::vector<uint8_t> r(DREQ89_LEN, 0);
    r[DREQ_FD] = FD_DRIVE;
    r[DREQ_FC] = fc;
    r[DREQ_SF] = sf;
    r[DREQ_APID] = uint8_t(TEST_APNO);
    r[DREQ_MARK] = DREQ_MARK_VALUE;
    r[DREQ_KIND] = kind;
    r[DREQ_SUB] = sub;
    r[DREQ_ADAPTER] = uint8_t(mpid - MP_ID_BASE);
    for (uint16_t cr : crs) {
        uint8_t *w = &r[DREQ_BITMAP + 4 * (cr & 0xFF)];
        PutBe32(w, GetBe32(w) | 0x80000000u >> (cr >> 8));
    }
    return r;
}

bool SendDrive(const std::vector<uint8_t> &req, uint16_t mpid)
{
    return mtp2_iwtrn_300(0, mpid, mpid, uint16_t(FD_DRIVE << 8 | req[DREQ_FC]), nullptr, 0,
                          req.data(), uint32_t(req.size())) == IW_OK;
}

static bool Fail(std::string *why, const std::string &text)
{
    *why = text;
    return false;
}

bool NextSegment(Segment *s, DWORD timeoutMs, std::string *why)
{
    Received m;
    if (!NextMessage(&m, timeoutMs))
        return Fail(why, "no message");
    if (m.kind != IW_ROW_DKC || m.from != 0x09 || m.data.size() < MSG_PREFIX + PL_SEG)
        return Fail(why, "message of kind " + std::to_string(m.kind) + " from " + std::to_string(m.from) +
                      ", " + std::to_string(m.data.size()) + " bytes");
    if (GetBe16(&m.data[MSG_PAYLOAD_LEN]) != m.data.size() - MSG_PREFIX)
        return Fail(why, "payload length for " + std::to_string(m.data.size()) + " bytes");
    for (size_t i = 0; i < MSG_PAYLOAD_LEN; i++)
        if (i != MSG_FLAGS && m.data[i] != 0)
            return Fail(why, "prefix byte " + std::to_string(i) + " not 0");
    *s = { m.func, m.mpid, m.data[MSG_FLAGS], m.data[MSG_PREFIX + PL_P], m.data[MSG_PREFIX + PL_F],
           std::vector<uint8_t>(m.data.begin() + MSG_PREFIX + PL_SEG, m.data.end()), m.at };
    return true;
}

static bool BadSegment(const Segment &s, uint8_t fc, size_t index, size_t minLen, std::string *why)
{
    if (s.func == (FD_DRIVE << 8 | fc) && s.f == fc && s.p == uint8_t(index) && s.seg.size() >= minLen)
        return false;
    return !Fail(why, "segment " + std::to_string(index) + ": func " + std::to_string(s.func) + " F " +
                          std::to_string(s.f) + " P " + std::to_string(s.p) + " length " +
                          std::to_string(s.seg.size()));
}

bool Collect83(Reply83 *r, DWORD timeoutMs, std::string *why)
{
    const DWORD start = GetTickCount();
    Segment s;
    r->data.clear();
    for (r->segments = 0;; r->segments++) {
        const bool first = r->segments == 0;
        const size_t headLen = first ? size_t(SEG83_HEAD) : 0;
        DWORD gone = GetTickCount() - start;
        if (gone >= timeoutMs || !NextSegment(&s, timeoutMs - gone, why))
            return Fail(why, *why + " after " + std::to_string(r->data.size()) + " bytes");
        if (BadSegment(s, FC_PASS, r->segments, headLen, why))
            return false;
        if (bool(s.flags & MSG_FIRST) != first || (!first && s.mpid != r->mpid))
            return Fail(why, "segment " + std::to_string(r->segments) + " flags/MP");
        if (first) {
            r->head.assign(s.seg.begin(), s.seg.begin() + SEG83_HEAD);
            r->mpid = s.mpid;
            r->firstAt = s.at;
        }
        r->data.insert(r->data.end(), s.seg.begin() + headLen, s.seg.end());
        if (r->data.size() > R83_LEN)
            return Fail(why, "more than 75040 bytes");
        if (bool(s.flags & MSG_LAST) != (r->data.size() == R83_LEN))
            return Fail(why, "last flag at " + std::to_string(r->data.size()) + " bytes");
        if (r->data.size() == R83_LEN) {
            r->segments++;
            return true;
        }
    }
}

bool CollectExchange(std::vector<Segment> *segs, uint8_t fc, DWORD timeoutMs, std::string *why)
{
    const DWORD start = GetTickCount();
    Segment s;
    segs->clear();
    for (;;) {
        DWORD gone = GetTickCount() - start;
        if (gone >= timeoutMs || !NextSegment(&s, timeoutMs - gone, why) ||
            BadSegment(s, fc, segs->size(), SEG_HEAD_LEN, why))
            return false;
        segs->push_back(s);
        if (s.seg[SEG_FLAG] == SEG_END || GetBe32(&s.seg[SEG_RC]) != RC_OK)
            return true;
    }
}

const uint8_t *Block(const Reply83 &r, int row) { return r.data.data() + R83_HEAD + R83_BLOCK * size_t(row); }

std::string FirstDifference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    return "first difference at byte " +
           std::to_string(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
}

std::vector<uint8_t> Report(uint8_t unit, uint8_t row, uint8_t mp, uint8_t routine, uint8_t step,
                            const std::vector<uint8_t> &detail, uint8_t tmpConfig)
{
    std::vector<uint8_t> r(DIAG_REQ_LEN, 0);
    r[DIAG_REQ_KIND] = DIAG_KIND_REPORT;
    r[DIAG_REQ_OP] = DIAG_OP_REPORT;
    r[DIAG_REQ_UNIT] = unit;
    r[DIAG_REQ_ROW] = row;
    r[DIAG_REQ_MP] = mp;
    r[DIAG_REQ_ROUTINE] = routine;
    r[DIAG_REQ_STEP] = step;
    memcpy(&r[DIAG_REQ_DETAIL], detail.data(), std::min(detail.size(), size_t(DIAG_DETAIL_COUNT)));
    r[DIAG_REQ_TMPCFG] = tmpConfig;
    return r;
}
