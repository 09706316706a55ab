/* Transfers and the receive thread between real processes and real named objects. */
#include "tests/iw/iwtest.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <string.h>

/* Stages of 10 s become 500 ms, room enough for a busy machine; children inherit the
 * setting. A crash ends the process instead of waiting in the debugger. */
static const int g_divisor = (SetEnv("MTP_TIME_DIVISOR", "20"), SetErrorMode(SEM_NOGPFAULTERRORBOX), 20);

/* ---- child "recv": a real receive thread that stores every delivered message ---- */

struct MsgFacts {
    uint32_t row, curHeaderSeen, headLen, dataLen, payloadOffset, wholeOffset, wholeLen;
};

static std::string g_dir;
static LONG g_got, g_expected;
static HANDLE g_allIn;

static uint32_t Store(uint32_t row, IwMsgDesc *m)
{
    HANDLE heap = GetProcessHeap();
    uint32_t wholeLen = 0;
    uint8_t *whole = IwGetDataLen(1, 1, m->data, &wholeLen);
    MsgFacts f = { row, m->header == g_iw.curHeader, uint32_t(HeapSize(heap, 0, m->header)),
                   uint32_t(HeapSize(heap, 0, m->data)), uint32_t(IwGetData(0, 0, m->data) - m->data),
                   uint32_t(whole - m->data), wholeLen };
    std::string rec((const char *)&f, sizeof f);
    rec.append((const char *)m->header, f.headLen);
    rec.append((const char *)m->data, f.dataLen);
    LONG n = InterlockedIncrement(&g_got);
    WriteFileBytes(g_dir + "msg" + std::to_string(n) + ".bin", rec);
    if (n == g_expected)
        SetEvent(g_allIn);
    return IW_HANDLED;
}
static uint32_t WINAPI StoreDkc(IwMsgDesc *m) { return Store(IW_ROW_DKC, m); }
static uint32_t WINAPI StoreSub(IwMsgDesc *m) { return Store(IW_ROW_SUB, m); }
static uint32_t WINAPI StoreAp(IwMsgDesc *m) { return Store(IW_ROW_AP, m); }

/* recv APID DIR COUNT: receives COUNT messages, then ends its messaging. 0 when all came. */
static int RecvRole(int argc, char **argv)
{
    if (argc < 4)
        return 90;
    g_dir = argv[2];
    g_expected = atol(argv[3]);
    g_allIn = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    RecvHandlerTable[IW_ROW_DKC][1] = StoreDkc;
    RecvHandlerTable[IW_ROW_SUB][1] = StoreSub;
    RecvHandlerTable[IW_ROW_AP][1] = StoreAp;
    if (mtp1_iwini(0x4000, 0, argv[1]) != 0)
        return 91;
    DWORD w = WaitForSingleObject(g_allIn, 60000);
    return iwend() == 0 && w == WAIT_OBJECT_0 ? 0 : 92;
}
static ChildRole g_recvRole("recv", RecvRole);

/* Starts "recv" for apId and waits until its RECV event is signalled. */
static HANDLE StartReceiver(const char *apId, const std::string &dir, int count)
{
    char name[IW_NAME_LEN], id[IW_APID_LEN];
    uint16_t no;
    IwNormaliseApId(apId, id, &no);
    IwFormatName(name, IW_FMT_RECV, id);
    HANDLE recv = IwCreateEvent(TRUE, FALSE, name);
    /* dir ends with a backslash: doubled, it does not escape the closing quote */
    HANDLE child = StartChild("recv", std::string(apId) + " \"" + dir + "\\\" " + std::to_string(count));
    DWORD w = WaitForSingleObject(recv, 20000);
    CloseHandle(recv);
    return w == WAIT_OBJECT_0 ? child : nullptr;
}

struct Stored {
    MsgFacts    facts;
    IwHeader    head;
    std::string extra, data;
};
static Stored ReadStored(const std::string &dir, int n)
{
    Stored s = {};
    std::string b = ReadFileBytes(dir + "msg" + std::to_string(n) + ".bin");
    if (b.size() < sizeof s.facts + HDR_SIZE)
        return s;
    memcpy(&s.facts, b.data(), sizeof s.facts);
    memcpy(&s.head, b.data() + sizeof s.facts, HDR_SIZE);
    s.extra = b.substr(sizeof s.facts + HDR_SIZE, s.facts.headLen - HDR_SIZE);
    s.data = b.substr(sizeof s.facts + s.facts.headLen);
    return s;
}

