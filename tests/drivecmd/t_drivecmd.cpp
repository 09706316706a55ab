/* The drive command layer in process: reply assembly on hand-made messages, request bytes of
 * every command, attempts, time-outs and the Stop button. No controller runs here. */
#include "drivecmd/drivecmd.h"
#include "res/resource.h"
#include "tests/support/support.h"
#include <string.h>
#include <algorithm>
#include <functional>

typedef std::vector<uint8_t> Bytes;
static HWND g_sink;     /* stands in for the waiting dialog */
static uint8_t *&g_req = g_dc.comArea, *&g_reply = g_dc.comRArea;

struct DriveCmdEnv : TestEnv {
    DriveCmdEnv() : TestEnv(nullptr, 200) {}
    void SetUp() override
    {
        TestEnv::SetUp();
        IwFillLayoutTable();
        g_dc.cfg.instance = GetModuleHandleA(nullptr);
        g_req = (uint8_t *)calloc(1, COM_AREA_LEN);
        g_reply = (uint8_t *)calloc(1, COM_AREA_LEN);
        g_sink = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    }
};
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new DriveCmdEnv);
/* The return code the transport kept, read big-endian as the commands read it. */
static uint32_t ResultCode() { return GetBe32((const uint8_t *)g_dc.comResult); }

/* WM_COMEND posted to the sink since the last look. */
static int ComEnds()
{
    int n = 0;
    for (MSG m; PeekMessageA(&m, g_sink, WM_COMEND, WM_COMEND, PM_REMOVE);)
        n++;
    return n;
}

static void StartExchange(uint8_t fc)
{
    ComEnds();
    g_dc.commDialog = g_sink;
    g_dc.communicating = 1;
    g_dc.expectedFc = fc;
    g_dc.replyWritePtr = g_reply;
    g_dc.replyRemaining = R83_LEN;
    g_dc.comCnt = 0;
    for (volatile uint32_t *p : { &g_dc.kipdevSize, &g_dc.dataComplete, &g_dc.endSegmentSeen })
        *p = 0;
    memset((void *)g_dc.comResult, 0, RC_LEN);
    memset(g_reply, 0, COM_AREA_LEN);
}

/* Delivers one controller message: the 8-byte prefix stating the payload length (or claimed),
 * the payload P, F and the segment; the copy cut to cut bytes. Returns the WM_COMEND posted. */
static int Deliver(uint8_t f, const Bytes &seg, int claimed = -1, size_t cut = SIZE_MAX)
{
    Bytes all(8, 0);
    PutBe16(&all[6], uint16_t(claimed >= 0 ? claimed : int(seg.size() + 2)));
    all.push_back(0x11), all.push_back(f);
    all.insert(all.end(), seg.begin(), seg.end());
    all.resize(std::min(all.size(), cut));
    uint8_t *copy = (uint8_t *)HeapAlloc(GetProcessHeap(), 0, all.size());
    memcpy(copy, all.data(), all.size());
    IwHeader header = {};
    IwMsgDesc msg = { &header, copy };
    EXPECT_EQ(IW_HANDLED, mtp_cdcalbak(&msg));
    HeapFree(GetProcessHeap(), 0, copy);
    return ComEnds();
}

/* A pass-through segment of len bytes with reply bytes from `from` on (reply byte i is i * 7);
 * a first one starts with its 20-byte head: data flag, return code 0x01020304. */
static Bytes Seg(size_t len, size_t from, bool first)
{
    const size_t head = first ? size_t(SEG83_HEAD) : 0;
    Bytes s(len, 0);
    for (size_t i = head; i < len; i++)
        s[i] = uint8_t((from + i - head) * 7);
    if (first && len >= 8)
        s[3] = SEG_DATA, PutBe32(&s[4], 0x01020304);
    return s;
}

/* A path control segment: flag, return code, CR#, answer 0xA1B2C3D4, bypass mask. */
static Bytes PathSeg(uint8_t flag, uint32_t rc, uint16_t cr, uint32_t mask)
{
    Bytes s(40, 0);
    s[3] = flag;
    PutBe32(&s[4], rc), PutBe16(&s[8], cr), PutBe32(&s[12], 0xA1B2C3D4), PutBe32(&s[16], mask);
    return s;
}

