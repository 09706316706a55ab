/* The drive command layer in process: reply assembly on hand-made messages, request bytes of
 * every command, attempts, time-outs and the Stop button. */
#include "drivecmd/drivecmd.h"
#include "res/resource.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include <functional>

typedef std::vector<uint8_t> Bytes;

static HWND g_sink;     /* stands in for the waiting dialog */

/* The return code the transport kept, read big-endian as the commands read it. */
static uint32_t ResultCode()
{
    const uint8_t b[4] = { g_dc.comResult[0], g_dc.comResult[1], g_dc.comResult[2], g_dc.comResult[3] };
    return GetBe32(b);
}

class DriveCmdEnv : public testing::Environment {
public:
    void SetUp() override
    {
        SetEnv("MTP_TRACE_LOG", (TempDir() + "trace.log").c_str());
        SetEnv("MTP_TIME_DIVISOR", "200");
        IwFillLayoutTable();
        g_dc.cfg.instance = GetModuleHandleA(nullptr);
        g_dc.comArea = (uint8_t *)calloc(1, COM_AREA_LEN);
        g_dc.comRArea = (uint8_t *)calloc(1, COM_AREA_LEN);
        g_sink = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    }
};
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new DriveCmdEnv);

static int CountText(const std::vector<std::string> &t, const std::string &want)
{
    return int(std::count(t.begin(), t.end(), want));
}

/* ---- reply assembly ---- */

/* Delivers one controller message: the 8-byte prefix stating the payload length (or claimed),
 * the payload P, F and the segment; a copy cut to cut bytes. */
static void Deliver(uint8_t f, const Bytes &seg, int claimed = -1, size_t cut = SIZE_MAX)
{
    Bytes all(8, 0);
    PutBe16(&all[6], uint16_t(claimed >= 0 ? claimed : int(seg.size() + 2)));
    all.push_back(0x11);
    all.push_back(f);
    all.insert(all.end(), seg.begin(), seg.end());
    all.resize(std::min(all.size(), cut));
    uint8_t *copy = (uint8_t *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, all.size() ? all.size() : 1);
    memcpy(copy, all.data(), all.size());
    IwHeader header = {};
    header.dataLen = uint32_t(all.size());
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
    g_dc.commDialog = g_sink;
    g_dc.communicating = 1;
    g_dc.expectedFc = fc;
    g_dc.replyWritePtr = g_dc.comRArea;
    g_dc.replyRemaining = R83_LEN;
    g_dc.comCnt = 0;
    g_dc.kipdevSize = 0;
    g_dc.dataComplete = 0;
    g_dc.endSegmentSeen = 0;
    memset((void *)g_dc.comResult, 0, sizeof g_dc.comResult);
    memset(g_dc.comRArea, 0, COM_AREA_LEN);
}

/* A pass-through segment of len bytes with reply bytes from `from` on (reply byte i is i * 7);
 * a first one starts with its 20-byte head: data flag, return code 0x01020304. */
static Bytes Seg(size_t len, size_t from, bool first)
{
    const size_t head = first ? size_t(SEG83_HEAD) : 0;
    Bytes s(len, 0);
    for (size_t i = head; i < len; i++)
        s[i] = uint8_t((from + i - head) * 7);
    if (first && len >= 8) {
        s[3] = SEG_DATA;
        PutBe32(&s[4], 0x01020304);
    }
    return s;
}

TEST(ReplyAssembly, PassThroughSegmentsOfEverySize)
{
    for (size_t segSize : { 21, 1024, 4096, 16384, 30000 }) {
        SCOPED_TRACE(segSize);
        StartExchange(FC_PASS);
        Deliver(FC_PASS, Seg(segSize, 0, true));
        size_t sent = segSize - SEG83_HEAD;
        int ends = 0;
        while (!ends && sent < R83_LEN + 5000) {
            Deliver(FC_PASS, Seg(segSize, sent, false));
            sent += segSize;
            ends = ComEnds();
        }
        /* It ends with the message that completes 75 040 bytes; the rest of it is cut. */
        EXPECT_EQ(1, ends);
        EXPECT_GE(sent, size_t(R83_LEN));
        EXPECT_LT(sent - segSize, size_t(R83_LEN));
        for (size_t i = 0; i < R83_LEN; i += 997)
            ASSERT_EQ(uint8_t(i * 7), g_dc.comRArea[i]) << i;
        EXPECT_EQ(uint8_t((R83_LEN - 1) * 7), g_dc.comRArea[R83_LEN - 1]);
        EXPECT_EQ(0, g_dc.comRArea[R83_LEN]);
        EXPECT_EQ(0u, ResultCode()) << "pass-through replies report 0";
        EXPECT_EQ(0u, g_dc.replyRemaining);
    }
}

