#include "tests/sim/simtest.h"
#include "tests/support/support.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <deque>

enum : size_t { LOG_KIND_COL = 33, LOG_TEXT_COL = 38 };

/* Messages kept by the receive handlers (receive thread) for the test's main thread. */
static CRITICAL_SECTION    g_lock;
static HANDLE              g_arrived;      /* auto-reset: something was added */
static std::deque<Received> g_inbox;       /* g_lock */

static uint32_t WINAPI Keep(IwMsgDesc *msg)
{
    Received r;
    r.kind = msg->header->kind;
    r.from = msg->header->from;
    r.func = msg->header->func;
    r.mpid = msg->header->target1.mpid;
    r.data.assign(msg->data, msg->data + msg->header->dataLen);
    r.at = GetTickCount();
    EnterCriticalSection(&g_lock);
    g_inbox.push_back(r);
    LeaveCriticalSection(&g_lock);
    SetEvent(g_arrived);
    return IW_HANDLED;
}

static void EndMessaging() { iwend(); }

const TestFiles &Files()
{
    static TestFiles f;
    if (f.dir.empty()) {
        char divisor[16];
        f.dir = TempDir();
        f.trace = f.dir + "mtptrace.log";
        f.diagLog = f.dir + "diaglog.txt";
        snprintf(divisor, sizeof divisor, "%u", unsigned(TEST_DIVISOR));
        SetEnv("MTP_TRACE_LOG", f.trace.c_str());
        SetEnv("MTP_TIME_DIVISOR", divisor);
        SetEnv("MTP_DIAG_LOG", f.diagLog.c_str());
        SetEnv("MTP_SUBSYSTEM_INI", (f.dir + "absent.ini").c_str());
        InitializeCriticalSection(&g_lock);
        g_arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        for (int row = 0; row < IW_ROW_COUNT; row++)
            RecvHandlerTable[row][1] = Keep;
        mtp1_iwini(0, 0, "0D");
        atexit(EndMessaging);
    }
    return f;
}

std::string UseDescription(const std::string &text)
{
    static int seq;
    std::string out, path = Files().dir + "desc" + std::to_string(++seq) + ".ini";
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        out += text.substr(pos, nl - pos) + "\r\n";
        pos = nl + 1;
    }
    WriteFileBytes(path, out);
    SetEnv("MTP_SUBSYSTEM_INI", path.c_str());
    return path;
}

void UseNoDescription()
{
    SetEnv("MTP_SUBSYSTEM_INI", (Files().dir + "absent.ini").c_str());
}

bool StartPeer(Peer *p, const char *exe, const char *apId, const std::string &extraArgs)
{
    char name[IW_NAME_LEN];
    Files();
    p->apId = apId;
    DropMessages();
    p->quit = "Global\\MTP_SIM_" + p->apId + "_QUIT_" + std::to_string(GetCurrentProcessId());
    IwFormatName(name, IW_FMT_RECV, apId);
    /* Created here not signalled (or opened): the peer's receive thread sets it when it runs. */
    p->recv = IwCreateEvent(TRUE, FALSE, name);
    if (!p->recv)
        return false;
    ResetEvent(p->recv);
    p->process = StartProgram(exe, "--quit-event " + p->quit + " --lifetime 600" +
                                       (extraArgs.empty() ? "" : " " + extraArgs));
    if (!p->process)
        return false;
    HANDLE waits[2] = { p->recv, p->process };
    return WaitForMultipleObjects(2, waits, FALSE, PEER_START_MS) == WAIT_OBJECT_0;
}

int StopPeer(Peer *p)
{
    HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, p->quit.c_str());
    int code;
    if (quit) {
        SetEvent(quit);
        CloseHandle(quit);
    }
    code = WaitExit(p->process, PEER_EXIT_MS);
    p->process = nullptr;
    /* What the peer sent before it ended (the rest of a reply) is no answer to anything later. */
    DropMessages();
    if (p->recv)
        CloseHandle(p->recv);
    p->recv = nullptr;
    return code;
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
        if (have)
            return true;
        DWORD gone = GetTickCount() - start;
        if (gone >= timeoutMs)
            return false;
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

