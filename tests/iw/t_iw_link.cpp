/* Transfers and the receive thread between real processes and real named objects. */
#include "tests/iw/iwtest.h"
#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include <thread>

static HANDLE ApEvent(const char *fmt, const char *apId, BOOL initial)
{
    char name[IW_NAME_LEN];
    IwFormatName(name, fmt, apId);
    return IwCreateEvent(TRUE, initial, name);
}
static std::string Bytes(const void *p, size_t n) { return std::string((const char *)p, n); }

/* A stand-in receiver of one AP id: its events (RECV as given) and a DATA mapping of one page
 * held open, so that a sender finds them and its block can be read afterwards. */
struct StandIn {
    HANDLE recv, send, recvOk, map;
    IwHeader *block;
    StandIn(const char *apId, BOOL recvSet)
    {
        char name[IW_NAME_LEN];
        IwFormatName(name, IW_FMT_DATA, apId);
        map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name);
        block = (IwHeader *)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0);
        recv = ApEvent(IW_FMT_RECV, apId, recvSet), send = ApEvent(IW_FMT_SEND, apId, FALSE);
        recvOk = ApEvent(IW_FMT_RECV_OK, apId, FALSE);
    }
    ~StandIn()
    {
        UnmapViewOfFile(block);
        for (HANDLE h : { map, send, recvOk, recv })
            CloseHandle(h);
    }
};

/* ---- child "recv": a real receive thread that stores every delivered message ---- */

struct MsgFacts { uint32_t row, curHeaderSeen, payloadOffset, headLen; };
static std::string g_dir;
static LONG g_got, g_expected;
static HANDLE g_allIn;

template <uint32_t Row> static uint32_t WINAPI Store(IwMsgDesc *m)
{
    HANDLE heap = GetProcessHeap();
    MsgFacts f = { Row, m->header == g_iw.curHeader, uint32_t(IwGetData(0, 0, m->data) - m->data),
                   uint32_t(HeapSize(heap, 0, m->header)) };
    LONG n = InterlockedIncrement(&g_got);
    WriteFileBytes(g_dir + "msg" + std::to_string(n) + ".bin",
                   Bytes(&f, sizeof f) + Bytes(m->header, f.headLen) + Bytes(m->data, HeapSize(heap, 0, m->data)));
    if (n == g_expected)
        SetEvent(g_allIn);
    return IW_HANDLED;
}

/* recv APID DIR COUNT: receives COUNT messages, then ends its messaging. 0 when all came. */
static ChildRole g_recvRole("recv", [](int argc, char **argv) {
    if (argc < 4)
        return 90;
    g_dir = argv[2];
    g_expected = atol(argv[3]);
    g_allIn = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    RecvHandlerTable[IW_ROW_DKC][1] = Store<IW_ROW_DKC>;
    RecvHandlerTable[IW_ROW_SUB][1] = Store<IW_ROW_SUB>;
    RecvHandlerTable[IW_ROW_AP][1] = Store<IW_ROW_AP>;
    if (mtp1_iwini(0x4000, 0, argv[1]) != 0)
        return 91;
    DWORD w = WaitForSingleObject(g_allIn, 60000);
    return iwend() == 0 && w == WAIT_OBJECT_0 ? 0 : 92;
});

/* Message n as the child stored it: its facts, header, extra and data part. */
struct Stored { MsgFacts f; IwHeader head; std::string extra, data; };
static Stored ReadStored(const std::string &dir, int n)
{
    Stored s = {};
    std::string b = ReadFileBytes(dir + "msg" + std::to_string(n) + ".bin");
    if (b.size() >= sizeof s.f + HDR_SIZE) {
        memcpy(&s.f, b.data(), sizeof s.f);
        memcpy(&s.head, b.data() + sizeof s.f, HDR_SIZE);
        s.extra = b.substr(sizeof s.f + HDR_SIZE, s.f.headLen - HDR_SIZE);
        s.data = b.substr(sizeof s.f + s.f.headLen);
    }
    return s;
}