static bool InOrder(const std::vector<TraceLine> &lines, size_t from,
                    const std::vector<std::pair<int, const char *>> &want)
{
    if (lines.size() < from + want.size())
        return false;
    for (size_t i = 0; i < want.size(); i++)
        if (lines[from + i].kind != want[i].first || !Matches(want[i].second, lines[from + i].text.c_str())) {
            ADD_FAILURE() << "line " << i << ": " << std::hex << lines[from + i].kind << " "
                          << lines[from + i].text << " want " << want[i].second;
            return false;
        }
    return true;
}

TEST(IwLink, DeliveryToReceiveThread)
{
    std::string dir = TempDir();
    HANDLE child = StartReceiver("3c", dir, 5);
    ASSERT_TRUE(child);
    BeApId("0D");
    size_t mark = LogMark();
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
    /* A kind with no handler row is neither delivered nor confirmed. */
    EXPECT_EQ(mtpi2_iwtrn_300(0x0102, 1, 2, 3, dest, 0, data, 4, nullptr, 0), -1);
    EXPECT_EQ(mtpi2_iwtrn_300(2, 1, 2, 3, dest, 0, data, 1, &one, 0), 0);
    ASSERT_EQ(WaitExit(child, 30000), 0);

    Stored m = ReadStored(dir, 1);
    EXPECT_EQ(m.facts.row, 2u);
    EXPECT_EQ(m.facts.curHeaderSeen, 1u);
    EXPECT_EQ(m.head.kind, 2);
    EXPECT_EQ(m.head.from, 0x0D);
    EXPECT_EQ(m.head.to, 0x3C);
    EXPECT_EQ(m.head.func, 0xA5);
    EXPECT_EQ(m.head.target1.mpid, 0x1234);
    EXPECT_EQ(m.head.target2.mpid, 0x5678);
    EXPECT_EQ(std::string((char *)m.head.target1.bits, 32), std::string(32, '\xFF'));
    EXPECT_EQ(m.head.dataLen, 300u);
    EXPECT_EQ(m.head.tag, 0xDEADBEEFu);
    EXPECT_EQ(m.head.extraLen, 3);
    EXPECT_EQ(m.head.zero1 | m.head.zero4[0] | m.head.zero4[1] | m.head.zero4[2] | m.head.zero4[3], 0);
    EXPECT_EQ(m.extra, "xyz");
    EXPECT_EQ(m.data, std::string((char *)data, 300));
    EXPECT_EQ(m.facts.payloadOffset, 8u);
    EXPECT_EQ(m.facts.wholeOffset, 0u);
    EXPECT_EQ(m.facts.wholeLen, 300u);

    m = ReadStored(dir, 2);   /* mtp1_iwtrn: cleared targets with a mask, 16-bit length */
    EXPECT_EQ(m.facts.headLen + m.facts.dataLen, 96u);
    EXPECT_EQ(m.data, std::string(1, char(data[0])));
    EXPECT_EQ(std::string((char *)m.head.target1.bits, 32), std::string("\x44\x33\x22\x11", 4) + std::string(28, '\0'));
    EXPECT_EQ(std::string((char *)m.head.target2.bits, 4), "\x88\x77\x66\x55");
    EXPECT_EQ(m.head.target1.mpid, 0x7FFF);
    EXPECT_EQ(m.head.tag | m.head.extraLen, 0u);
    EXPECT_EQ(ReadStored(dir, 3).facts.row, 0u);
    EXPECT_EQ(ReadStored(dir, 4).facts.row, 1u);
    m = ReadStored(dir, 5);
    EXPECT_EQ(m.facts.headLen + m.facts.dataLen, 97u);
    EXPECT_EQ(m.extra, "E");

    std::vector<TraceLine> all = LogSince(mark);
    std::vector<TraceLine> mine = LinesOf(all, GetCurrentProcessId());
    EXPECT_TRUE(InOrder(mine, 0, {
        { 0x1000, "Ap-ID(0D) mtpi2_iwtrn_300 Start !! MPID=0x1234" },
        { 0x100D, "Ap-ID(0D) Iwtrn Start !! to APID(3C)" },
        { 0x100D, "Ap-ID(0D) Iwtrn CHK Global\\MTP_EVENT_3C_RECV !!" },
        { 0x100D, "Ap-ID(0D) Iwtrn Wait Global\\MTP_MUTEX_3C_SEND!!" },
        { 0x100D, "Ap-ID(0D) MsgWaitForMultipleObjects !! (Global\\MTP_MUTEX_3C_SEND)" },
        { 0x100D, "Ap-ID(0D) Iwtrn On Global\\MTP_MUTEX_3C_SEND!! (0)" },
        { 0x1000, "Ap-ID(0D) Global\\MTP_MUTEX_3C_SEND ON!!(0)" },
        { 0x100D, "Ap-ID(0D) Iwtrn Wait Global\\MTP_EVENT_3C_RECV(*)!!" },
        { 0x100D, "Ap-ID(0D) MsgWaitForMultipleObjects !! (Global\\MTP_EVENT_3C_RECV)" },
        { 0x100D, "Ap-ID(0D) Iwtrn Event0 OK !! (Global\\MTP_EVENT_3C_RECV)(0)" },
        { 0x100D, "Ap-ID(0D) CreateEvent!! (Global\\MTP_EVENT_3C_RECV_OK)(0x*)" },
        { 0x100D, "Ap-ID(0D) Create OK Global\\MTP_MAP_3C_DATA!! " },
        { 0x100D, "Ap-ID(0D) CreateEvent!! (Global\\MTP_EVENT_3C_SEND)(0x*)" },
        { 0x100D, "Ap-ID(0D) Iwtrn CreateEvent !! (Global\\MTP_EVENT_3C_RECV_OK)" },
        { 0x100D, "Ap-ID(0D) Iwtrn Wait !! (Global\\MTP_EVENT_3C_RECV_OK)" },
        { 0x100D, "Ap-ID(0D) MsgWaitForMultipleObjects !! (Global\\MTP_EVENT_3C_RECV_OK),(0x*)" },
        { 0x100D, "Ap-ID(0D) Iwtrn Wait OK !! (Global\\MTP_EVENT_3C_RECV_OK)(0)" },
        { 0x1000, "Ap-ID(0D) Global\\MTP_MUTEX_3C_SEND OFF!! ret(0)" },
        { 0x100D, "Ap-ID(0D) Iwtrn End 1 !! ret(0x00000000)" },
        { 0x100D, "Ap-ID(0D) Iwtrn End 2 !! ret(0x00000000)" },
        { 0x1000, "Ap-ID(0D) mtpi2_iwtrn_300 End !! Ret=0" },
    }));
    EXPECT_EQ(CountLines(mine, "Ap-ID(0D) mtp1_iwtrn Start !! MPID=0x7FFF", 0x1000), 1);
    EXPECT_EQ(CountLines(mine, "Ap-ID(0D) mtpi2_iwtrn_300 End !! Ret=ffffffff", 0x1000), 1);

    std::vector<TraceLine> peer;
    for (auto &l : all)
        if (l.pid != GetCurrentProcessId())
            peer.push_back(l);
    size_t first = 0;
    while (first < peer.size() && peer[first].text.find("Wait Event") == std::string::npos)
        first++;
    EXPECT_TRUE(InOrder(peer, first, {
        { 0x113C, "APID(3C) Wait Event Global\\MTP_EVENT_3C_SEND(*) Global\\MTP_EVENT_3C_END(*)" },
        { 0x113C, "APID(3C) Global\\MTP_EVENT_3C_SEND ON !! dwRet(0)" },
        { 0x1000, "APID(3C) Global\\MTP_MAP_3C_DATA File Open !!" },
        { 0x113C, "APID(3C) Global\\MTP_MAP_3C_DATA Open OK !! from AP(0d)" },
        { 0x113C, "APID(3C) Global\\MTP_MAP_3C_DATA DATA Copy OK !!(*)" },
        { 0x1000, "APID(3C) Global\\MTP_MAP_3C_DATA File Close !!" },
        { 0x113C, "APID(3C) Global\\MTP_EVENT_3C_RECV_OK Set RECV OK !!" },
        { 0x113C, "APID(3C) Call Back END !! return(8000)" },
    }));
    EXPECT_EQ(CountLines(peer, "APID(3C) Global\\MTP_MAP_3C_DATA Kind Error !! kind(0x0102)"), 2);
    EXPECT_EQ(CountLines(peer, "APID(3C) IwRecvThread End !! ", 0x103C), 1);
    EXPECT_EQ(CountLines(peer, "APID(3C) IwRecvThread End !! ", 0x113C), 1);
}

