/* DkcSim.exe against the program's side played by this process as "0D": the reply framing the
 * program takes apart (at the largest segment), refusals, hostile requests and its lifecycle.
 * The default subsystem has units 0-3 (MP 0x80-0x83 on path A, 0x90-0x93 on path B), rows 0-11. */
#include "tests/sim/simtest.h"
#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include <string>

typedef testing::AssertionResult Result;
static const uint8_t kTur[DREQ_CDB_LEN] = { CDB_TUR };

static Bytes Request83(uint8_t unit, const std::vector<int> &rows, const uint8_t *cdb)
{
    Bytes r(DREQ83_LEN, 0);
    r[DREQ_FD] = FD_DRIVE, r[DREQ_FC] = FC_PASS, r[DREQ_APID] = uint8_t(TEST_APNO), r[DREQ_UNIT] = unit;
    for (int row : rows) {
        uint8_t *w = &r[DREQ_ROWBITMAP + 4 * size_t(row / 32)];
        PutBe32(w, GetBe32(w) | 0x80000000u >> (row % 32));
        r[DREQ_ROWCOUNT] += row < SIM_ROWS;
    }
    r[DREQ_CDBLEN] = DREQ_CDB_LEN;
    memcpy(&r[DREQ_CDB], cdb, DREQ_CDB_LEN);
    return r;
}

static Bytes Request89(uint8_t fc, uint8_t sub, uint16_t mpid, const std::vector<uint16_t> &crs)
{
    Bytes r(DREQ89_LEN, 0);
    r[DREQ_FD] = FD_DRIVE, r[DREQ_FC] = fc, r[DREQ_SF] = fc == FC_READ ? 10 : 6, r[DREQ_APID] = uint8_t(TEST_APNO);
    r[DREQ_MARK] = DREQ_MARK_VALUE, r[DREQ_KIND] = fc == FC_READ ? KIND_READ : KIND_PATH, r[DREQ_SUB] = sub;
    r[DREQ_ADAPTER] = uint8_t(mpid - MP_ID_BASE);
    for (uint16_t cr : crs) {
        uint8_t *w = &r[DREQ_BITMAP + 4 * (cr & 0xFF)];
        PutBe32(w, GetBe32(w) | 0x80000000u >> (cr >> 8));
    }
    return r;
}

/* A drive command to "09" over route 0, mpid as both MP ids. */
static bool SendDrive(const Bytes &req, uint16_t mpid)
{
    return mtp2_iwtrn_300(0, mpid, mpid, uint16_t(FD_DRIVE << 8 | req[DREQ_FC]), nullptr, 0, req.data(),
                          uint32_t(req.size())) == IW_OK;
}

/* One reply message taken apart. */
struct Segment { uint16_t func, mpid; uint8_t flags, p, f; Bytes seg; };
static std::vector<Segment> g_segs;   /* the last exchange */
static Bytes g_data;                  /* its FC 0x83 reply data */

/* Sends req and collects the reply up to its end: 75 040 bytes of FC 0x83 data after the
 * first segment's head, or an FC 0x89 / 0xBE end segment or refusal. Each message is checked:
 * row, sender, length prefix, other prefix bytes 0, function word, F, P in sequence, first and
 * last flags, one MP. */