TEST(IwLink, HostileBlocksThenDelivery)
{
    /* RECV exists unsignalled before the receiver starts, as if a sender came first: the
     * thread must set it all the same, and hold its other events by then. */
    std::string dir = TempDir();
    HANDLE recv = ApEvent(IW_FMT_RECV, "3C", FALSE);
    /* A campaign of blocks, as a hostile sender writes them into a mapping of one page:
     * lengths 0, 1, huge, wrapping in 32 bits, extra lengths that do not add up, the exact fit
     * and one past it, kinds out of range, and mappings gone with their sender. A block that does
     * not fit or has no handler row is refused with its line, neither confirmed nor delivered;
     * the others are delivered; the thread serves the next one every time. */
    struct Block { uint16_t kind, extraLen; uint32_t dataLen; bool gone; };
    std::vector<Block> blocks;
    uint32_t seed = 2026;
    auto rnd = [&] { return (seed = seed * 1103515245u + 12345u) >> 8; };
    const uint32_t page = 4096, room = page - HDR_SIZE;
    for (int i = 0; i < 60; i++) {
        uint16_t extra = uint16_t(rnd() % 100);
        blocks.push_back({ uint16_t(rnd() % 3), extra, room - extra + 1 + rnd() % 0x7FFFFF00u, false });
        extra = uint16_t(rnd());
        blocks.push_back({ uint16_t(rnd() % 3), extra, uint32_t(0u - HDR_SIZE - extra + rnd() % page), false });
        blocks.push_back({ uint16_t(3 + rnd() % 0xFFFD), uint16_t(rnd() % 50), rnd() % 50, false });
        blocks.push_back({ uint16_t(rnd() % 3), uint16_t(room + 1 + rnd() % (0xFFFF - room)), rnd() % 2, false });
    }
    for (uint16_t k : { 0, 1, 2, 3, 0xFFFF })
        for (uint32_t n : { 0u, 1u, room - 1, room, room + 1 })
            blocks.push_back({ k, uint16_t(n == 1 ? 1 : 0), n == 1 ? 0 : n, false });
    for (int i = 0; i < 5; i++)
        blocks.push_back({ 2, 0, 1, true });
    int delivered = 0;
    for (const Block &b : blocks)
        delivered += !b.gone && b.kind < IW_ROW_COUNT && HDR_SIZE + uint64_t(b.extraLen) + b.dataLen <= page;
    /* dir ends with a backslash: doubled, it does not escape the closing quote */
    HANDLE child = StartChild("recv", "3c \"" + dir + "\\\" " + std::to_string(delivered + 5));
    ASSERT_EQ(WaitForSingleObject(recv, 20000), WAIT_OBJECT_0);
    CloseHandle(recv);
    for (const char *name : { "Global\\MTP_EVENT_3C_SEND", "Global\\MTP_EVENT_3C_RECV_OK", "Global\\MTP_EVENT_3C_END" }) {
        HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, name);
        EXPECT_TRUE(h) << name << " not there when RECV was set";
        CloseHandle(h);
    }

    StandIn x("3C", TRUE);
    int wrong = 0;
    for (size_t i = 0; i < blocks.size() && wrong < 5; i++) {
        const Block &b = blocks[i];
        uint64_t len = HDR_SIZE + uint64_t(b.extraLen) + b.dataLen;
        char line[96];
        if (b.gone)
            snprintf(line, sizeof line, "Global\\MTP_MAP_3C_DATA File Open !!");
        else if (len > page)
            snprintf(line, sizeof line, "Length Error !! extra(%u) data(%lu) size(4096)", b.extraLen, (unsigned long)b.dataLen);
        else if (b.kind >= IW_ROW_COUNT)
            snprintf(line, sizeof line, "Kind Error !! kind(0x%04x)", b.kind);
        else
            snprintf(line, sizeof line, "Global\\MTP_MAP_3C_DATA DATA Copy OK");
        size_t mark = TraceMark();
        x.block->kind = b.kind, x.block->extraLen = b.extraLen, x.block->dataLen = b.dataLen;
        if (b.gone)
            UnmapViewOfFile(x.block), CloseHandle(x.map);
        ResetEvent(x.recvOk);
        SetEvent(x.send);
        /* The log cannot be waited on: look every millisecond until the thread waits again. */
        for (DWORD start = GetTickCount(); GetTickCount() - start < 20000 && Count(mark, "APID(3C) Wait Event") == 0;)
            Sleep(1);
        bool refused = b.gone || len > page || b.kind >= IW_ROW_COUNT;
        bool ok = Count(mark, line) == 1 && Count(mark, "Open OK") == !b.gone &&
                  (WaitForSingleObject(x.recvOk, 0) == WAIT_TIMEOUT) == refused;
        EXPECT_TRUE(ok) << "block " << i << ": " << line;
        wrong += !ok;
        if (b.gone) {
            x.map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, page, "Global\\MTP_MAP_3C_DATA");
            x.block = (IwHeader *)MapViewOfFile(x.map, FILE_MAP_ALL_ACCESS, 0, 0, 0);
        }
    }

    /* Five transfers through every entry, as 0D. */
    BeApId("0D");
    size_t mark = TraceMark();
    uint8_t data[300];
    for (int i = 0; i < 300; i++)
        data[i] = uint8_t(i * 7 + 1);
    char dest[4] = "3c";
    IwExtra xyz = { 3, (const uint8_t *)"xyz" }, one = { 1, (const uint8_t *)"E" };
    BitmapMP t;
    memset(&t, 0x11, sizeof t);
    EXPECT_EQ(mtpi2_iwtrn_300(2, 0x1234, 0x5678, 0xA5, dest, 0, data, 300, &xyz, 0xDEADBEEF), 0);
    EXPECT_STREQ(dest, "3C");
    EXPECT_EQ(mtp1_iwtrn(2, 0x11223344, 0x55667788, 0x42, dest, 0, data, 0x10001), 0);
    EXPECT_EQ(IwTransferTo(0, &t, &t, 7, dest, data, 5, nullptr, 0), 0);
    EXPECT_EQ(IwTransferTo(1, &t, &t, 7, dest, data, 5, nullptr, 0), 0);
    EXPECT_EQ(mtpi2_iwtrn_300(2, 1, 2, 3, dest, 0, data, 1, &one, 0), 0);
    ASSERT_EQ(WaitExit(child, 30000), 0);

    Stored m = ReadStored(dir, delivered + 1);
    EXPECT_EQ(m.f.row, 2u);
    EXPECT_EQ(m.f.curHeaderSeen, 1u);
    EXPECT_EQ(m.f.payloadOffset, 8u) << "the receiver's layout table is filled";
    IwHeader want = {};
    want.kind = 2, want.from = 0x0D, want.to = 0x3C, want.func = 0xA5, want.dataLen = 300;
    want.tag = 0xDEADBEEF, want.extraLen = 3, want.sentAt = m.head.sentAt;
    memset(want.target1.bits, 0xFF, BMP_BITS_LEN);
    memset(want.target2.bits, 0xFF, BMP_BITS_LEN);
    want.target1.mpid = 0x1234, want.target2.mpid = 0x5678;
    EXPECT_EQ(Bytes(&m.head, HDR_SIZE), Bytes(&want, HDR_SIZE));
    EXPECT_EQ(m.extra + m.data, "xyz" + Bytes(data, 300));

    m = ReadStored(dir, delivered + 2);   /* mtp1_iwtrn: cleared targets with a mask, 16-bit length */
    EXPECT_EQ(m.data, Bytes(data, 1));
    EXPECT_EQ(Bytes(&m.head.target1, BMP_SIZE), "\x44\x33\x22\x11" + std::string(28, '\0') + "\xFF\x7F");
    EXPECT_EQ(Bytes(&m.head.target2, 4), "\x88\x77\x66\x55");
    EXPECT_EQ(m.head.tag | m.head.extraLen, 0u);
    EXPECT_EQ(m.f.headLen, size_t(HDR_SIZE));
    EXPECT_EQ(ReadStored(dir, delivered + 3).f.row, 0u);
    EXPECT_EQ(ReadStored(dir, delivered + 4).f.row, 1u);
    m = ReadStored(dir, delivered + 5);
    EXPECT_EQ(m.extra + m.data, "E" + Bytes(data, 1));

    std::vector<TraceLine> l = TraceSince(mark);
    EXPECT_EQ(Count(mark, "Retry"), 0);
    EXPECT_EQ(Count(mark, "APID(3C) IwRecvThread End !! ", 0x103C), 1);
    /* The first handshake in order, both sides, each step at its trace kind. */
    const std::pair<int, const char *> steps[] = {
        { 0x1000, "Ap-ID(0D) mtpi2_iwtrn_300 Start !! MPID=0x1234" },
        { 0x1000, "Ap-ID(0D) Global\\MTP_MUTEX_3C_SEND ON!!(0)" },
        { 0x100D, "Ap-ID(0D) Iwtrn Event0 OK !! (Global\\MTP_EVENT_3C_RECV)(0)" },
        { 0x100D, "Ap-ID(0D) Create OK Global\\MTP_MAP_3C_DATA!! " },
        { 0x113C, "APID(3C) Global\\MTP_MAP_3C_DATA Open OK !! from AP(0d)" },
        { 0x113C, "APID(3C) Global\\MTP_EVENT_3C_RECV_OK Set RECV OK !!" },
        { 0x100D, "Ap-ID(0D) Iwtrn Wait OK !! (Global\\MTP_EVENT_3C_RECV_OK)(0)" },
        { 0x1000, "Ap-ID(0D) Global\\MTP_MUTEX_3C_SEND OFF!! ret(0)" },
    };
    auto at = l.begin();
    for (auto &s : steps) {
        at = std::find_if(at, l.end(), [&](const TraceLine &t) { return t.kind == s.first && t.text.find(s.second) != std::string::npos; });
        ASSERT_NE(at, l.end()) << "missing or out of order: " << s.second;
    }
}