TEST(ReplyAssembly, EveryFamilyAndRefusals)
{
    for (size_t segSize : { 21, 1024, 4096, 16384, 30000 }) {
        SCOPED_TRACE(segSize);
        StartExchange(FC_PASS);
        int ends = Deliver(FC_PASS, Seg(segSize, 0, true));
        size_t sent = segSize - SEG83_HEAD;
        for (; !ends && sent < R83_LEN + 5000; sent += segSize)
            ends = Deliver(FC_PASS, Seg(segSize, sent, false));
        /* It ends with the message that completes 75 040 bytes; the rest of it is cut. */
        EXPECT_EQ(1, ends);
        EXPECT_LT(sent - segSize, size_t(R83_LEN));
        for (size_t i = 0; i < R83_LEN; i += 997)
            ASSERT_EQ(uint8_t(i * 7), g_reply[i]) << i;
        EXPECT_EQ(uint8_t((R83_LEN - 1) * 7), g_reply[R83_LEN - 1]);
        EXPECT_EQ(0, g_reply[R83_LEN]);
        EXPECT_EQ(0u, ResultCode()) << "pass-through replies report 0";
    }

    /* Refused: function code, segment length, length claimed, copy cut to; the code in the refusal line
     * (null: taken, no data). */
    struct Bad { uint8_t f; size_t len; int claimed; size_t cut; const char *wfunc; };
    const Bad bad[] = {
        { FC_PATH, 100, -1, SIZE_MAX, "89" },    /* foreign function code */
        { FC_PASS, 100, 103, SIZE_MAX, "83" },   /* claims one byte more than the copy holds */
        { FC_PASS, 100, 1, SIZE_MAX, "83" },     /* no room for P and F */
        { FC_PASS, 100, -1, 5, "00" },           /* shorter than the prefix */
        { FC_PASS, 5, -1, SIZE_MAX, "83" },      /* first segment without its return code */
        { FC_PASS, 10, -1, SIZE_MAX, nullptr },  /* first segment shorter than its head */
        { 0, 100, -1, SIZE_MAX, "83" },          /* a reply after the exchange */
    };
    StartExchange(FC_PASS);
    for (const Bad &b : bad) {
        SCOPED_TRACE(&b - bad);
        const size_t mark = TraceMark();
        g_dc.communicating = b.f != 0;
        EXPECT_EQ(0, Deliver(b.f ? b.f : uint8_t(FC_PASS), Seg(b.len, 0, true), b.claimed, b.cut));
        EXPECT_EQ(uint32_t(R83_LEN), g_dc.replyRemaining);
        EXPECT_EQ(0, g_reply[0]);
        EXPECT_EQ(b.wfunc ? 1u : 0u, GrepLines(TraceTexts(mark), std::string("Invalid Communication. wfunc = ") + (b.wfunc ? b.wfunc : "")).size());
    }

    /* Path control. Each step: a new exchange first?, the segment, WM_COMEND expected. */
    struct Step { bool fresh; uint8_t flag; uint32_t rc; uint16_t cr; uint32_t mask; int ends; };
    const Step steps[] = {
        { true, SEG_END, 0, 0, 0, 0 },              /* an end segment first does not end it */
        { false, SEG_DATA, 0, 0x0307, 1, 1 },       /* the next message does */
        { true, SEG_DATA, 0, 0x2005, 1, 0 },        /* unit 32, row 80, no mask: no bypass */
        { false, SEG_DATA, 0, 0x0150, 1, 0 },
        { false, SEG_DATA, 0, 0x0102, 0, 0 },
        { false, SEG_END, 0, 0, 0, 1 },
        { true, SEG_DATA, 0x0F001740, 0, 0, 1 },    /* a return code ends it before its end */
    };
    const size_t mark = TraceMark();
    g_dc.checkBypassMode = 1;
    ClearWords(g_dc.bypassBitmap, ROW_COUNT);
    for (const Step &s : steps) {
        if (s.fresh)
            StartExchange(FC_PATH);
        EXPECT_EQ(s.ends, Deliver(FC_PATH, PathSeg(s.flag, s.rc, s.cr, s.mask))) << "step " << &s - steps;
    }
    g_dc.checkBypassMode = 0;
    for (uint32_t r = 0; r < ROW_COUNT; r++)
        EXPECT_EQ(r == 7 ? 0x80000000u >> 3 : 0u, g_dc.bypassBitmap[r]) << r;
    EXPECT_EQ(0xA1B2C3D4u, GetBe32(g_reply + 12));
    EXPECT_EQ(0x0F001740u, ResultCode());
    auto t = TraceTexts(mark);
    EXPECT_EQ(1u, GrepLines(t, "Check Bypass ->Invalid C# CR#=2005").size());
    EXPECT_EQ(1u, GrepLines(t, "Check Bypass ->Invalid R# CR#=0150").size());

    /* Drive Read: the first segment states the size of two; an end segment between them ends nothing. */
    StartExchange(FC_READ);
    Bytes s(12 + 64 * 32, 0x5A);
    s[3] = SEG_DATA, PutBe32(&s[4], 0), PutBe16(&s[10], uint16_t(s.size() * 2));
    EXPECT_EQ(0, Deliver(FC_READ, s));
    EXPECT_EQ(0, Deliver(FC_READ, PathSeg(SEG_END, 0, 0, 0)));
    PutBe16(&s[10], 0x5A5A);
    EXPECT_EQ(1, Deliver(FC_READ, s));
    EXPECT_EQ(1u, g_dc.dataComplete);
    EXPECT_EQ(g_reply, g_dc.replyWritePtr);

    /* A size larger than the buffer stops at its end. */
    StartExchange(FC_READ);
    Bytes big(30000, 0x33);
    big[3] = SEG_DATA;
    PutBe32(&big[4], 0), PutBe16(&big[10], 0xFFFF);
    for (int i = 0; i < 4; i++)
        Deliver(FC_READ, big);
    EXPECT_EQ(0, g_reply[R83_LEN]);
    EXPECT_EQ(1u, g_dc.dataComplete);
}