/* Posts a window message and then WM_QUIT to the sender once its block is offered. */
struct QuitPoster {
    HANDLE send;
    DWORD  thread;
    HWND   wnd;
};
static DWORD WINAPI PostQuitOnSend(void *arg)
{
    QuitPoster *q = (QuitPoster *)arg;
    if (WaitForSingleObject(q->send, 10000) == WAIT_OBJECT_0) {
        PostMessageA(q->wnd, WM_APP, 0, 0);
        PostThreadMessageA(q->thread, WM_QUIT, 7, 0);
    }
    return 0;
}
static LONG g_appMessages;
static LRESULT CALLBACK CountingProc(HWND w, UINT m, WPARAM wp, LPARAM lp)
{
    if (m == WM_APP)
        g_appMessages++;
    return DefWindowProcA(w, m, wp, lp);
}

static DWORD WINAPI TakeMutex(void *arg)
{
    DWORD w = WaitForSingleObject((HANDLE)arg, 0);
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED)
        ReleaseMutex((HANDLE)arg);
    return w;
}
static DWORD MutexStateFromOtherThread(HANDLE m)
{
    DWORD r = WAIT_FAILED;
    HANDLE t = CreateThread(nullptr, 0, TakeMutex, m, 0, nullptr);
    WaitForSingleObject(t, 10000);
    GetExitCodeThread(t, &r);
    CloseHandle(t);
    return r;
}
/* holdmutex NAME: takes the mutex and ends without giving it back. */
static int HoldMutexRole(int argc, char **argv)
{
    HANDLE m = argc > 1 ? OpenMutexA(SYNCHRONIZE, FALSE, argv[1]) : nullptr;
    return m && WaitForSingleObject(m, 10000) == WAIT_OBJECT_0 ? 0 : 1;
}
static ChildRole g_holdRole("holdmutex", HoldMutexRole);

