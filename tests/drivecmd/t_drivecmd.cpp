/* The drive command layer in process: reply assembly on hand-made messages, request bytes of
 * every command, attempts, time-outs and the Stop button. */
#include "drivecmd/drivecmd.h"
#include "res/resource.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

AppContext g_app;

static HWND g_sink;     /* stands in for the waiting dialog */

class DriveCmdEnv : public testing::Environment {
public:
    void SetUp() override
    {
        std::string dir = TempDir();
        SetEnv("MTP_TRACE_LOG", (dir + "trace.log").c_str());
        SetEnv("MTP_TIME_DIVISOR", "200");
        IwFillLayoutTable();
        g_app.instance = GetModuleHandleA(nullptr);
        g_app.comArea = (uint8_t *)calloc(1, COM_AREA_LEN);
        g_app.comRArea = (uint8_t *)calloc(1, COM_AREA_LEN);
        g_sink = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    }
};
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new DriveCmdEnv);

static std::vector<std::string> TraceTexts()
{
    char path[MAX_PATH];
    GetEnvironmentVariableA("MTP_TRACE_LOG", path, sizeof path);
    std::vector<std::string> out;
    for (auto &l : ReadLines(path))
        out.push_back(l.size() > 38 ? l.substr(38) : "");
    return out;
}

static int CountText(const std::vector<std::string> &t, const std::string &want, size_t from = 0)
{
    int n = 0;
    for (size_t i = from; i < t.size(); i++)
        n += t[i] == want;
    return n;
}

/* ---- reply assembly ---- */

/* Delivers one controller message: the 8-byte prefix stating payloadLen (or claimed), the
 * payload P, F and the segment. */
static void Deliver(uint8_t f, const std::vector<uint8_t> &seg, int claimed = -1, size_t cut = SIZE_MAX)
{
    size_t payload = seg.size() + 2;
    size_t size = 8 + payload < cut ? 8 + payload : cut;
    uint8_t *copy = (uint8_t *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size ? size : 1);
    std::vector<uint8_t> all(8 + payload, 0);
    uint16_t len = uint16_t(claimed >= 0 ? claimed : int(payload));
    all[6] = uint8_t(len >> 8);
    all[7] = uint8_t(len);
    all[8] = 0x11;
    all[9] = f;
    memcpy(all.data() + 10, seg.data(), seg.size());
    memcpy(copy, all.data(), size);
    IwHeader header = {};
    header.dataLen = uint32_t(size);
    IwMsgDesc msg = { &header, copy };
    EXPECT_EQ(IW_HANDLED, mtp_cdcalbak(&msg));
    HeapFree(GetProcessHeap(), 0, copy);
}

static int ComEnds()
{
    int n = 0;
    MSG m;
    while (PeekMessageA(&m, g_sink, WM_COMEND, WM_COMEND, PM_REMOVE))
        n++;
    return n;
}

static void StartExchange(uint8_t fc)
{
    ComEnds();
    g_app.commDialog = g_sink;
    g_app.communicating = 1;
    g_app.expectedFc = fc;
    g_app.replyWritePtr = g_app.comRArea;
    g_app.replyRemaining = REPLY_LEN;
    g_app.comCnt = 0;
    g_app.kipdevSize = 0;
    g_app.dataComplete = 0;
    g_app.endSegmentSeen = 0;
    g_app.comResult = 0;
    memset(g_app.comRArea, 0, COM_AREA_LEN);
}

/* A pass-through segment: first with its 20-byte head (return code 0x01020304), later raw. */
static std::vector<uint8_t> Seg(size_t len, size_t offset, int first)
{
    std::vector<uint8_t> s(len);
    for (size_t i = 0; i < len; i++)
        s[i] = uint8_t((offset + i) * 7);
    if (first) {
        s[3] = SEG_DATA;
        s[4] = 1; s[5] = 2; s[6] = 3; s[7] = 4;
    }
    return s;
}

