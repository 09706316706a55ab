/* DkcSim.exe against the program's side played by this process as "0D": replies cut at the
 * largest segment, routes and refusals, the drive state that spin-up and path commands change
 * and Drive Read reports, faults that fire a counted number of times or are ignored, hostile
 * requests and its lifecycle. The default subsystem has units 0-3 (MP 0x80-0x83 on path A,
 * 0x90-0x93 on path B), 8 (0x84/0x94) and 9 (0x85/0x95), rows 0-11 each. */
#include "tests/sim/simtest.h"
#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include <string>

typedef testing::AssertionResult Result;
static const uint8_t kTur[DREQ_CDB_LEN] = { CDB_TUR }, kInquiry[DREQ_CDB_LEN] = { CDB_INQUIRY, 0, 0, 0, 0x90 },
                     kStop[DREQ_CDB_LEN] = { CDB_STARTSTOP }, kStartImmed[DREQ_CDB_LEN] = { CDB_STARTSTOP, CDB_IMMED, 0, 0, CDB_START },
                     kSelfTest[DREQ_CDB_LEN] = { CDB_SELFTEST, 0x05 }, kReadCapacity[DREQ_CDB_LEN] = { 0x25 };

/* ---- requests and replies ---- */

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

static Bytes Request89(uint8_t fc, uint8_t sf, uint8_t kind, uint8_t sub, uint16_t mpid, const std::vector<uint16_t> &crs)
{
    Bytes r(DREQ89_LEN, 0);
    r[DREQ_FD] = FD_DRIVE, r[DREQ_FC] = fc, r[DREQ_SF] = sf, r[DREQ_APID] = uint8_t(TEST_APNO);
    r[DREQ_MARK] = DREQ_MARK_VALUE, r[DREQ_KIND] = kind, r[DREQ_SUB] = sub, r[DREQ_ADAPTER] = uint8_t(mpid - MP_ID_BASE);
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
struct Segment { uint16_t func, mpid; uint8_t flags, p, f; Bytes seg; DWORD at; };
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
                           Bytes(m.data.begin() + MSG_PREFIX + PL_SEG, m.data.end()), m.at });
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

static Result Cmd83(uint16_t mpid, uint8_t unit, const std::vector<int> &rows, const uint8_t *cdb)
{
    return Exchange(Request83(unit, rows, cdb), mpid);
}

/* An FC 0x89 exchange, FC 0xBE for SUB_READ. */
static Result CmdPath(uint8_t sub, uint16_t mpid, const std::vector<uint16_t> &crs)
{
    const bool read = sub == SUB_READ, lamp = sub == SUB_REJECTLAMP;
    return Exchange(Request89(read ? FC_READ : FC_PATH, read ? 10 : lamp ? 5 : 6, read ? KIND_READ : lamp ? KIND_LAMP : KIND_PATH,
                              sub, mpid, crs), mpid);
}

static const uint8_t *Block(int row) { return g_data.data() + R83_HEAD + R83_BLOCK * size_t(row); }

/* The bytes at these offsets. */
static Bytes At(const uint8_t *p, std::initializer_list<size_t> offsets)
{
    Bytes v;
    for (size_t o : offsets)
        v.push_back(p[o]);
    return v;
}

static void ExpectNoMore()
{
    Received m;
    EXPECT_FALSE(NextMessage(&m, 0)) << "a message too many";
}

/* Row reports of rows 0..79: the valid rows as listed, every other block all zero. */
static void ExpectRows(uint8_t unit, const std::vector<int> &valid)
{
    EXPECT_EQ((Bytes{ unit, uint8_t(valid.size()) }), At(g_data.data(), { HEAD_UNIT, HEAD_VALID_ROWS }));
    for (int row = 0; row < SIM_ROWS; row++) {
        const uint8_t *b = Block(row);
        if (std::find(valid.begin(), valid.end(), row) != valid.end())
            EXPECT_EQ((Bytes{ 1, unit, uint8_t(row) }), At(b, { BLK_FLAG, BLK_CDEV, BLK_RDEV })) << "row " << row;
        else
            EXPECT_EQ(Bytes(b, b + R83_BLOCK), Bytes(R83_BLOCK, 0)) << "row " << row;
    }
}