static Result Exchange(const Bytes &req, uint16_t mpid)
{
    const uint8_t fc = req[DREQ_FC];
    const DWORD start = GetTickCount();
    Received m;
    g_segs.clear();
    g_data.clear();
    if (!SendDrive(req, mpid))
        return testing::AssertionFailure() << "request not delivered";
    for (bool end = false; !end;) {
        const size_t i = g_segs.size(), head = fc == FC_PASS ? (i ? 0 : size_t(SEG83_HEAD)) : size_t(SEG_HEAD_LEN);
        const DWORD gone = GetTickCount() - start;
        if (gone >= REPLY_MS || !NextMessage(&m, REPLY_MS - gone))
            return testing::AssertionFailure() << "no segment " << i << " after " << g_data.size() << " bytes";
        const size_t len = m.data.size();
        bool prefixOk = m.kind == IW_ROW_DKC && m.from == 0x09 && len >= MSG_PREFIX + PL_SEG + head &&
                        GetBe16(&m.data[MSG_PAYLOAD_LEN]) == len - MSG_PREFIX;
        for (size_t b = 0; prefixOk && b < MSG_PAYLOAD_LEN; b++)
            prefixOk = b == MSG_FLAGS || m.data[b] == 0;
        if (!prefixOk)
            return testing::AssertionFailure() << "segment " << i << ": kind " << m.kind << " from " << m.from << ", " << len << " bytes";
        g_segs.push_back({ m.func, m.mpid, m.data[MSG_FLAGS], m.data[MSG_PREFIX + PL_P], m.data[MSG_PREFIX + PL_F],
                           Bytes(m.data.begin() + MSG_PREFIX + PL_SEG, m.data.end()) });
        const Segment &s = g_segs.back();
        if (fc == FC_PASS)
            g_data.insert(g_data.end(), s.seg.begin() + head, s.seg.end());
        end = fc == FC_PASS ? g_data.size() >= R83_LEN : s.seg[SEG_FLAG] == SEG_END || GetBe32(&s.seg[SEG_RC]) != RC_OK;
        if (s.func != (FD_DRIVE << 8 | fc) || s.f != fc || s.p != uint8_t(i) || s.mpid != g_segs[0].mpid ||
            bool(s.flags & MSG_FIRST) != (i == 0) || bool(s.flags & MSG_LAST) != end || g_data.size() > R83_LEN)
            return testing::AssertionFailure() << "segment " << i << ": func " << s.func << " F " << int(s.f) << " P "
                                               << int(s.p) << " flags " << int(s.flags) << " MP " << s.mpid;
    }
    return testing::AssertionSuccess();
}

static void ExpectNoMore()
{
    Received m;
    EXPECT_FALSE(NextMessage(&m, 0)) << "a message too many";
}

/* TUR row reports of rows 0..79: the valid rows named by unit and row, every other block zero. */
static void ExpectRows(uint8_t unit, const std::vector<int> &valid)
{
    EXPECT_EQ((Bytes{ unit, uint8_t(valid.size()) }), (Bytes{ g_data[HEAD_UNIT], g_data[HEAD_VALID_ROWS] }));
    for (int row = 0; row < SIM_ROWS; row++) {
        const uint8_t *b = g_data.data() + R83_HEAD + R83_BLOCK * size_t(row);
        if (std::find(valid.begin(), valid.end(), row) != valid.end())
            EXPECT_EQ((Bytes{ 1, unit, uint8_t(row) }), (Bytes{ b[BLK_FLAG], b[BLK_CDEV], b[BLK_RDEV] })) << "row " << row;
        else
            EXPECT_EQ(Bytes(b, b + R83_BLOCK), Bytes(R83_BLOCK, 0)) << "row " << row;
    }
}

