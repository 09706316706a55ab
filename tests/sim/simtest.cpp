#include "tests/sim/simtest.h"
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
                   Bytes(msg->data, msg->data + h->dataLen), GetTickCount() };
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

void DropMessages()
{
    EnterCriticalSection(&g_lock);
    g_inbox.clear();
    LeaveCriticalSection(&g_lock);
}

Bytes Request83(uint8_t unit, const std::vector<int> &rows, const uint8_t cdb[DREQ_CDB_LEN])
{
    Bytes r(DREQ83_LEN, 0);
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

Bytes Request89(uint8_t fc, uint8_t sf, uint8_t kind, uint8_t sub, uint16_t mpid, const std::vector<uint16_t> &crs)
{
    Bytes r(DREQ89_LEN, 0);
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

bool SendDrive(const Bytes &req, uint16_t mpid)
{
    return mtp2_iwtrn_300(0, mpid, mpid, uint16_t(FD_DRIVE << 8 | req[DREQ_FC]), nullptr, 0,
                          req.data(), uint32_t(req.size())) == IW_OK;
}

typedef testing::AssertionResult Result;

/* The next message as a segment of a reply to fc, the index-th of its exchange, at least minLen long. */
static Result NextSegment(Segment *s, uint8_t fc, size_t index, size_t minLen, DWORD timeoutMs)
{
    Received m;
    if (!NextMessage(&m, timeoutMs))
        return testing::AssertionFailure() << "no segment " << index;
    if (m.kind != IW_ROW_DKC || m.from != 0x09 || m.data.size() < MSG_PREFIX + PL_SEG ||
        GetBe16(&m.data[MSG_PAYLOAD_LEN]) != m.data.size() - MSG_PREFIX)
        return testing::AssertionFailure() << "segment " << index << ": kind " << m.kind << " from " << m.from
                                           << ", " << m.data.size() << " bytes";
    for (size_t i = 0; i < MSG_PAYLOAD_LEN; i++)
        if (i != MSG_FLAGS && m.data[i] != 0)
            return testing::AssertionFailure() << "segment " << index << ": prefix byte " << i << " not 0";
    *s = { m.func, m.mpid, m.data[MSG_FLAGS], m.data[MSG_PREFIX + PL_P], m.data[MSG_PREFIX + PL_F],
           Bytes(m.data.begin() + MSG_PREFIX + PL_SEG, m.data.end()), m.at };
    if (s->func != (FD_DRIVE << 8 | fc) || s->f != fc || s->p != uint8_t(index) || s->seg.size() < minLen)
        return testing::AssertionFailure() << "segment " << index << ": func " << s->func << " F " << int(s->f)
                                           << " P " << int(s->p) << " length " << s->seg.size();
    return testing::AssertionSuccess();
}

Result Cmd83(Reply83 *r, uint16_t mpid, uint8_t unit, const std::vector<int> &rows, const uint8_t *cdb)
{
    const DWORD start = GetTickCount();
    Segment s;
    r->data.clear();
    if (!SendDrive(Request83(unit, rows, cdb), mpid))
        return testing::AssertionFailure() << "request not delivered";
    for (r->segments = 0; r->data.size() < R83_LEN; r->segments++) {
        const bool first = r->segments == 0;
        const size_t headLen = first ? size_t(SEG83_HEAD) : 0;
        const DWORD gone = GetTickCount() - start;
        Result ok = gone < REPLY_MS ? NextSegment(&s, FC_PASS, r->segments, headLen, REPLY_MS - gone)
                                    : testing::AssertionFailure() << "time out";
        if (!ok)
            return ok << " after " << r->data.size() << " bytes";
        if (first) {
            r->head.assign(s.seg.begin(), s.seg.begin() + SEG83_HEAD);
            r->mpid = s.mpid;
            r->firstAt = s.at;
        }
        r->data.insert(r->data.end(), s.seg.begin() + headLen, s.seg.end());
        if (bool(s.flags & MSG_FIRST) != first || s.mpid != r->mpid || r->data.size() > R83_LEN ||
            bool(s.flags & MSG_LAST) != (r->data.size() == R83_LEN))
            return testing::AssertionFailure() << "segment " << r->segments << ": flags " << int(s.flags) << " MP "
                                               << s.mpid << " at " << r->data.size() << " bytes";
    }
    return testing::AssertionSuccess();
}

Result CmdPath(std::vector<Segment> *segs, uint8_t sub, uint16_t mpid, const std::vector<uint16_t> &crs)
{
    const uint8_t fc = sub == SUB_READ ? FC_READ : FC_PATH;
    const uint8_t sf = sub == SUB_READ ? 10 : sub == SUB_REJECTLAMP ? 5 : 6;
    const uint8_t kind = sub == SUB_READ ? KIND_READ : sub == SUB_REJECTLAMP ? KIND_LAMP : KIND_PATH;
    const DWORD start = GetTickCount();
    Segment s;
    segs->clear();
    if (!SendDrive(Request89(fc, sf, kind, sub, mpid, crs), mpid))
        return testing::AssertionFailure() << "request not delivered";
    for (;;) {
        const DWORD gone = GetTickCount() - start;
        Result ok = gone < REPLY_MS ? NextSegment(&s, fc, segs->size(), SEG_HEAD_LEN, REPLY_MS - gone)
                                    : testing::AssertionFailure() << "time out";
        if (!ok)
            return ok;
        segs->push_back(s);
        if (s.seg[SEG_FLAG] == SEG_END || GetBe32(&s.seg[SEG_RC]) != RC_OK)
            return testing::AssertionSuccess();
    }
}

const uint8_t *Block(const Reply83 &r, int row) { return r.data.data() + R83_HEAD + R83_BLOCK * size_t(row); }

Bytes At(const uint8_t *p, std::initializer_list<size_t> offsets)
{
    Bytes v;
    for (size_t o : offsets)
        v.push_back(p[o]);
    return v;
}

Bytes Report(uint8_t unit, uint8_t row, uint8_t mp, uint8_t routine, uint8_t step, const Bytes &detail, uint8_t tmpConfig)
{
    Bytes r(DIAG_REQ_LEN, 0);
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