/* A refused exchange: one data segment with the return code and no end segment. */
static void ExpectRefused(uint32_t rc)
{
    ASSERT_EQ(1u, g_segs.size());
    const Bytes &s = g_segs[0].seg;
    EXPECT_EQ(size_t(g_segs[0].f == FC_READ ? SEG_HEAD_LEN : SEG89_LEN), s.size());
    EXPECT_EQ((Bytes{ SEG_DATA, MSG_FIRST | MSG_LAST }), (Bytes{ s[SEG_FLAG], g_segs[0].flags }));
    EXPECT_EQ(rc, GetBe32(&s[SEG_RC]));
}

/* TEST UNIT READY of unit 2, rows 0-3 on MP 0x82, a letter per row: G good, S not ready and
 * start needed, B becoming ready, ? anything else. */
static std::string Readiness()
{
    const Bytes good = { STATUS_GOOD, TUR_READY, 0, 0, 0 };
    Bytes notReady = { STATUS_CHECK, TUR_NOT_READY, SENSE_NOT_READY, ASC_NOT_READY, 0 };
    std::string s;
    if (!Cmd83(0x82, 2, { 0, 1, 2, 3 }, kTur))
        return "no reply";
    for (int row = 0; row < 4; row++) {
        const Bytes b = At(Block(row), { BLK_ERROR, BLK_TUR, BLK_SENSE, BLK_SENSE + 1, BLK_SENSE + 2 });
        notReady[4] = b[4];
        s += b == good ? 'G' : b != notReady ? '?' : b[4] == ASCQ_START_NEEDED ? 'S' : b[4] == ASCQ_BECOMING_READY ? 'B' : '?';
    }
    return s;
}

/* CR# of the bypass reports of the last FC 0x89 exchange, each segment's head, length and mask
 * checked; and the answer of its last data segment. */
static std::vector<uint16_t> Reports(uint8_t sf, uint32_t *answer)
{
    std::vector<uint16_t> crs;
    for (size_t i = 0; i < g_segs.size(); i++) {
        const Bytes &s = g_segs[i].seg;
        const bool last = i + 1 == g_segs.size();
        EXPECT_EQ(size_t(SEG89_LEN), s.size());
        EXPECT_EQ((Bytes{ TEST_APNO, FC_PATH, sf, uint8_t(last ? SEG_END : SEG_DATA), 0, 0, 0, 0 }), Bytes(s.begin(), s.begin() + SEG89_CR));
        if (s.size() < SEG89_LEN || last)
            continue;
        *answer = GetBe32(&s[SEG89_ANSWER]);
        if (GetBe32(&s[SEG89_MASK])) {
            crs.push_back(GetBe16(&s[SEG89_CR]));
            EXPECT_EQ(0x80000000u >> (crs.back() >> 8), GetBe32(&s[SEG89_MASK]));
        }
    }
    return crs;
}

/* The Drive Read record of one drive as the MP reports it; all 0xFF when there is none. */
static Bytes RecordOf(uint16_t cr, uint16_t mpid)
{
    EXPECT_TRUE(CmdPath(SUB_READ, mpid, { cr }));
    const size_t at = SEGBE_RECORDS + SEGBE_RECORD_LEN * (cr >> 8);
    return g_segs.empty() || g_segs[0].seg.size() < SEGBE_LEN ? Bytes(SEGBE_RECORD_LEN, 0xFF)
                                                             : Bytes(&g_segs[0].seg[at], &g_segs[0].seg[at + SEGBE_RECORD_LEN]);
}