TEST(IwLink, FailedTransfers)
{
    const DWORD stage = MtpScaleMs(IW_STAGE_MS);
    BeApId("0D");
    uint8_t data[5000] = { 1, 2, 3 };
    char dest[4];

    /* No receiver: each pass waits out RECV. */
    size_t mark = LogMark();
    DWORD t0 = GetTickCount();
    EXPECT_EQ(mtp2_iwtrn_300(2, 1, 2, 3, strcpy(dest, "3F"), 0, data, 10), -1);
    EXPECT_GE(GetTickCount() - t0, 2 * stage);
    std::vector<TraceLine> l = LogSince(mark);
    EXPECT_EQ(CountLines(l, "Ap-ID(0D) Iwtrn Wait Event0 Timeout !! (Global\\MTP_EVENT_3F_RECV)(258)", 0x100D), 2);
    EXPECT_EQ(CountLines(l, "Ap-ID(0D) Iwtrn Retry !! ret(0xffffffff)"), 2);
    EXPECT_EQ(CountLines(l, "Create OK"), 0);
    EXPECT_EQ(CountLines(l, "Ap-ID(0D) mtp2_iwtrn_300 End !! Ret=ffffffff", 0x1000), 1);

    /* A receiver that never confirms: the second line of each timed-out pass at 0x10FF. */
    HANDLE recv = IwCreateEvent(TRUE, TRUE, "Global\\MTP_EVENT_3E_RECV");
    HANDLE send = IwCreateEvent(TRUE, FALSE, "Global\\MTP_EVENT_3E_SEND");
    mark = LogMark();
    t0 = GetTickCount();
    EXPECT_EQ(mtp1_iwtrn(2, 0, 0, 3, strcpy(dest, "3e"), 0, data, 10), -1);
    EXPECT_GE(GetTickCount() - t0, 2 * stage);
    l = LogSince(mark);
    const char *event1 = "Ap-ID(0D) Iwtrn Wait Event1 Timeout !! (Global\\MTP_EVENT_3E_RECV_OK)(258)";
    EXPECT_EQ(CountLines(l, event1, 0x100D), 2);
    EXPECT_EQ(CountLines(l, event1, 0x10FF), 2);
    EXPECT_EQ(WaitForSingleObject(send, 0), WAIT_OBJECT_0);

    /* WM_QUIT while waiting for RECV_OK: 0 at once, no retry, the quit is consumed; other
     * messages are dispatched. */
    ResetEvent(send);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = CountingProc;
    wc.lpszClassName = "t_iw_counting";
    RegisterClassA(&wc);
    QuitPoster q = { send, GetCurrentThreadId(),
                     CreateWindowA("t_iw_counting", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr) };
    HANDLE poster = CreateThread(nullptr, 0, PostQuitOnSend, &q, 0, nullptr);
    mark = LogMark();
    EXPECT_EQ(mtp1_iwtrn(2, 0, 0, 3, dest, 0, data, 10), 0);
    WaitForSingleObject(poster, 10000);
    l = LogSince(mark);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(g_appMessages, 1);
    EXPECT_EQ(CountLines(l, "Ap-ID(0D) On Message(0x00008000) !! (Global\\MTP_EVENT_3E_RECV_OK)(1)(0x"), 1);
    EXPECT_EQ(CountLines(l, "Ap-ID(0D) On Message(0x00000012) !! (Global\\MTP_EVENT_3E_RECV_OK)(1)(0x"), 1);
    EXPECT_EQ(CountLines(l, "Retry"), 0);
    EXPECT_EQ(CountLines(l, "Ap-ID(0D) Iwtrn End 1 !! ret(0x00000000)"), 1);
    DestroyWindow(q.wnd);
    CloseHandle(poster);

    /* A DATA mapping left over with a smaller size is not written past its end. */
    HANDLE stale = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "Global\\MTP_MAP_3E_DATA");
    ResetEvent(send);
    mark = LogMark();
    EXPECT_EQ(mtp1_iwtrn(2, 0, 0, 3, dest, 0, data, 4096), -1);
    EXPECT_EQ(CountLines(LogSince(mark), "Ap-ID(0D) Iwtrn Size Error !! (Global\\MTP_MAP_3E_DATA)(4096)(4191)"), 2);
    EXPECT_EQ(WaitForSingleObject(send, 0), WAIT_TIMEOUT);
    CloseHandle(stale);

    /* An abandoned SEND mutex is taken once and given back once. */
    HANDLE mutex = IwCreateMutex(FALSE, "Global\\MTP_MUTEX_3E_SEND");
    ASSERT_EQ(WaitExit(StartChild("holdmutex", "Global\\MTP_MUTEX_3E_SEND"), 20000), 0);
    ResetEvent(recv);
    mark = LogMark();
    EXPECT_EQ(mtp1_iwtrn(2, 0, 0, 3, dest, 0, data, 10), -1);
    EXPECT_EQ(CountLines(LogSince(mark), "Ap-ID(0D) Iwtrn Mutex Abandoned !! (Global\\MTP_MUTEX_3E_SEND)"), 1);
    EXPECT_EQ(MutexStateFromOtherThread(mutex), DWORD(WAIT_OBJECT_0));
    CloseHandle(mutex);
    CloseHandle(send);
    CloseHandle(recv);

    /* Refused before any object is touched. */
    mark = LogMark();
    EXPECT_EQ(mtp1_iwtrn(2, 0, 0, 3, strcpy(dest, "3D"), 0, data, 0), -1);
    EXPECT_EQ(mtp2_iwtrn_300(2, 0, 0, 3, dest, 0, data, 0x10000), -1);
    EXPECT_EQ(mtpi2_iwtrn_300(2, 0, 0, 3, nullptr, 0, data, 1, nullptr, 0), -1);
    for (const char *bad : { "100", "g", "", "1 " })
        EXPECT_EQ(mtp1_iwtrn(2, 0, 0, 3, strcpy(dest, bad), 0, data, 1), -1) << bad;
    EXPECT_STREQ(dest, "1 ");
    l = LogSince(mark);
    EXPECT_EQ(CountLines(l, "Ap-ID(0D) Length Error !! sdlenw=0", 0x100D), 2);
    EXPECT_EQ(CountLines(l, "Ap-ID(0D) Iwtrn No Destination !!", 0x100D), 1);
    EXPECT_EQ(CountLines(l, "Ap-ID(0D) Iwtrn APID Error !!", 0x100D), 4);
    EXPECT_EQ(CountLines(l, "MsgWaitForMultipleObjects"), 0);
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\MTP_MUTEX_3D_SEND"), nullptr);
}