TEST(ReplyAssembly, PassThroughSegmentsOfEverySize)
{
    for (size_t segSize : { size_t(21), size_t(1024), size_t(4096), size_t(16384), size_t(30000) }) {
        SCOPED_TRACE(segSize);
        StartExchange(FC_PASS);
        /* Reply data byte i is (i * 7) for the bytes after the first segment's head. */
        std::vector<uint8_t> first(segSize, 0);
        first[3] = SEG_DATA;
        first[4] = 9;
        for (size_t i = 20; i < segSize; i++)
            first[i] = uint8_t((i - 20) * 7);
        Deliver(FC_PASS, first);
        size_t sent = segSize - 20;
        int ends = 0;
        while (sent < REPLY_LEN + 5000) {
            std::vector<uint8_t> s(segSize);
            for (size_t i = 0; i < segSize; i++)
                s[i] = uint8_t((sent + i) * 7);
            Deliver(FC_PASS, s);
            sent += segSize;
            ends += ComEnds();
            if (ends)
                break;
        }
        EXPECT_EQ(1, ends) << "ends exactly when 75040 bytes are in";
        EXPECT_GE(sent, size_t(REPLY_LEN));
        EXPECT_LT(sent - segSize, size_t(REPLY_LEN));
        for (size_t i = 0; i < REPLY_LEN; i += 997)
            ASSERT_EQ(uint8_t(i * 7), g_app.comRArea[i]) << i;
        EXPECT_EQ(uint8_t((REPLY_LEN - 1) * 7), g_app.comRArea[REPLY_LEN - 1]);
        EXPECT_EQ(0, g_app.comRArea[REPLY_LEN]) << "nothing beyond 75040";
        EXPECT_EQ(0u, g_app.comResult) << "pass-through replies report 0";
        EXPECT_EQ(0u, g_app.replyRemaining);
    }
}

TEST(ReplyAssembly, RefusesWhatDoesNotFit)
{
    StartExchange(FC_PASS);
    Deliver(FC_PASS, Seg(10, 0, 1));                 /* shorter than its head */
    EXPECT_EQ(uint32_t(REPLY_LEN), g_app.replyRemaining);
    EXPECT_EQ(0, g_app.comRArea[0]);
    Deliver(0x89, Seg(100, 0, 1));                    /* foreign function code */
    EXPECT_EQ(0, g_app.comCnt);
    Deliver(FC_PASS, Seg(100, 0, 1), 5000);           /* claims more than the copy holds */
    Deliver(FC_PASS, Seg(100, 0, 1), 1);              /* no room for P and F */
    Deliver(FC_PASS, Seg(100, 0, 1), -1, 5);          /* shorter than the prefix */
    EXPECT_EQ(uint32_t(REPLY_LEN), g_app.replyRemaining);
    EXPECT_EQ(0, g_app.comCnt);
    g_app.communicating = 0;
    Deliver(FC_PASS, Seg(100, 0, 1));                 /* a late reply */
    EXPECT_EQ(uint32_t(REPLY_LEN), g_app.replyRemaining);
    EXPECT_EQ(0, ComEnds());
    auto t = TraceTexts();
    EXPECT_GE(CountText(t, "Invalid Communication. wfunc = 89"), 1);
    EXPECT_GE(CountText(t, "Invalid Communication. wfunc = 83"), 3);
}

static std::vector<uint8_t> PathSeg(uint8_t flag, uint32_t rc, uint16_t cr, uint32_t mask)
{
    std::vector<uint8_t> s(40, 0);
    s[3] = flag;
    PutBe32(s.data() + 4, rc);
    PutBe16(s.data() + 8, cr);
    PutBe32(s.data() + 12, 0xA1B2C3D4);
    PutBe32(s.data() + 16, mask);
    return s;
}