TEST(IwLink, FailedTransfers)
{
    const DWORD stage = MtpScaleMs(IW_STAGE_MS);
    BeApId("0D");
    uint8_t data[5000] = { 1, 2, 3 };
    char dest[4];

    /* No receiver, and a SEND mutex abandoned by its holder thread: each pass waits out RECV;
     * the mutex is taken once and given back once, so another thread can have it afterwards. */
    HANDLE mutex = IwCreateMutex(FALSE, "Global\\MTP_MUTEX_3F_SEND");
    auto takeFromOtherThread = [](HANDLE m) {
        DWORD r = WAIT_FAILED;
        std::thread([&] { r = WaitForSingleObject(m, 0); }).join();
        return r;
    };
    ASSERT_EQ(takeFromOtherThread(mutex), DWORD(WAIT_OBJECT_0));
    size_t mark = TraceMark();
    DWORD t0 = GetTickCount();
    EXPECT_EQ(mtp2_iwtrn_300(2, 1, 2, 3, strcpy(dest, "3F"), 0, data, 10), -1);
    EXPECT_GE(GetTickCount() - t0, 2 * stage);
    EXPECT_EQ(Count(mark, "Ap-ID(0D) Iwtrn Wait Event0 Timeout !! (Global\\MTP_EVENT_3F_RECV)(258)", 0x100D), 2);
    EXPECT_EQ(Count(mark, "Create OK"), 0);
    EXPECT_EQ(Count(mark, "Ap-ID(0D) Iwtrn Mutex Abandoned !! (Global\\MTP_MUTEX_3F_SEND)"), 1);
    EXPECT_EQ(takeFromOtherThread(mutex), DWORD(WAIT_OBJECT_0));
    CloseHandle(mutex);

    /* A receiver that never confirms: the second line of each timed-out pass at 0x10FF. */
    StandIn x("3E", TRUE);
    mark = TraceMark();
    t0 = GetTickCount();
    EXPECT_EQ(mtp1_iwtrn(2, 0, 0, 3, strcpy(dest, "3e"), 0, data, 10), -1);
    EXPECT_GE(GetTickCount() - t0, 2 * stage);
    const char *event1 = "Ap-ID(0D) Iwtrn Wait Event1 Timeout !! (Global\\MTP_EVENT_3E_RECV_OK)(258)";
    EXPECT_EQ(Count(mark, event1, 0x100D), 2);
    EXPECT_EQ(Count(mark, event1, 0x10FF), 2);
    EXPECT_EQ(WaitForSingleObject(x.send, 0), WAIT_OBJECT_0);

    /* WM_QUIT while waiting for RECV_OK: 0 at once, no retry, the quit is consumed; a window
     * message queued before it is dispatched (WM_CLOSE destroys the window). */
    HWND wnd = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    PostMessageA(wnd, WM_CLOSE, 0, 0);
    PostQuitMessage(7);
    mark = TraceMark();
    EXPECT_EQ(mtp1_iwtrn(2, 0, 0, 3, dest, 0, data, 10), 0);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_FALSE(IsWindow(wnd));
    EXPECT_EQ(Count(mark, "Ap-ID(0D) On Message(0x00000012) !! (Global\\MTP_EVENT_3E_RECV_OK)"), 1);
    EXPECT_EQ(Count(mark, "Retry"), 0);

    /* A DATA mapping left over with a smaller size (the stand-in's page) is not written past
     * its end. */
    ResetEvent(x.send);
    mark = TraceMark();
    EXPECT_EQ(mtp1_iwtrn(2, 0, 0, 3, dest, 0, data, 4096), -1);
    EXPECT_EQ(Count(mark, "Ap-ID(0D) Iwtrn Size Error !! (Global\\MTP_MAP_3E_DATA)(4096)(4191)"), 2);
    EXPECT_EQ(WaitForSingleObject(x.send, 0), WAIT_TIMEOUT);

    /* Refused before any object is touched: lengths 0 (16-bit), no destination, bad AP ids. */
    mark = TraceMark();
    EXPECT_EQ(mtp1_iwtrn(2, 0, 0, 3, strcpy(dest, "3D"), 0, data, 0), -1);
    EXPECT_EQ(mtp2_iwtrn_300(2, 0, 0, 3, dest, 0, data, 0x10000), -1);
    EXPECT_EQ(mtpi2_iwtrn_300(2, 0, 0, 3, nullptr, 0, data, 1, nullptr, 0), -1);
    const char *bad[] = { "100", "g", "", "1 ", " 1", "x1", "0x1" };
    for (const char *b : bad)
        EXPECT_EQ(mtp1_iwtrn(2, 0, 0, 3, strcpy(dest, b), 0, data, 1), -1) << b;
    EXPECT_STREQ(dest, "0x1");
    EXPECT_EQ(Count(mark, "Ap-ID(0D) Length Error !! sdlenw=0", 0x100D), 2);
    EXPECT_EQ(Count(mark, "Ap-ID(0D) Iwtrn No Destination !!", 0x100D), 1);
    EXPECT_EQ(Count(mark, "Ap-ID(0D) Iwtrn APID Error !!", 0x100D), int(std::size(bad)));
    EXPECT_EQ(Count(mark, "MsgWaitForMultipleObjects"), 0);
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\MTP_MUTEX_3D_SEND"), nullptr);
}