TEST(ReplyAssembly, RefusesWhatDoesNotFit)
{
    struct Bad { uint8_t f; size_t len; int claimed; size_t cut; const char *why; };
    const Bad bad[] = {
        { FC_PATH, 100, -1, SIZE_MAX, "foreign function code" },
        { FC_PASS, 100, 5000, SIZE_MAX, "claims more than the copy holds" },
        { FC_PASS, 100, 1, SIZE_MAX, "no room for P and F" },
        { FC_PASS, 100, -1, 5, "shorter than the prefix" },
        { FC_PASS, 5, -1, SIZE_MAX, "first segment without its return code" },
        { FC_PASS, 10, -1, SIZE_MAX, "first segment shorter than its head: taken, no data" },
    };
    const size_t mark = TraceMark();
    StartExchange(FC_PASS);
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.why);
        Deliver(b.f, Seg(b.len, 0, true), b.claimed, b.cut);
        EXPECT_EQ(uint32_t(R83_LEN), g_dc.replyRemaining);
        EXPECT_EQ(0, g_dc.comRArea[0]);
    }
    g_dc.communicating = 0;
    Deliver(FC_PASS, Seg(100, 0, true));        /* a late reply */
    EXPECT_EQ(uint32_t(R83_LEN), g_dc.replyRemaining);
    EXPECT_EQ(0, g_dc.comRArea[0]);
    EXPECT_EQ(0, ComEnds());
    auto t = TraceTexts(mark);
    EXPECT_EQ(1, CountText(t, "Invalid Communication. wfunc = 89"));
    EXPECT_EQ(1, CountText(t, "Invalid Communication. wfunc = 00"));
    EXPECT_EQ(4, CountText(t, "Invalid Communication. wfunc = 83"));
}

static Bytes PathSeg(uint8_t flag, uint32_t rc, uint16_t cr, uint32_t mask)
{
    Bytes s(40, 0);
    s[3] = flag;
    PutBe32(&s[4], rc);
    PutBe16(&s[8], cr);
    PutBe32(&s[12], 0xA1B2C3D4);
    PutBe32(&s[16], mask);
    return s;
}

TEST(ReplyAssembly, PathControlAndBypassReports)
{
    StartExchange(FC_PATH);
    g_dc.checkBypassMode = 1;
    memset(g_dc.bypassBitmap, 0, sizeof g_dc.bypassBitmap);
    Deliver(FC_PATH, PathSeg(SEG_END, 0, 0, 0));
    EXPECT_EQ(0, ComEnds()) << "an end segment first does not end the exchange";
    Deliver(FC_PATH, PathSeg(SEG_DATA, 0, 0x0307, 1));
    EXPECT_EQ(1, ComEnds()) << "it ends with the next message";
    EXPECT_EQ(0x80000000u >> 3, g_dc.bypassBitmap[7]);
    EXPECT_EQ(0xA1B2C3D4u, GetBe32(g_dc.comRArea + 12));

    /* Reports outside the table change nothing. */
    const size_t mark = TraceMark();
    StartExchange(FC_PATH);
    Deliver(FC_PATH, PathSeg(SEG_DATA, 0, 0x2005, 1));   /* unit 32 */
    Deliver(FC_PATH, PathSeg(SEG_DATA, 0, 0x0150, 1));   /* row 80 */
    Deliver(FC_PATH, PathSeg(SEG_DATA, 0, 0x0102, 0));   /* no mask: not bypassed */
    EXPECT_EQ(0, ComEnds());
    Deliver(FC_PATH, PathSeg(SEG_END, 0, 0, 0));
    EXPECT_EQ(1, ComEnds());
    for (uint32_t r = 0; r < ROW_COUNT; r++)
        EXPECT_EQ(r == 7 ? 0x80000000u >> 3 : 0u, g_dc.bypassBitmap[r]) << r;
    auto t = TraceTexts(mark);
    EXPECT_EQ(1, CountText(t, "Check Bypass ->Invalid C# CR#=2005"));
    EXPECT_EQ(1, CountText(t, "Check Bypass ->Invalid R# CR#=0150"));
    g_dc.checkBypassMode = 0;

    StartExchange(FC_PATH);
    Deliver(FC_PATH, PathSeg(SEG_DATA, 0x0F001740, 0, 0));
    EXPECT_EQ(1, ComEnds()) << "a return code ends the exchange before its end segment";
    EXPECT_EQ(0x0F001740u, ResultCode());
}