TEST(ReplyAssembly, PathControlAndBypassReports)
{
    StartExchange(FC_PATH);
    g_app.checkBypassMode = 1;
    memset(g_app.bypassBitmap, 0, sizeof g_app.bypassBitmap);
    Deliver(FC_PATH, PathSeg(SEG_END, 0, 0, 0));
    EXPECT_EQ(0, ComEnds()) << "an end segment first does not end the exchange";
    Deliver(FC_PATH, PathSeg(SEG_DATA, 0, 0x0307, 1));
    EXPECT_EQ(1, ComEnds()) << "it ends with the next message";
    EXPECT_EQ(0x80000000u >> 3, g_app.bypassBitmap[7]);
    EXPECT_EQ(0xA1B2C3D4u, GetBe32(g_app.comRArea + 12));

    StartExchange(FC_PATH);
    Deliver(FC_PATH, PathSeg(SEG_DATA, 0, 0x2005, 1));   /* unit 32 */
    Deliver(FC_PATH, PathSeg(SEG_DATA, 0, 0x0150, 1));   /* row 80 */
    Deliver(FC_PATH, PathSeg(SEG_DATA, 0, 0x0102, 0));   /* no mask: not bypassed */
    EXPECT_EQ(0, ComEnds());
    Deliver(FC_PATH, PathSeg(SEG_END, 0, 0, 0));
    EXPECT_EQ(1, ComEnds());
    uint32_t any = 0;
    for (int r = 0; r < ROW_COUNT; r++)
        any |= r == 7 ? 0 : g_app.bypassBitmap[r];
    EXPECT_EQ(0u, any) << "reports outside the table change nothing";
    auto t = TraceTexts();
    EXPECT_EQ(1, CountText(t, "Check Bypass ->Invalid C# CR#=2005"));
    EXPECT_EQ(1, CountText(t, "Check Bypass ->Invalid R# CR#=0150"));
    g_app.checkBypassMode = 0;

    StartExchange(FC_PATH);
    Deliver(FC_PATH, PathSeg(SEG_DATA, 0x0F001740, 0, 0));
    EXPECT_EQ(1, ComEnds()) << "a return code ends the exchange before its end segment";
    EXPECT_EQ(0x0F001740u, __builtin_bswap32(g_app.comResult));
}

TEST(ReplyAssembly, DriveReadRecords)
{
    StartExchange(FC_READ);
    std::vector<uint8_t> s(12 + 64 * 32, 0);
    s[3] = SEG_DATA;
    PutBe16(s.data() + 10, uint16_t(s.size() * 2));   /* two segments of data */
    Deliver(FC_READ, s);
    Deliver(FC_READ, PathSeg(SEG_END, 0, 0, 0));
    EXPECT_EQ(0, ComEnds()) << "data not complete yet";
    std::vector<uint8_t> second(s.size(), 0x5A);
    second[3] = SEG_DATA;
    second[4] = second[5] = second[6] = second[7] = 0;
    Deliver(FC_READ, second);
    EXPECT_EQ(1u, g_app.dataComplete);
    EXPECT_EQ(1, ComEnds());
    EXPECT_EQ(g_app.comRArea, g_app.replyWritePtr);

    /* A size larger than the buffer can hold stops at its end. */
    StartExchange(FC_READ);
    std::vector<uint8_t> big(30000, 0x33);
    big[3] = SEG_DATA;
    big[4] = big[5] = big[6] = big[7] = 0;
    PutBe16(big.data() + 10, 0xFFFF);
    for (int i = 0; i < 4; i++)
        Deliver(FC_READ, big);
    EXPECT_EQ(0, g_app.comRArea[REPLY_LEN]);
    EXPECT_EQ(1u, g_app.dataComplete);
}

/* ---- requests, attempts, time-outs, Stop ---- */

/* No controller runs in these tests: every transfer fails and every attempt times out. */
static uint16_t StatusOf(uint32_t (*cmd)(uint16_t, uint8_t, const uint32_t *, uint16_t, DriveResult *))
{
    static const uint32_t rows[3] = { 0x80000001, 0, 0x00010000 };
    DriveResult r;
    memset(&r, 0xEE, sizeof r);
    EXPECT_EQ(0u, cmd(0x0085, 0x05, rows, 1, &r));
    EXPECT_EQ(0xEEEEEEEEu, r.returnCode) << "only the status is written";
    return r.status;
}