bool NextSegment(Segment *s, DWORD timeoutMs, std::string *why)
{
    Received m;
    if (!NextMessage(&m, timeoutMs)) {
        *why = "no message";
        return false;
    }
    if (m.kind != IW_ROW_DKC || m.from != 0x09) {
        *why = "message of kind " + std::to_string(m.kind) + " from " + std::to_string(m.from);
        return false;
    }
    if (m.data.size() < MSG_PREFIX + PL_SEG) {
        *why = "message of " + std::to_string(m.data.size()) + " bytes";
        return false;
    }
    const uint16_t n = GetBe16(&m.data[MSG_PAYLOAD_LEN]);
    if (n != m.data.size() - MSG_PREFIX) {
        *why = "payload length " + std::to_string(n) + " for " + std::to_string(m.data.size()) + " bytes";
        return false;
    }
    for (size_t i = 0; i < MSG_PREFIX; i++)
        if (i != MSG_FLAGS && i != MSG_PAYLOAD_LEN && i != MSG_PAYLOAD_LEN + 1 && m.data[i] != 0) {
            *why = "prefix byte " + std::to_string(i) + " not 0";
            return false;
        }
    s->func = m.func;
    s->mpid = m.mpid;
    s->flags = m.data[MSG_FLAGS];
    s->p = m.data[MSG_PREFIX + PL_P];
    s->f = m.data[MSG_PREFIX + PL_F];
    s->seg.assign(m.data.begin() + MSG_PREFIX + PL_SEG, m.data.end());
    s->at = m.at;
    return true;
}

bool Collect83(Reply83 *r, DWORD timeoutMs, std::string *why)
{
    const DWORD start = GetTickCount();
    Segment s;
    r->head.clear();
    r->data.clear();
    r->segments = 0;
    for (;;) {
        DWORD gone = GetTickCount() - start;
        if (gone >= timeoutMs || !NextSegment(&s, timeoutMs - gone, why)) {
            *why += " after " + std::to_string(r->data.size()) + " bytes";
            return false;
        }
        const bool first = r->segments == 0;
        if (s.f != FC_PASS || s.p != uint8_t(r->segments) || bool(s.flags & MSG_FIRST) != first) {
            *why = "segment " + std::to_string(r->segments) + ": F " + std::to_string(s.f) + " P " +
                   std::to_string(s.p) + " flags " + std::to_string(s.flags);
            return false;
        }
        if (first) {
            if (s.seg.size() < SEG83_HEAD) {
                *why = "first segment shorter than its head";
                return false;
            }
            r->head.assign(s.seg.begin(), s.seg.begin() + SEG83_HEAD);
            r->data.insert(r->data.end(), s.seg.begin() + SEG83_HEAD, s.seg.end());
            r->firstAt = s.at;
        } else {
            r->data.insert(r->data.end(), s.seg.begin(), s.seg.end());
        }
        r->segments++;
        if (r->data.size() > R83_LEN) {
            *why = "more than 75040 bytes";
            return false;
        }
        const bool complete = r->data.size() == R83_LEN;
        if (bool(s.flags & MSG_LAST) != complete) {
            *why = "last flag " + std::to_string(s.flags) + " at " + std::to_string(r->data.size()) + " bytes";
            return false;
        }
        if (complete)
            return true;
    }
}

bool CollectExchange(std::vector<Segment> *segs, uint8_t fc, DWORD timeoutMs, std::string *why)
{
    const DWORD start = GetTickCount();
    Segment s;
    segs->clear();
    for (;;) {
        DWORD gone = GetTickCount() - start;
        if (gone >= timeoutMs || !NextSegment(&s, timeoutMs - gone, why))
            return false;
        if (s.f != fc || s.p != uint8_t(segs->size()) || s.seg.size() < SEG_HEAD_LEN) {
            *why = "segment " + std::to_string(segs->size()) + ": F " + std::to_string(s.f) + " P " +
                   std::to_string(s.p) + " length " + std::to_string(s.seg.size());
            return false;
        }
        segs->push_back(s);
        if (s.seg[SEG_FLAG] == SEG_END || GetBe32(&s.seg[SEG_RC]) != RC_OK)
            return true;
    }
}

const uint8_t *Block(const Reply83 &r, int row)
{
    return r.data.data() + R83_HEAD + R83_BLOCK * size_t(row);
}

size_t TraceMark() { return ReadFileBytes(Files().trace).size(); }

std::vector<std::string> TraceSince(size_t mark, uint16_t kind)
{
    std::vector<std::string> out;
    std::string all = ReadFileBytes(Files().trace);
    char k[8];
    snprintf(k, sizeof k, "%04X", unsigned(kind));
    /* Space that another process has taken but not yet written reads as NULs: it ends a line
     * like a line end, so the whole lines behind it still count. */
    for (size_t pos = mark; pos < all.size();) {
        size_t end = all.find_first_of(std::string("\n\0", 2), pos);
        if (end == std::string::npos)
            break;
        std::string line = all.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > LOG_TEXT_COL && line.compare(LOG_KIND_COL, 4, k) == 0)
            out.push_back(line.substr(LOG_TEXT_COL));
    }
    return out;
}