TEST(ReplyAssembly, DriveReadRecords)
{
    StartExchange(FC_READ);
    Bytes s(12 + 64 * 32, 0);
    s[3] = SEG_DATA;
    PutBe16(&s[10], uint16_t(s.size() * 2));   /* two segments of data */
    Deliver(FC_READ, s);
    Deliver(FC_READ, PathSeg(SEG_END, 0, 0, 0));
    EXPECT_EQ(0, ComEnds()) << "data not complete yet";
    Bytes second(s.size(), 0x5A);
    second[3] = SEG_DATA;
    PutBe32(&second[4], 0);
    Deliver(FC_READ, second);
    EXPECT_EQ(1u, g_dc.dataComplete);
    EXPECT_EQ(1, ComEnds());
    EXPECT_EQ(g_dc.comRArea, g_dc.replyWritePtr);

    /* A size larger than the buffer stops at its end. */
    StartExchange(FC_READ);
    Bytes big(30000, 0x33);
    big[3] = SEG_DATA;
    PutBe32(&big[4], 0);
    PutBe16(&big[10], 0xFFFF);
    for (int i = 0; i < 4; i++)
        Deliver(FC_READ, big);
    EXPECT_EQ(0, g_dc.comRArea[R83_LEN]);
    EXPECT_EQ(1u, g_dc.dataComplete);
}

/* ---- requests, attempts, time-outs, Stop ---- */

/* No controller runs here: every transfer fails and every attempt times out. */
static const uint32_t kRows[3] = { 0x80000001, 0, 0x00010000 }, kNoRows[3] = {};   /* rows 0, 31, 79 */
typedef uint32_t (*PassFn)(uint16_t, uint8_t, const uint32_t *, uint16_t, DriveResult *);
typedef uint32_t (*PathFn)(uint16_t, const uint32_t *, uint16_t, DriveResult *);
typedef uint32_t (*DriveFn)(uint16_t, uint16_t, uint16_t, DriveResult *);

/* Runs one command over a request buffer of 0xAA; its status, the request bytes and the trace
 * of its attempts. */
static uint16_t RunCommand(const char *name, const std::function<uint32_t(DriveResult *)> &cmd, const Bytes &want, uint16_t mp)
{
    SCOPED_TRACE(name);
    DriveResult r;
    char attempt[80];
    memset(g_dc.comArea, 0xAA, want.size());
    memset(&r, 0xEE, sizeof r);
    const size_t mark = TraceMark();
    EXPECT_EQ(0u, cmd(&r));
    EXPECT_EQ(0xEEEEEEEEu, r.returnCode) << "only the status is written";
    const Bytes got(g_dc.comArea, g_dc.comArea + want.size());
    EXPECT_EQ(want, got) << "first difference at byte "
                         << std::mismatch(want.begin(), want.end(), got.begin()).first - want.begin();
    const auto t = TraceTexts(mark);
    snprintf(attempt, sizeof attempt, "Com Trace FC=%02x FD=03 MainMP=%04x SubMP=%04x", want[1], mp, mp);
    EXPECT_EQ(std::string(name) + " Start", t.at(0));
    EXPECT_EQ(r.status == COM_TIMED_OUT ? 3 : 1, CountText(t, attempt)) << "three attempts unless cancelled";
    EXPECT_EQ(0, CountText(t, std::string(name) + " End"));
    return r.status;
}

/* Request bytes over 0xAA: the header, then what the command's family writes. */
static Bytes Request(uint8_t fc, uint8_t sf)
{
    Bytes q(DREQ83_LEN + 16, 0xAA);
    q[0] = FD_DRIVE;
    q[1] = fc;
    q[3] = APP_ID;
    if (fc != FC_PASS)
        q[2] = sf;
    return q;
}

static Bytes Pass(uint8_t unit, const uint32_t rows[3], uint8_t count, const Bytes &desc, uint8_t dir, uint16_t len)
{
    Bytes q = Request(FC_PASS, 0);
    q[12] = unit;
    q[13] = count;
    for (int i = 0; i < 3; i++)
        PutBe32(&q[20 + 4 * i], rows[i]);
    q[32] = 6;
    q[33] = dir;
    memcpy(&q[34], desc.data(), 6);
    PutBe16(&q[44], len);
    memset(&q[48], 0, DREQ83_LEN - 48);
    return q;
}

static Bytes Path(uint8_t fc, uint8_t sf, uint8_t kind, uint8_t sub, uint8_t adapter, const uint32_t *drives)
{
    Bytes q = Request(fc, sf);
    q[16] = 0x30;
    q[17] = kind;
    q[18] = sub;
    q[19] = adapter;
    for (uint32_t r = 0; r < ROW_COUNT; r++)
        PutBe32(&q[20 + 4 * r], drives[r]);
    return q;
}