TEST(Requests, PassThroughBytesAndAttempts)
{
    struct Case {
        uint32_t (*cmd)(uint16_t, uint8_t, const uint32_t *, uint16_t, DriveResult *);
        const char *name;
        uint8_t desc[6];
        uint8_t dir;
        uint16_t len;
    };
    static const Case kCases[] = {
        { CmdInquiry, "Inquiry", { 0x12, 0, 0, 0, 0x90, 0 }, 2, 144 },
        { CmdTestUnitReady, "Unit Ready", { 0, 0, 0, 0, 0, 0 }, 0, 0 },
        { CmdRequestSense, "Request Sense", { 0x03, 0, 0, 0, 0x20, 0 }, 2, 32 },
        { CmdStopUnit, "Stop Unit", { 0x1B, 0, 0, 0, 0, 0 }, 0, 0 },
        { CmdStartUnit, "Start Unit", { 0x1B, 0, 0, 0, 1, 0 }, 0, 0 },
        { CmdSelfTest, "Self Test", { 0x1D, 5, 0, 0, 0, 0 }, 0, 0 },
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        memset(g_app.comArea, 0xAA, TRANSFER_LEN_83 + 16);
        size_t mark = TraceTexts().size();
        EXPECT_EQ(COM_TIMED_OUT, StatusOf(c.cmd));
        const uint8_t *rq = g_app.comArea;
        EXPECT_EQ(3, rq[0]);
        EXPECT_EQ(0x83, rq[1]);
        EXPECT_EQ(0xAA, rq[2]) << "byte 2 is not written";
        EXPECT_EQ(0x0D, rq[3]);
        for (size_t i : { 4, 11, 14, 19, 40, 43, 46, 47 })
            EXPECT_EQ(0xAA, rq[i]) << i;
        EXPECT_EQ(5, rq[12]);
        EXPECT_EQ(3, rq[13]) << "rows 0, 31 and 79";
        EXPECT_EQ(0x80000001u, GetBe32(rq + 20));
        EXPECT_EQ(0u, GetBe32(rq + 24));
        EXPECT_EQ(0x00010000u, GetBe32(rq + 28));
        EXPECT_EQ(6, rq[32]);
        EXPECT_EQ(c.dir, rq[33]);
        EXPECT_EQ(0, memcmp(rq + 34, c.desc, 6));
        EXPECT_EQ(c.len, GetBe16(rq + 44));
        EXPECT_EQ(0, rq[48]);
        EXPECT_EQ(0, rq[TRANSFER_LEN_83 - 1]);
        EXPECT_EQ(0xAA, rq[TRANSFER_LEN_83]);
        auto t = TraceTexts();
        std::vector<std::string> own(t.begin() + mark, t.end());
        EXPECT_EQ(std::string(c.name) + " Start", own.at(0));
        EXPECT_EQ(3, CountText(own, "Com Trace FC=83 FD=03 MainMP=0085 SubMP=0085")) << "three attempts";
        EXPECT_EQ(3, CountText(own, "*** iwtrn(DKC) failed ***  Return Value = ffff"));
        EXPECT_EQ(0, CountText(own, std::string(c.name) + " End"));
    }
    uint32_t empty[3] = {};
    DriveResult r;
    EXPECT_EQ(0u, CmdTestUnitReady(0x0085, 2, empty, 1, &r));
    EXPECT_EQ(0, g_app.comArea[13]) << "an empty bitmap is still sent";
}