TEST(IwLink, Routing)
{
    Catcher c09, c0a, c3c;
    StartCatcher(&c09, "09");
    StartCatcher(&c0a, "0A");
    StartCatcher(&c3c, "3C");
    struct Case { const char *own; uint32_t route; const char *given; Catcher *to; };
    const Case cases[] = {
        { "0D", 0x0000, "3c", &c09 }, { "0D", 0x0000, nullptr, &c09 }, { "0D", 0x0100, "3C", &c3c },
        { "0D", 0x0001, "3C", &c0a }, { "0D", 0x0501, nullptr, &c0a }, { "0D", 0x0003, "3C", &c0a },
        { "0D", 0x0002, "3C", &c3c }, { "0D", 0x00FF, "3C", &c3c }, { "08", 0x0000, "3C", &c3c },
        { "0A", 0x0001, "3C", &c3c }, { "0A", 0x0003, "3C", &c0a }, { "0D", 0x0002, nullptr, nullptr },
        { "08", 0x0000, nullptr, nullptr }, { "0A", 0x0001, nullptr, nullptr },
    };
    uint8_t data[4] = { 9 };
    for (const Case &k : cases) {
        BeApId(k.own);
        LONG before[3] = { c09.count, c0a.count, c3c.count };
        char dest[4] = "";
        if (k.given)
            strcpy(dest, k.given);
        int32_t r = mtp1_iwtrn(k.route, 0, 0, 3, k.given ? dest : nullptr, 0, data, 4);
        EXPECT_EQ(r, k.to ? 0 : -1) << k.own << " " << k.route;
        EXPECT_EQ(c09.count - before[0], k.to == &c09) << k.own << " " << k.route;
        EXPECT_EQ(c0a.count - before[1], k.to == &c0a) << k.own << " " << k.route;
        EXPECT_EQ(c3c.count - before[2], k.to == &c3c) << k.own << " " << k.route;
        if (k.to) {
            EXPECT_EQ(k.to->last.kind, uint16_t(k.route));
        }
    }
    StopCatcher(&c09);
    StopCatcher(&c0a);
    StopCatcher(&c3c);
}