TEST(Requests, BytesAndAttemptsOfEveryCommand)
{
    struct PassCase { const char *name; PassFn fn; Bytes desc; uint8_t dir; uint16_t len; };
    const PassCase pass[] = {
        { "Inquiry", CmdInquiry, { 0x12, 0, 0, 0, 0x90, 0 }, 2, 144 },
        { "Unit Ready", CmdTestUnitReady, { 0, 0, 0, 0, 0, 0 }, 0, 0 },
        { "Request Sense", CmdRequestSense, { 0x03, 0, 0, 0, 0x20, 0 }, 2, 32 },
        { "Stop Unit", CmdStopUnit, { 0x1B, 0, 0, 0, 0, 0 }, 0, 0 },
        { "Start Unit", CmdStartUnit, { 0x1B, 0, 0, 0, 1, 0 }, 0, 0 },
        { "Self Test", CmdSelfTest, { 0x1D, 5, 0, 0, 0, 0 }, 0, 0 },
    };
    for (const PassCase &c : pass)
        EXPECT_EQ(COM_TIMED_OUT, RunCommand(c.name, [&](DriveResult *r) { return c.fn(0x85, 5, kRows, 1, r); },
                                     Pass(5, kRows, 3, c.desc, c.dir, c.len), 0x85));
    EXPECT_EQ(COM_TIMED_OUT, RunCommand("Unit Ready", [](DriveResult *r) { return CmdTestUnitReady(0x85, 2, kNoRows, 1, r); },
                                 Pass(2, kNoRows, 0, Bytes(6, 0), 0, 0), 0x85)) << "an empty bitmap is sent too";

    uint32_t drives[ROW_COUNT] = {}, one[ROW_COUNT] = {};
    drives[0] = 0x12345678;
    drives[79] = 0x80000000;
    struct PathCase { const char *name; PathFn fn; uint8_t sf, kind, sub; };
    const PathCase paths[] = {
        { "Lip", CmdLip, 6, 6, 0x13 }, { "Reset Bypass", CmdResetBypass, 6, 6, 0x14 },
        { "Set Bypass", CmdSetBypass, 6, 6, 0x15 }, { "Check Bypass", CmdCheckBypass, 6, 6, 0x16 },
        { "Reject Lamp", CmdRejectLamp, 5, 4, 0x02 },
    };
    for (const PathCase &c : paths)
        EXPECT_EQ(COM_TIMED_OUT, RunCommand(c.name, [&](DriveResult *r) { return c.fn(0x93, drives, 1, r); },
                                     Path(FC_PATH, c.sf, c.kind, c.sub, 0x13, drives), 0x93));
    EXPECT_EQ(0u, g_dc.checkBypassMode) << "cleared after a failed exchange";

    /* One drive, 0105 (unit 1: bit 1 of row word 5). */
    struct DriveCase { const char *name; DriveFn fn; uint8_t fc, sf, kind, sub; };
    const DriveCase one0105[] = {
        { "Start Inline", CmdStartInline, FC_PATH, 6, 6, 0x21 }, { "End Inline", CmdEndInline, FC_PATH, 6, 6, 0x22 },
        { "Drive Read", CmdDriveRead, FC_READ, 10, 8, 0 },
    };
    one[5] = 0x40000000;
    for (const DriveCase &c : one0105)
        EXPECT_EQ(COM_TIMED_OUT, RunCommand(c.name, [&](DriveResult *r) { return c.fn(0x81, 0x0105, 1, r); },
                                     Path(c.fc, c.sf, c.kind, c.sub, 0x01, one), 0x81));

    uint32_t bm[ROW_COUNT] = {};
    EXPECT_EQ(0, MarkDrive(bm, ROW_COUNT, 0x2001));
    EXPECT_EQ(0, MarkDrive(bm, ROW_COUNT, 0x0150));
    EXPECT_EQ(0, MarkDrive(bm, 16, 0x0110));
    EXPECT_EQ(1, MarkDrive(bm, 17, 0x0110));
    for (uint32_t r = 0; r < ROW_COUNT; r++)
        EXPECT_EQ(r == 16 ? 0x40000000u : 0u, bm[r]) << r;
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
    const Bytes tur = Pass(5, kRows, 3, Bytes(6, 0), 0, 0);
    const auto cmd = [](DriveResult *r) { return CmdTestUnitReady(0x85, 5, kRows, 1, r); };
    g_hook = SetWindowsHookExA(WH_CBT, PressStop, nullptr, GetCurrentThreadId());
    g_dc.cfg.debugMode = 0;
    g_dc.stopRequested = 0;
    EXPECT_EQ(COM_TIMED_OUT, RunCommand("Unit Ready", cmd, tur, 0x85)) << "normal mode: the command goes on";
    EXPECT_EQ(1u, g_dc.stopRequested);
    g_dc.cfg.debugMode = 1;
    EXPECT_EQ(COM_CANCELLED, RunCommand("Unit Ready", cmd, tur, 0x85)) << "debug mode: cancelled, no further attempt";
    UnhookWindowsHookEx(g_hook);
    g_dc.cfg.debugMode = 0;
    g_dc.stopRequested = 0;
}