TEST(Requests, PathControlAndReadBytes)
{
    uint32_t drives[ROW_COUNT] = {};
    drives[0] = 0x12345678;
    drives[79] = 0x80000000;
    struct Case { uint32_t (*cmd)(uint16_t, const uint32_t *, uint16_t, DriveResult *); uint8_t sf, kind, sub; };
    static const Case kCases[] = {
        { CmdLip, 6, 6, 0x13 }, { CmdResetBypass, 6, 6, 0x14 }, { CmdSetBypass, 6, 6, 0x15 },
        { CmdCheckBypass, 6, 6, 0x16 }, { CmdRejectLamp, 5, 4, 0x02 },
    };
    DriveResult r;
    for (const Case &c : kCases) {
        memset(g_app.comArea, 0xAA, TRANSFER_LEN + 8);
        EXPECT_EQ(0u, c.cmd(0x0093, drives, 1, &r));
        const uint8_t *rq = g_app.comArea;
        EXPECT_EQ(3, rq[0]);
        EXPECT_EQ(0x89, rq[1]);
        EXPECT_EQ(c.sf, rq[2]);
        EXPECT_EQ(0x0D, rq[3]);
        EXPECT_EQ(0xAA, rq[12]);
        EXPECT_EQ(0xAA, rq[15]);
        EXPECT_EQ(0x30, rq[16]);
        EXPECT_EQ(c.kind, rq[17]);
        EXPECT_EQ(c.sub, rq[18]);
        EXPECT_EQ(0x13, rq[19]) << "adapter number";
        EXPECT_EQ(0x12345678u, GetBe32(rq + 20));
        EXPECT_EQ(0x80000000u, GetBe32(rq + 20 + 4 * 79));
        EXPECT_EQ(0xAA, rq[340]) << "nothing written after the bitmap";
    }
    EXPECT_EQ(0u, g_app.checkBypassMode) << "cleared after a failed exchange";
    EXPECT_GE(CountText(TraceTexts(), "Check Bypass dkanc=13 BM:78563412 00000000"), 1);

    EXPECT_EQ(0u, CmdStartInline(0x0080, 0x0105, 1, &r));
    EXPECT_EQ(0x21, g_app.comArea[18]);
    EXPECT_EQ(0x40000000u, GetBe32(g_app.comArea + 20 + 4 * 5)) << "unit 1, row 5 only";
    EXPECT_EQ(0u, GetBe32(g_app.comArea + 20));
    EXPECT_EQ(0u, CmdDriveRead(0x0081, 0x0203, 1, &r));
    EXPECT_EQ(0xBE, g_app.comArea[1]);
    EXPECT_EQ(10, g_app.comArea[2]);
    EXPECT_EQ(8, g_app.comArea[17]);
    EXPECT_EQ(0, g_app.comArea[18]);
    EXPECT_EQ(1, g_app.comArea[19]);
    EXPECT_EQ(0x20000000u, GetBe32(g_app.comArea + 20 + 4 * 3));

    uint32_t bm[ROW_COUNT] = {};
    EXPECT_EQ(0, MarkDrive(bm, ROW_COUNT, 0x2001));
    EXPECT_EQ(0, MarkDrive(bm, ROW_COUNT, 0x0150));
    EXPECT_EQ(0, MarkDrive(bm, 16, 0x0110));
    EXPECT_EQ(1, MarkDrive(bm, 17, 0x0110));
    EXPECT_EQ(0x40000000u, bm[16]);
    const uint32_t rows[3] = { 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF };
    EXPECT_EQ(80u, CountRows(rows)) << "rows 80 to 95 do not count";
}

/* Presses Stop in the waiting dialog as soon as it is up. */
static HHOOK g_hook;
static LRESULT CALLBACK PressStop(int code, WPARAM wp, LPARAM lp)
{
    if (code == HCBT_ACTIVATE && GetDlgItem((HWND)wp, IDC_COM_STOP))
        PostMessageA((HWND)wp, WM_COMMAND, IDC_COM_STOP, 0);
    return CallNextHookEx(g_hook, code, wp, lp);
}

TEST(Requests, StopButton)
{
    g_hook = SetWindowsHookExA(WH_CBT, PressStop, nullptr, GetCurrentThreadId());
    g_app.debugMode = 0;
    g_app.stopRequested = 0;
    EXPECT_EQ(COM_TIMED_OUT, StatusOf(CmdTestUnitReady)) << "normal mode: the command goes on";
    EXPECT_EQ(1u, g_app.stopRequested);
    g_app.debugMode = 1;
    size_t mark = TraceTexts().size();
    EXPECT_EQ(COM_CANCELLED, StatusOf(CmdTestUnitReady)) << "debug mode: cancelled";
    auto t = TraceTexts();
    EXPECT_EQ(1, CountText(t, "Com Trace FC=83 FD=03 MainMP=0085 SubMP=0085", mark)) << "no further attempt";
    UnhookWindowsHookEx(g_hook);
    g_app.debugMode = 0;
    g_app.stopRequested = 0;
}