TEST(IwLink, Routing)
{
    /* RECV_OK is set before each transfer (the sender resets it); SEND tells who got it. */
    const char *ids[3] = { "09", "0A", "0C" };
    StandIn in[3] = { { ids[0], TRUE }, { ids[1], TRUE }, { ids[2], TRUE } };
    /* own id, route, given destination, receiver that gets it (-1: refused) */
    struct Case { const char *own; uint32_t route; const char *given; int to; };
    const Case cases[] = {
        { "0D", 0x0000, "c", 0 }, { "0D", 0x0000, nullptr, 0 }, { "0D", 0x0100, "c", 2 },
        { "0D", 0x0001, "0C", 1 }, { "0D", 0x0501, nullptr, 1 }, { "0D", 0x0003, "0C", 1 },
        { "0D", 0x0002, "c", 2 }, { "0D", 0x00FF, "c", 2 }, { "08", 0x0000, "c", 2 },
        { "0A", 0x0001, "c", 2 }, { "0A", 0x0003, "0C", 1 }, { "0D", 0x0002, nullptr, -1 },
        { "08", 0x0000, nullptr, -1 }, { "0A", 0x0001, nullptr, -1 },
    };
    uint8_t data[4] = { 9 };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(k.own) + " route " + std::to_string(k.route));
        BeApId(k.own);
        for (StandIn &r : in)
            SetEvent(r.recvOk), ResetEvent(r.send), r.block->kind = 0xFFFF;
        char dest[4] = "";
        EXPECT_EQ(mtp1_iwtrn(k.route, 0, 0, 3, k.given ? strcpy(dest, k.given) : nullptr, 0, data, 4), k.to >= 0 ? 0 : -1);
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(WaitForSingleObject(in[i].send, 0) == WAIT_OBJECT_0, k.to == i) << ids[i];
            EXPECT_EQ(in[i].block->kind, k.to == i ? uint16_t(k.route) : 0xFFFF) << ids[i];
        }
    }
}