TEST(DkcSim, SpinUpPathCommandsAndDriveRead)
{
    const uint32_t scaled = 30000 / TEST_DIVISOR;
    std::vector<uint16_t> unit3;
    Peer p;
    for (uint16_t row = 0; row < 12; row++)
        unit3.push_back(uint16_t(0x0300 | row));
    UseDescription("[Sim]\nSpinUpMs=30000\n[Drive.0200]\nStopped=1\n[Drive.0201]\nNeverReady=1\n[Drive.0202]\nSpinUpMs=0\n"
                   "[Drive.0304]\nBypassed=A\n[Drive.0306]\nBypassed=B\n[Drive.0308]\nBypassed=AB\n"
                   "[Drive.0905]\nDriveValue=0xDEADBEEF\nSelfTest=3\n");
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));

    /* START with IMMED answers at once; the drives become ready after their spin-up (row 2's
     * is 0), the one never ready stays so and fails a self test. */
    EXPECT_EQ("SGGG", Readiness());
    ASSERT_TRUE(Cmd83(0x82, 2, { 1, 2, 3 }, kStop));
    const DWORD sent = GetTickCount();
    ASSERT_TRUE(Cmd83(0x82, 2, { 0, 1, 2, 3 }, kStartImmed));
    EXPECT_EQ("BBGB", Readiness());
    ASSERT_TRUE(Cmd83(0x82, 2, { 1 }, kSelfTest));
    EXPECT_EQ(STATUS_CHECK, Block(1)[BLK_ERROR]);
    std::string state;
    while ((state = Readiness()) == "BBGB" && GetTickCount() - sent < REPLY_MS) {
    }
    EXPECT_EQ("GBGG", state);
    EXPECT_GE(g_segs[0].at - sent, scaled);

    /* Check Bypass reports each bypassed drive in a data segment (or sends one with mask 0),
     * then the end segment; the answer counts the reports, the drives Reset / Set changed, or
     * the drives LIP reaches. */
    struct Step { uint8_t sub; uint16_t mpid; std::vector<uint16_t> crs, reports; uint32_t answer; };
    const Step steps[] = {
        { SUB_CHECKBYPASS, 0x83, unit3, { 0x0304, 0x0308 }, 2 }, { SUB_CHECKBYPASS, 0x93, unit3, { 0x0306, 0x0308 }, 2 },
        { SUB_RESETBYPASS, 0x83, { 0x0304, 0x0305, 0x0307 }, {}, 1 }, { SUB_CHECKBYPASS, 0x83, unit3, { 0x0308 }, 1 },
        { SUB_SETBYPASS, 0x83, { 0x0305, 0x0307, 0x0308 }, {}, 2 }, { SUB_CHECKBYPASS, 0x83, unit3, { 0x0305, 0x0307, 0x0308 }, 3 },
        { SUB_LIP, 0x83, { 0x0300, 0x0301, 0x0302, 0x0100 }, {}, 3 }, { SUB_STARTINLINE, 0x83, { 0x0300 }, {}, 0 },
        { SUB_REJECTLAMP, 0x83, { 0x0301 }, {}, 0 },
    };
    for (const Step &s : steps) {
        SCOPED_TRACE("sub " + std::to_string(s.sub) + " MP " + std::to_string(s.mpid));
        uint32_t answer = 0xFFFFFFFFu;
        ASSERT_TRUE(CmdPath(s.sub, s.mpid, s.crs));
        EXPECT_EQ(s.reports.size() + (s.reports.empty() ? 2 : 1), g_segs.size());
        EXPECT_EQ(s.reports, Reports(s.sub == SUB_REJECTLAMP ? 5 : 6, &answer));
        EXPECT_EQ(s.answer, answer);
    }
    /* Drive Read: flag, C, R, error, value, PDEV, state, counters, self test of the drive's unit. */
    const struct { uint16_t cr, mpid, state; } states[] = {
        { 0x0300, 0x83, STATE_READY | STATE_INLINE }, { 0x0301, 0x83, STATE_READY | STATE_LAMP },
        { 0x0305, 0x93, STATE_READY | STATE_BYPASS_A }, { 0x0306, 0x83, STATE_READY | STATE_BYPASS_B },
        { 0x0201, 0x82, STATE_SPINNING }, { 0x0200, 0x92, STATE_READY },
    };
    for (const auto &s : states)
        EXPECT_EQ(s.state, GetBe16(&RecordOf(s.cr, s.mpid)[REC_STATE])) << s.cr;
    ASSERT_TRUE(CmdPath(SUB_ENDINLINE, 0x83, { 0x0300 }));
    EXPECT_EQ(STATE_READY, GetBe16(&RecordOf(0x0300, 0x83)[REC_STATE]));
    Bytes want = { 1, 9, 5, STATUS_GOOD, 0xDE, 0xAD, 0xBE, 0xEF, 0x09, 0x05, 0, STATE_READY };
    want.resize(SEGBE_RECORD_LEN, 0);
    want[REC_SELFTEST + 1] = 3;
    EXPECT_EQ(want, RecordOf(0x0905, 0x85));
    EXPECT_EQ(0, p.Stop());
}