/* ---- requests, attempts, time-outs, Stop ---- */

/* Every transfer fails and every attempt times out. */
static const uint32_t kRows[3] = { 0x80000001, 0, 0x00010000 }, kNoRows[3] = {};   /* rows 0, 31, 79 */

/* Runs one command over a request buffer of 0xAA; its status, after checking the request bytes
 * and the trace of its attempts. */
static uint16_t RunCommand(const char *name, const std::function<uint32_t(DriveResult *)> &cmd, const Bytes &want, uint16_t mp)
{
    SCOPED_TRACE(name);
    DriveResult r;
    char attempt[80];
    memset(g_req, 0xAA, want.size());
    memset(&r, 0xEE, sizeof r);
    const size_t mark = TraceMark();
    EXPECT_EQ(0u, cmd(&r));
    EXPECT_EQ(0xEEEEEEEEu, r.returnCode) << "only the status is written";
    const Bytes got(g_req, g_req + want.size());
    EXPECT_EQ(want, got) << "first difference at byte " << std::mismatch(want.begin(), want.end(), got.begin()).first - want.begin();
    const auto t = TraceTexts(mark);
    snprintf(attempt, sizeof attempt, "Com Trace FC=%02x FD=03 MainMP=%04x SubMP=%04x", want[1], mp, mp);
    EXPECT_EQ(std::string(name) + " Start", t.at(0));
    EXPECT_EQ(r.status == COM_TIMED_OUT ? 3u : 1u, GrepLines(t, attempt).size()) << "three attempts unless cancelled";
    EXPECT_EQ(0u, GrepLines(t, std::string(name) + " End").size());
    return r.status;
}

/* Request bytes over 0xAA: the header, then what the command's family writes. */
static Bytes Request(uint8_t fc)
{
    Bytes q(DREQ83_LEN + 16, 0xAA);
    q[0] = FD_DRIVE, q[1] = fc, q[3] = APP_ID;
    return q;
}
static Bytes Pass(uint8_t unit, const uint32_t rows[3], uint8_t count, const Bytes &desc, uint8_t dir, uint16_t len)
{
    Bytes q = Request(FC_PASS);
    q[12] = unit, q[13] = count, q[32] = 6, q[33] = dir;
    for (int i = 0; i < 3; i++)
        PutBe32(&q[20 + 4 * i], rows[i]);
    memcpy(&q[34], desc.data(), 6);
    PutBe16(&q[44], len);
    memset(&q[48], 0, DREQ83_LEN - 48);
    return q;
}
static Bytes Path(uint8_t fc, uint8_t sf, uint8_t kind, uint8_t sub, uint8_t adapter, const uint32_t *drives)
{
    Bytes q = Request(fc);
    q[2] = sf, q[16] = 0x30, q[17] = kind, q[18] = sub, q[19] = adapter;
    for (uint32_t r = 0; r < ROW_COUNT; r++)
        PutBe32(&q[20 + 4 * r], drives[r]);
    return q;
}