/* Writes a block with the given lengths into a small mapping of apId and offers it. */
static HANDLE OfferBlock(const char *apId, uint16_t kind, uint16_t extraLen, uint32_t dataLen)
{
    char name[IW_NAME_LEN];
    IwFormatName(name, IW_FMT_DATA, apId);
    HANDLE map = IwCreateMapping(INVALID_HANDLE_VALUE, PAGE_READWRITE, 0, 100, name);
    uint8_t *view = map ? (uint8_t *)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
    if (!view)
        return map;
    IwHeader h = {};
    h.kind = kind;
    h.extraLen = extraLen;
    h.dataLen = dataLen;
    memcpy(view, &h, sizeof h);
    UnmapViewOfFile(view);
    IwFormatName(name, IW_FMT_SEND, apId);
    HANDLE send = IwCreateEvent(TRUE, FALSE, name);
    SetEvent(send);
    CloseHandle(send);
    return map;
}

TEST(IwLink, HostileBlocksReachTheReceiveThread)
{
    std::string dir = TempDir();
    HANDLE child = StartReceiver("3B", dir, 1);
    ASSERT_TRUE(child);
    HANDLE recvOk = IwCreateEvent(TRUE, FALSE, "Global\\MTP_EVENT_3B_RECV_OK");
    struct Bad { uint16_t kind, extraLen; uint32_t dataLen; const char *line; };
    const Bad bad[] = {
        { 2, 0, 0x7FFFFFF0, "Length Error !! extra(0) data(2147483632) size(4096)" },
        /* 95 + extra + data wraps to 50 in 32 bits */
        { 2, 0xFFFF, uint32_t(0u - HDR_SIZE - 0xFFFF + 50), "Length Error !! extra(65535)" },
        { 0, 4000, 0x1000, "Length Error !! extra(4000) data(4096)" },
        { 9, 0, 4, "Kind Error !! kind(0x0009)" },
    };
    for (const Bad &b : bad) {
        size_t mark = LogMark();
        HANDLE map = OfferBlock("3B", b.kind, b.extraLen, b.dataLen);
        ASSERT_TRUE(map);
        EXPECT_TRUE(WaitForLogLine(mark, b.line, 20000)) << b.line;
        EXPECT_TRUE(WaitForLogLine(mark, "APID(3B) Wait Event", 20000));
        EXPECT_EQ(WaitForSingleObject(recvOk, 0), WAIT_TIMEOUT) << b.line;
        CloseHandle(map);
    }
    BeApId("0D");
    uint8_t data[8] = { 5 };
    char dest[4] = "3B";
    EXPECT_EQ(mtp1_iwtrn(2, 0, 0, 3, dest, 0, data, 8), 0);
    EXPECT_EQ(WaitExit(child, 30000), 0);
    EXPECT_EQ(ReadStored(dir, 1).data, std::string((char *)data, 8));
    EXPECT_TRUE(ReadFileBytes(dir + "msg2.bin").empty());
    CloseHandle(recvOk);
}