TEST(DkcSim, RoutesRefusalsAndFaultsAtTheLargestSegment)
{
    Peer p;
    size_t mark = TraceMark();
    UseDescription(("[Sim]\nSegmentSize=" + std::to_string(SIM_SEGMENT_MAX) + "\n[Drive.0107]\nPathA=0,2,1\nPathB=1,2,1\n"
                    "[Drive.0105]\nBypassed=A\n[Fault]\n0100.TUR=timeout*1\nSELFTEST=rc:0x0F001740\n0104.START=slow:5000\n"
                    "CHECKBYPASS=rc:0x0F001741*1\n0105.CHECKBYPASS=missingrow\nbogus.TUR=timeout\n0106.TUR=rc:0\n").c_str());
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));

    /* No reply the first time; the second command's reply is the first thing that comes. */
    ASSERT_TRUE(SendDrive(Request83(1, { 0, 1 }, kTur), 0x81));
    ASSERT_TRUE(Cmd83(0x81, 1, { 0, 1 }, kTur));
    ExpectRows(1, { 0, 1 });
    /* A return code rides in the first segment's head and in the reply head; the reply is whole. */
    ASSERT_TRUE(Cmd83(0x81, 1, { 0 }, kSelfTest));
    EXPECT_EQ(0x0F001740u, GetBe32(&g_segs[0].seg[SEG_RC]));
    EXPECT_EQ(HEAD_STATUS_RC, g_data[HEAD_STATUS]);
    EXPECT_EQ(0x0F001740u, GetBe32(&g_data[HEAD_RC]));
    DWORD sent = GetTickCount();
    ASSERT_TRUE(Cmd83(0x81, 1, { 4 }, kStartImmed));
    EXPECT_GE(g_segs[0].at - sent, 5000u / TEST_DIVISOR);
    /* Check Bypass refused once, then an exchange in which the missing row is not reported. */
    uint32_t answer = 0xFFFFFFFFu;
    ASSERT_TRUE(CmdPath(SUB_CHECKBYPASS, 0x81, { 0x0100, 0x0105 }));
    ExpectRefused(0x0F001741u);
    ASSERT_TRUE(CmdPath(SUB_CHECKBYPASS, 0x81, { 0x0100, 0x0105 }));
    EXPECT_TRUE(Reports(6, &answer).empty());
    EXPECT_EQ(0u, answer);

    /* An MP that does not serve the unit answers for no drive; a drive moved to MP 9 (A) and
     * 25 (B) answers there only; unknown units and rows past 79 name no drive. */
    const struct { uint16_t mpid; uint8_t unit; std::vector<int> rows, valid; } routes[] = {
        { 0x80, 1, { 0, 3 }, {} }, { 0x81, 1, { 6, 7 }, { 6 } }, { 0x89, 1, { 6, 7 }, { 7 } }, { 0x99, 1, { 6, 7 }, { 7 } },
        { 0x81, 40, { 0, 1 }, {} }, { 0x81, 1, { 80, 95 }, {} }, { 0x91, 1, { 0, 3, 11, 12, 40 }, { 0, 3, 11 } },
    };
    for (const auto &t : routes) {
        ASSERT_TRUE(Cmd83(t.mpid, t.unit, t.rows, kTur)) << t.mpid;
        EXPECT_EQ(t.mpid, GetBe16(&g_data[HEAD_MPID]));
        ExpectRows(t.unit, t.valid);
    }
    /* The first segment carries the head and the largest data, the second the rest. */
    Bytes head(SEG83_HEAD, 0);
    head[SEG_ID] = TEST_APNO, head[SEG_FC] = FC_PASS, head[SEG_FLAG] = SEG_DATA;
    PutBe32(&head[SEG83_TOTAL], R83_LEN);
    PutBe16(&head[SEG83_COUNT], 2);
    ASSERT_EQ(2u, g_segs.size());
    EXPECT_EQ(head, Bytes(g_segs[0].seg.begin(), g_segs[0].seg.begin() + SEG83_HEAD));
    EXPECT_EQ((std::vector<size_t>{ size_t(SEG83_HEAD) + SIM_SEGMENT_MAX, 0x91 }), (std::vector<size_t>{ g_segs[0].seg.size(), g_segs[1].mpid }));
    EXPECT_EQ(HEAD_STATUS_NO_ROW, g_data[HEAD_STATUS]);

    /* INQUIRY: vendors spread over the drives by unit + row, the product names the PDEV. */
    ASSERT_TRUE(Cmd83(0x81, 1, { 3, 4 }, kInquiry));
    for (int row : { 3, 4 })
        EXPECT_EQ(std::string(kSimVendors[(1 + row) % 3]) + "SIMDRIVE-010" + char('0' + row) + "   ",
                  std::string((const char *)Block(row) + BLK_VENDOR, size_t(SIM_VENDOR_LEN) + PRODUCT_LEN));
    /* A command the drives do not know: check condition, illegal request. */
    ASSERT_TRUE(Cmd83(0x81, 1, { 2 }, kReadCapacity));
    EXPECT_EQ((Bytes{ STATUS_CHECK, SENSE_ILLEGAL, ASC_BAD_OPCODE }), At(Block(2), { BLK_ERROR, BLK_SENSE, BLK_SENSE + 1 }));

    /* Refused: an unknown sub-command, no drive at 0115, 0107 not on MP 0x81, no drive at all. */
    const struct { uint8_t sub; std::vector<uint16_t> crs; uint32_t rc; } refusals[] = {
        { 0x7F, { 0x0100 }, RC_BAD_REQUEST }, { SUB_READ, { 0x0115 }, RC_NO_DRIVE },
        { SUB_READ, { 0x0107 }, RC_NO_DRIVE }, { SUB_READ, {}, RC_BAD_REQUEST },
    };
    for (const auto &f : refusals) {
        ASSERT_TRUE(CmdPath(f.sub, 0x81, f.crs));
        ExpectRefused(f.rc);
    }
    /* The next exchange is whole. */
    ASSERT_TRUE(CmdPath(SUB_LIP, 0x81, { 0x0100 }));
    EXPECT_EQ((Bytes{ SEG_DATA, SEG_END }), (Bytes{ g_segs[0].seg[SEG_FLAG], g_segs.back().seg[SEG_FLAG] }));
    EXPECT_EQ(2u, g_segs.size());
    ExpectNoMore();
    EXPECT_EQ(0, p.Stop());
    /* Faults that do nothing, or name no command, are refused when read. */
    const std::vector<std::string> lines = TraceTexts(mark, 0, SIM_TRACE_BASE + 0x09);
    for (const char *text : { "DkcSim FAULT 0100 TUR timeout", "DkcSim NO REPLY FC=83 TUR", "[Fault] bogus.TUR=timeout ignored",
                              "[Fault] 0106.TUR=rc:0 ignored", "DkcSim FAULT * CHECKBYPASS rc:0xF001741" })
        EXPECT_EQ(1u, GrepLines(lines, text).size()) << text;
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
    req = Request89(FC_PATH, 6, KIND_PATH, SUB_CHECKBYPASS, 0x81, { 0x0100 });
    ASSERT_EQ(0, mtp2_iwtrn_300(0, 0x81, 0x81, 0x0389, nullptr, 0, req.data(), DREQ89_MIN - 1));
    /* A SUB message is not a drive command either. */
    BitmapMP t;
    char dest[IW_APID_LEN] = "09";
    memset(&t, 0xFF, sizeof t);
    ASSERT_EQ(0, IwTransferTo(IW_ROW_SUB, &t, &t, 0x0383, dest, req.data(), uint32_t(req.size()), nullptr, 0));
    /* The next request is answered whole and alone. */
    ASSERT_TRUE(Cmd83(0x81, 1, { 0 }, kTur));
    ExpectRows(1, { 0 });
    ExpectNoMore();
    EXPECT_EQ(0, p.Stop());
    const std::vector<std::string> lines = TraceTexts(mark, 0, SIM_TRACE_BASE + 0x09);
    EXPECT_EQ(4u, GrepLines(lines, "DkcSim DROP from=0D").size());
    EXPECT_EQ(1u, GrepLines(lines, "DkcSim RECV kind 1 from 0D not served").size());

    /* The lifetime ends it; the default quit event ends it (and it resets its RECV event); a
     * second receiver of AP 09 and bad arguments (SimDescription.CommandLine) do not start. */
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