TEST(Requests, BytesAttemptsAndStopOfEveryCommand)
{
    struct PassCase { const char *name; decltype(&CmdInquiry) fn; Bytes desc; uint8_t dir; uint16_t len; };
    const PassCase pass[] = {
        { "Inquiry", CmdInquiry, { 0x12, 0, 0, 0, 0x90, 0 }, 2, 144 },
        { "Request Sense", CmdRequestSense, { 0x03, 0, 0, 0, 0x20, 0 }, 2, 32 },
        { "Unit Ready", CmdTestUnitReady, Bytes(6), 0, 0 }, { "Stop Unit", CmdStopUnit, { 0x1B, 0, 0, 0, 0, 0 }, 0, 0 },
        { "Start Unit", CmdStartUnit, { 0x1B, 0, 0, 0, 1, 0 }, 0, 0 },
        { "Self Test", CmdSelfTest, { 0x1D, 5, 0, 0, 0, 0 }, 0, 0 },
    };
    for (const PassCase &c : pass)
        EXPECT_EQ(COM_TIMED_OUT, RunCommand(c.name, [&](DriveResult *r) { return c.fn(0x85, 5, kRows, 1, r); },
                                            Pass(5, kRows, 3, c.desc, c.dir, c.len), 0x85));
    EXPECT_EQ(COM_TIMED_OUT, RunCommand("Unit Ready", [](DriveResult *r) { return CmdTestUnitReady(0x85, 2, kNoRows, 1, r); },
                                        Pass(2, kNoRows, 0, Bytes(6, 0), 0, 0), 0x85)) << "an empty bitmap is sent too";

    /* Path control over a drive bitmap through MP 0x93, or for drive 0105 (unit 1: bit 1 of row
     * word 5) through MP 0x81. */
    uint32_t drives[ROW_COUNT] = {}, one[ROW_COUNT] = {};
    drives[0] = 0x12345678, drives[79] = 0x80000000, one[5] = 0x40000000;
    struct PathCase { const char *name; decltype(&CmdLip) fn; decltype(&CmdDriveRead) forOne; uint8_t fc, sf, kind, sub; };
    const PathCase paths[] = {
        { "Lip", CmdLip, nullptr, FC_PATH, 6, 6, 0x13 }, { "Reset Bypass", CmdResetBypass, nullptr, FC_PATH, 6, 6, 0x14 },
        { "Set Bypass", CmdSetBypass, nullptr, FC_PATH, 6, 6, 0x15 }, { "Check Bypass", CmdCheckBypass, nullptr, FC_PATH, 6, 6, 0x16 },
        { "Reject Lamp", CmdRejectLamp, nullptr, FC_PATH, 5, 4, 0x02 }, { "Start Inline", nullptr, CmdStartInline, FC_PATH, 6, 6, 0x21 },
        { "End Inline", nullptr, CmdEndInline, FC_PATH, 6, 6, 0x22 }, { "Drive Read", nullptr, CmdDriveRead, FC_READ, 10, 8, 0 },
    };
    for (const PathCase &c : paths) {
        auto run = [&](DriveResult *r) { return c.fn ? c.fn(0x93, drives, 1, r) : c.forOne(0x81, 0x0105, 1, r); };
        EXPECT_EQ(COM_TIMED_OUT, RunCommand(c.name, run, Path(c.fc, c.sf, c.kind, c.sub, c.fn ? 0x13 : 0x01, c.fn ? drives : one), c.fn ? 0x93 : 0x81));
    }
    EXPECT_EQ(0u, g_dc.checkBypassMode) << "cleared after a failed exchange";

    uint32_t bm[ROW_COUNT] = {};   /* unit 32, row 80, row 16 against a limit of 16 and of 17 */
    EXPECT_EQ((std::vector<int>{ 0, 0, 0, 1 }), (std::vector<int>{ MarkDrive(bm, ROW_COUNT, 0x2001),
              MarkDrive(bm, ROW_COUNT, 0x0150), MarkDrive(bm, 16, 0x0110), MarkDrive(bm, 17, 0x0110) }));
    for (uint32_t r = 0; r < ROW_COUNT; r++)
        EXPECT_EQ(r == 16 ? 0x40000000u : 0u, bm[r]) << r;
    const uint32_t rows[3] = { 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF };
    EXPECT_EQ(80u, CountRows(rows)) << "rows 80 to 95 do not count";

    /* Stop pressed in the waiting dialog as soon as it is up. */
    const Bytes tur = Pass(5, kRows, 3, Bytes(6, 0), 0, 0);
    const auto cmd = [](DriveResult *r) { return CmdTestUnitReady(0x85, 5, kRows, 1, r); };
    DialogPresser stop(IDC_COM_STOP);
    EXPECT_EQ(COM_TIMED_OUT, RunCommand("Unit Ready", cmd, tur, 0x85)) << "normal mode: the command goes on";
    EXPECT_EQ(1u, g_dc.stopRequested);
    g_dc.cfg.debugMode = 1;
    EXPECT_EQ(COM_CANCELLED, RunCommand("Unit Ready", cmd, tur, 0x85)) << "debug mode: cancelled, no further attempt";
    g_dc.cfg.debugMode = g_dc.stopRequested = 0;
}