TEST(DkcSim, ReplyFramingAndRefusals)
{
    Peer p;
    UseDescription(("[Sim]\nSegmentSize=" + std::to_string(SIM_SEGMENT_MAX) + "\n").c_str());
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));

    /* The largest first segment carries the head, the second the rest, both from the MP asked. */
    ASSERT_TRUE(Exchange(Request83(1, { 0, 3, 11, 12, 40 }, kTur), 0x91));
    ASSERT_EQ(2u, g_segs.size());
    EXPECT_EQ(size_t(SEG83_HEAD) + SIM_SEGMENT_MAX, g_segs[0].seg.size());
    EXPECT_EQ(0x91, g_segs[1].mpid);
    EXPECT_EQ(0x91, GetBe16(&g_data[HEAD_MPID]));
    ExpectRows(1, { 0, 3, 11 });

    /* A path command: a data segment, then the end segment; a refusal: one data segment with
     * its return code. */
    ASSERT_TRUE(Exchange(Request89(FC_PATH, SUB_LIP, 0x81, { 0x0100 }), 0x81));
    ASSERT_EQ(2u, g_segs.size());
    EXPECT_EQ((Bytes{ SEG_DATA, SEG_END }), (Bytes{ g_segs[0].seg[SEG_FLAG], g_segs[1].seg[SEG_FLAG] }));
    const struct { uint8_t fc, sub; uint16_t cr; uint32_t rc; size_t len; } refusals[] = {
        { FC_PATH, 0x7F, 0x0100, RC_BAD_REQUEST, SEG89_LEN }, { FC_READ, SUB_READ, 0x0115, RC_NO_DRIVE, SEG_HEAD_LEN },
    };
    for (const auto &f : refusals) {
        ASSERT_TRUE(Exchange(Request89(f.fc, f.sub, 0x81, { f.cr }), 0x81));
        ASSERT_EQ(1u, g_segs.size());
        const Bytes &s = g_segs[0].seg;
        EXPECT_EQ(f.len, s.size());
        EXPECT_EQ((Bytes{ SEG_DATA, MSG_FIRST | MSG_LAST }), (Bytes{ s[SEG_FLAG], g_segs[0].flags }));
        EXPECT_EQ(f.rc, GetBe32(&s[SEG_RC]));
    }
    ExpectNoMore();
    EXPECT_EQ(0, p.Stop());
}
TEST(DkcSim, HostileRequestsAndLifecycle)
{
    Bytes req = Request83(1, { 0 }, kTur);
    Peer p;
    size_t mark = TraceMark();
    UseDescription("[Sim]\nSegmentSize=30000\n");
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));

    /* Too short, not a drive command, unknown function, short path command: dropped. */
    ASSERT_EQ(0, mtp2_iwtrn_300(0, 0x81, 0x81, 0x0383, nullptr, 0, req.data(), DREQ83_MIN - 1));
    req[DREQ_FD] = 7;
    ASSERT_TRUE(SendDrive(req, 0x81));
    req[DREQ_FD] = FD_DRIVE;
    req[DREQ_FC] = 0x42;
    ASSERT_TRUE(SendDrive(req, 0x81));
    req = Request89(FC_PATH, SUB_CHECKBYPASS, 0x81, { 0x0100 });
    ASSERT_EQ(0, mtp2_iwtrn_300(0, 0x81, 0x81, 0x0389, nullptr, 0, req.data(), DREQ89_MIN - 1));
    /* A SUB message is not a drive command either. */
    BitmapMP t;
    char dest[IW_APID_LEN] = "09";
    memset(&t, 0xFF, sizeof t);
    ASSERT_EQ(0, IwTransferTo(IW_ROW_SUB, &t, &t, 0x0383, dest, req.data(), uint32_t(req.size()), nullptr, 0));
    /* The next request is answered whole and alone. */
    ASSERT_TRUE(Exchange(Request83(1, { 0 }, kTur), 0x81));
    ExpectRows(1, { 0 });
    ExpectNoMore();
    EXPECT_EQ(0, p.Stop());
    const std::vector<std::string> lines = TraceTexts(mark, 0, SIM_TRACE_BASE + 0x09);
    EXPECT_EQ(4u, GrepLines(lines, "DkcSim DROP from=0D").size());
    EXPECT_EQ(1u, GrepLines(lines, "DkcSim RECV kind 1 from 0D not served").size());

    /* The lifetime ends it; the default quit event ends it (and it resets its RECV event); a
     * second receiver of AP 09 and bad arguments do not start. */
    EXPECT_EQ(SIM_EXIT_LIFETIME, WaitExit(StartProgram("DkcSim.exe", "--lifetime 1"), REPLY_MS));
    char recvName[IW_NAME_LEN], quitName[IW_NAME_LEN + 8];
    IwFormatName(recvName, IW_FMT_RECV, SIM_APID_DKC);
    snprintf(quitName, sizeof quitName, SIM_QUIT_FMT, SIM_APID_DKC);
    HANDLE recv = IwCreateEvent(TRUE, FALSE, recvName);
    ResetEvent(recv);
    HANDLE h = StartProgram("DkcSim.exe", "");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(recv, REPLY_MS));
    EXPECT_EQ(SIM_EXIT_START, WaitExit(StartProgram("DkcSim.exe", "--quit-event Local\\Other"), REPLY_MS));
    EXPECT_EQ(1u, GrepLines(TraceTexts(mark, 0, SIM_TRACE_BASE + 0x09), "AP 09 is receiving already: not started").size());
    HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, quitName);
    EXPECT_TRUE(quit && SetEvent(quit));
    EXPECT_EQ(SIM_EXIT_QUIT, WaitExit(h, REPLY_MS));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(recv, 0));
    CloseHandle(quit);
    CloseHandle(recv);
    EXPECT_EQ(SIM_EXIT_USAGE, WaitExit(StartProgram("DkcSim.exe", "--bogus"), REPLY_MS));
}
