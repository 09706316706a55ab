/* DkcSim.exe against the program's side of the messaging, played by this process as "0D":
 * real requests over route 0, replies reassembled the way the program does. The default
 * subsystem has units 0-3 (MP 0x80-0x83 on path A, 0x90-0x93 on path B), 8 (0x84/0x94),
 * 9 (0x85/0x95) and 16 (0x88/0x98), rows 0-11 each. */
#include "tests/sim/simtest.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <string.h>
#include <string>

static const uint8_t kTur[DREQ_CDB_LEN] = { CDB_TUR, 0, 0, 0, 0, 0 };
static const uint8_t kInquiry[DREQ_CDB_LEN] = { CDB_INQUIRY, 0, 0, 0, 0x90, 0 };
static const uint8_t kSense[DREQ_CDB_LEN] = { CDB_SENSE, 0, 0, 0, 0x20, 0 };
static const uint8_t kStop[DREQ_CDB_LEN] = { CDB_STARTSTOP, 0, 0, 0, 0, 0 };
static const uint8_t kStart[DREQ_CDB_LEN] = { CDB_STARTSTOP, 0, 0, 0, CDB_START, 0 };
static const uint8_t kStartImmed[DREQ_CDB_LEN] = { CDB_STARTSTOP, CDB_IMMED, 0, 0, CDB_START, 0 };
static const uint8_t kSelfTest[DREQ_CDB_LEN] = { CDB_SELFTEST, 0x05, 0, 0, 0, 0 };
static const uint8_t kReadCapacity[DREQ_CDB_LEN] = { 0x25, 0, 0, 0, 0, 0 };

/* One FC 0x83 command and its whole reply. */
static testing::AssertionResult Cmd83(Reply83 *r, uint16_t mpid, uint8_t unit,
                                      const std::vector<int> &rows, const uint8_t *cdb)
{
    std::string why;
    if (!SendDrive(Request83(unit, rows, cdb), mpid))
        return testing::AssertionFailure() << "request not delivered";
    if (!Collect83(r, REPLY_MS, &why))
        return testing::AssertionFailure() << why;
    return testing::AssertionSuccess();
}

/* One FC 0x89 / 0xBE command and its segments. */
static testing::AssertionResult CmdPath(std::vector<Segment> *segs, uint8_t fc, uint8_t sf,
                                        uint8_t kind, uint8_t sub, uint16_t mpid,
                                        const std::vector<uint16_t> &crs)
{
    std::string why;
    if (!SendDrive(Request89(fc, sf, kind, sub, mpid, crs), mpid))
        return testing::AssertionFailure() << "request not delivered";
    if (!CollectExchange(segs, fc, REPLY_MS, &why))
        return testing::AssertionFailure() << why;
    return testing::AssertionSuccess();
}

static bool AllZero(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i])
            return false;
    return true;
}

static std::string Text(const uint8_t *p, size_t n) { return std::string((const char *)p, n); }

/* Row reports of rows 0..79: valid rows as listed, every other block all zero. */
static void ExpectRows(const Reply83 &r, uint8_t unit, const std::vector<int> &valid)
{
    for (int row = 0; row < SIM_ROWS; row++) {
        const uint8_t *b = Block(r, row);
        bool want = false;
        for (int v : valid)
            want |= v == row;
        if (want) {
            EXPECT_EQ(1, b[BLK_FLAG]) << "row " << row;
            EXPECT_EQ(unit, b[BLK_CDEV]) << "row " << row;
            EXPECT_EQ(row, b[BLK_RDEV]) << "row " << row;
        } else {
            EXPECT_TRUE(AllZero(b, R83_BLOCK)) << "row " << row;
        }
    }
}

TEST(DkcSim, PassThroughReplySegments)
{
    const uint32_t sizes[] = { 21, 1000, 4096, 16384, SIM_SEGMENT_MAX };
    const std::vector<int> rows = { 0, 3, 11, 12, 40 };   /* 12 and 40 have no drive */
    std::vector<uint8_t> first;
    Reply83 r;
    Peer p;

    for (uint32_t size : sizes) {
        SCOPED_TRACE("segment size " + std::to_string(size));
        UseDescription("[Sim]\nSegmentSize=" + std::to_string(size) + "\n");
        ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));
        const std::vector<uint8_t> req = Request83(1, rows, kTur);
        ASSERT_TRUE(Cmd83(&r, 0x81, 1, rows, kTur));
        EXPECT_EQ(0, StopPeer(&p));

        /* First segment carries the head and size bytes, each later one size bytes. */
        const uint32_t expectSegs = 1 + (R83_LEN - size + size - 1) / size;
        EXPECT_EQ(expectSegs, r.segments);
        EXPECT_EQ(TEST_APNO, r.head[SEG_ID]);
        EXPECT_EQ(FC_PASS, r.head[SEG_FC]);
        EXPECT_EQ(SEG_DATA, r.head[SEG_FLAG]);
        EXPECT_EQ(RC_OK, GetBe32(&r.head[SEG_RC]));
        EXPECT_EQ(R83_LEN, GetBe32(&r.head[SEG83_TOTAL]));
        EXPECT_EQ(expectSegs, GetBe16(&r.head[SEG83_COUNT]));
        EXPECT_TRUE(AllZero(&r.head[SEG83_COUNT + 2], SEG83_HEAD - SEG83_COUNT - 2));

        EXPECT_EQ(1, r.data[HEAD_UNIT]);
        EXPECT_EQ(3, r.data[HEAD_VALID_ROWS]);
        EXPECT_EQ(0x81, GetBe16(&r.data[HEAD_MPID]));
        EXPECT_EQ(0, memcmp(&r.data[HEAD_ROWBITMAP], &req[DREQ_ROWBITMAP], 4 * DREQ_ROWWORDS));
        EXPECT_EQ(0, memcmp(&r.data[HEAD_CDB], kTur, DREQ_CDB_LEN));
        EXPECT_EQ(HEAD_STATUS_NO_ROW, r.data[HEAD_STATUS]);
        ExpectRows(r, 1, { 0, 3, 11 });
        for (int row : { 0, 3, 11 }) {
            EXPECT_EQ(STATUS_GOOD, Block(r, row)[BLK_ERROR]);
            EXPECT_EQ(TUR_READY, Block(r, row)[BLK_TUR]);
        }
        /* However it was cut, the reply is the same. */
        if (first.empty())
            first = r.data;
        else
            EXPECT_EQ(first, r.data);
    }

    /* Path B answers for the same drives; an MP that does not serve the unit for none. */
    UseDescription("[Sim]\nSegmentSize=16384\n");
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));
    ASSERT_TRUE(Cmd83(&r, 0x91, 1, rows, kTur));
    ExpectRows(r, 1, { 0, 3, 11 });
    EXPECT_EQ(0x91, GetBe16(&r.data[HEAD_MPID]));
    ASSERT_TRUE(Cmd83(&r, 0x80, 1, rows, kTur));
    ExpectRows(r, 1, {});
    EXPECT_EQ(0, r.data[HEAD_VALID_ROWS]);

    /* The reply's messages: DKC kind, the request's function word, the MP id addressed. */
    std::string why;
    Segment s;
    ASSERT_TRUE(SendDrive(Request83(1, rows, kTur), 0x81));
    ASSERT_TRUE(NextSegment(&s, REPLY_MS, &why)) << why;
    EXPECT_EQ(FD_DRIVE << 8 | FC_PASS, s.func);
    EXPECT_EQ(0x81, s.mpid);
    DropMessages();
    EXPECT_EQ(0, StopPeer(&p));
}

TEST(DkcSim, DriveAnswers)
{
    Reply83 r;
    Peer p;
    UseDescription("[Drive.0105]\nVendor=ACME\nSelfTest=0x42\nSense=6,29,0\n"
                   "[Drive.0107]\nPathA=0,2,1\nPathB=1,2,1\n"
                   "[Drive.0104]\nVendor=TOOLONGID\nSense=1,2\n");
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));
    const std::vector<int> rows = { 0, 1, 2, 3, 4, 5 };

    ASSERT_TRUE(Cmd83(&r, 0x81, 1, rows, kInquiry));
    ExpectRows(r, 1, rows);
    for (int row : rows) {
        const uint8_t *b = Block(r, row);
        char product[32];
        snprintf(product, sizeof product, "SIMDRIVE-%04X   ", 0x100 | row);
        EXPECT_EQ(STATUS_GOOD, b[BLK_ERROR]);
        EXPECT_EQ(0, b[BLK_INQ_RESULT]);
        EXPECT_EQ(INQ_VERSION, b[BLK_DATA + INQ_VERSION_AT]);
        EXPECT_EQ(Text((const uint8_t *)product, PRODUCT_LEN), Text(b + BLK_PRODUCT, PRODUCT_LEN));
        /* Vendors spread over the drives by unit + row; a too long one is refused. */
        std::string vendor = row == 5 ? "ACME    " : kSimVendors[(1 + row) % 3];
        EXPECT_EQ(vendor, Text(b + BLK_VENDOR, SIM_VENDOR_LEN)) << "row " << row;
    }

    ASSERT_TRUE(Cmd83(&r, 0x81, 1, rows, kSelfTest));
    for (int row : rows) {
        EXPECT_EQ(STATUS_GOOD, Block(r, row)[BLK_ERROR]);
        EXPECT_EQ(row == 5 ? 0x42 : 0, Block(r, row)[BLK_SELFTEST]) << "row " << row;
    }

    ASSERT_TRUE(Cmd83(&r, 0x81, 1, rows, kSense));
    for (int row : rows) {
        const uint8_t *b = Block(r, row);
        const uint8_t want[3] = { uint8_t(row == 5 ? 6 : 0), uint8_t(row == 5 ? 0x29 : 0), 0 };
        EXPECT_EQ(0, memcmp(b + BLK_SENSE, want, 3)) << "row " << row;
        EXPECT_EQ(SENSE_FIXED, b[BLK_DATA]);
        EXPECT_EQ(want[0], b[BLK_DATA + SENSE_KEY_AT]);
        EXPECT_EQ(want[1], b[BLK_DATA + SENSE_ASC_AT]);
        EXPECT_EQ(want[2], b[BLK_DATA + SENSE_ASCQ_AT]);
    }

    /* An opcode the drives do not know: check condition, illegal request. */
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 2 }, kReadCapacity));
    EXPECT_EQ(STATUS_CHECK, Block(r, 2)[BLK_ERROR]);
    EXPECT_EQ(SENSE_ILLEGAL, Block(r, 2)[BLK_SENSE]);
    EXPECT_EQ(ASC_BAD_OPCODE, Block(r, 2)[BLK_SENSE + 1]);

    /* Drive 0107 was moved to MP 9 (A) and 25 (B): it answers there and not on MP 1. */
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 6, 7 }, kTur));
    ExpectRows(r, 1, { 6 });
    ASSERT_TRUE(Cmd83(&r, 0x89, 1, { 6, 7 }, kTur));
    ExpectRows(r, 1, { 7 });
    ASSERT_TRUE(Cmd83(&r, 0x99, 1, { 6, 7 }, kTur));
    ExpectRows(r, 1, { 7 });
    EXPECT_EQ(0, StopPeer(&p));
}

/* First TEST UNIT READY reply of unit 2 on MP 0x82 in which row is ready. */
static testing::AssertionResult WaitReady(int row, DWORD *readyAt)
{
    Reply83 r;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < REPLY_MS) {
        testing::AssertionResult ok = Cmd83(&r, 0x82, 2, { row }, kTur);
        if (!ok)
            return ok;
        if (Block(r, row)[BLK_ERROR] == STATUS_GOOD) {
            *readyAt = r.firstAt;
            return testing::AssertionSuccess();
        }
    }
    return testing::AssertionFailure() << "row " << row << " never ready";
}

static void ExpectNotReady(const uint8_t *b, uint8_t ascq, int row)
{
    EXPECT_EQ(STATUS_CHECK, b[BLK_ERROR]) << "row " << row;
    EXPECT_EQ(TUR_NOT_READY, b[BLK_TUR]) << "row " << row;
    EXPECT_EQ(SENSE_NOT_READY, b[BLK_SENSE]) << "row " << row;
    EXPECT_EQ(ASC_NOT_READY, b[BLK_SENSE + 1]) << "row " << row;
    EXPECT_EQ(ascq, b[BLK_SENSE + 2]) << "row " << row;
}

TEST(DkcSim, SpinUp)
{
    const uint32_t spinMs = 30000, scaled = spinMs / TEST_DIVISOR;
    const std::vector<int> rows = { 0, 1, 2, 3 };
    Reply83 r;
    Peer p;
    DWORD sent, readyAt = 0;
    UseDescription("[Sim]\nSpinUpMs=" + std::to_string(spinMs) + "\n[Drive.0200]\nStopped=1\n"
                   "[Drive.0201]\nNeverReady=1\n[Drive.0202]\nSpinUpMs=0\n");
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));

    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kTur));
    ExpectNotReady(Block(r, 0), ASCQ_START_NEEDED, 0);
    for (int row : { 1, 2, 3 })
        EXPECT_EQ(STATUS_GOOD, Block(r, row)[BLK_ERROR]) << "row " << row;

    ASSERT_TRUE(Cmd83(&r, 0x82, 2, { 1, 2, 3 }, kStop));
    ExpectRows(r, 2, { 1, 2, 3 });
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kTur));
    for (int row : rows)
        ExpectNotReady(Block(r, row), ASCQ_START_NEEDED, row);

    /* START with IMMED answers at once; the drives become ready after their spin-up. */
    sent = GetTickCount();
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kStartImmed));
    ExpectRows(r, 2, rows);
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kTur));
    for (int row : { 0, 1, 3 })
        ExpectNotReady(Block(r, row), ASCQ_BECOMING_READY, row);
    EXPECT_EQ(STATUS_GOOD, Block(r, 2)[BLK_ERROR]);
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kSense));
    EXPECT_EQ(STATUS_GOOD, Block(r, 0)[BLK_ERROR]);
    EXPECT_EQ(SENSE_NOT_READY, Block(r, 0)[BLK_SENSE]);
    EXPECT_EQ(ASCQ_BECOMING_READY, Block(r, 0)[BLK_SENSE + 2]);
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, { 1 }, kSelfTest));
    EXPECT_EQ(STATUS_CHECK, Block(r, 1)[BLK_ERROR]);
    ASSERT_TRUE(WaitReady(0, &readyAt));
    EXPECT_GE(readyAt - sent, scaled);
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kTur));
    ExpectNotReady(Block(r, 1), ASCQ_BECOMING_READY, 1);
    for (int row : { 0, 2, 3 })
        EXPECT_EQ(STATUS_GOOD, Block(r, row)[BLK_ERROR]) << "row " << row;

    /* START without IMMED answers once the drives are up. */
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, { 0, 3 }, kStop));
    sent = GetTickCount();
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, { 0, 1, 3 }, kStart));
    EXPECT_GE(r.firstAt - sent, scaled);
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kTur));
    for (int row : { 0, 2, 3 })
        EXPECT_EQ(STATUS_GOOD, Block(r, row)[BLK_ERROR]) << "row " << row;
    ExpectNotReady(Block(r, 1), ASCQ_BECOMING_READY, 1);
    EXPECT_EQ(0, StopPeer(&p));
}

/* Bypass reports of a Check Bypass exchange, as CR# numbers; checks each segment's layout. */
static std::vector<uint16_t> Reports(const std::vector<Segment> &segs, uint8_t sf)
{
    std::vector<uint16_t> crs;
    for (size_t i = 0; i < segs.size(); i++) {
        const Segment &s = segs[i];
        const bool last = i + 1 == segs.size();
        EXPECT_EQ(size_t(SEG89_LEN), s.seg.size());
        if (s.seg.size() < SEG89_LEN)
            continue;
        EXPECT_EQ(TEST_APNO, s.seg[SEG_ID]);
        EXPECT_EQ(FC_PATH, s.seg[SEG_FC]);
        EXPECT_EQ(sf, s.seg[SEG_SF]);
        EXPECT_EQ(last ? SEG_END : SEG_DATA, s.seg[SEG_FLAG]);
        EXPECT_EQ(i == 0, bool(s.flags & MSG_FIRST));
        EXPECT_EQ(last, bool(s.flags & MSG_LAST));
        EXPECT_EQ(RC_OK, GetBe32(&s.seg[SEG_RC]));
        const uint32_t mask = GetBe32(&s.seg[SEG89_MASK]);
        if (!last && mask) {
            const uint16_t cr = GetBe16(&s.seg[SEG89_CR]);
            EXPECT_EQ(0x80000000u >> (cr >> 8), mask);
            crs.push_back(cr);
        }
    }
    return crs;
}

static uint32_t Answer(const std::vector<Segment> &segs)
{
    return segs.size() >= 2 ? GetBe32(&segs[segs.size() - 2].seg[SEG89_ANSWER]) : 0xFFFFFFFFu;
}

/* The Drive Read record's state word of one drive. */
static uint16_t StateOf(uint16_t cr, uint16_t mpid)
{
    std::vector<Segment> segs;
    EXPECT_TRUE(CmdPath(&segs, FC_READ, 10, KIND_READ, SUB_READ, mpid, { cr }));
    if (segs.empty() || segs[0].seg.size() < SEGBE_LEN)
        return 0xFFFF;
    return GetBe16(&segs[0].seg[SEGBE_RECORDS + SEGBE_RECORD_LEN * (cr >> 8) + REC_STATE]);
}

TEST(DkcSim, BypassAndPathCommands)
{
    std::vector<uint16_t> unit3;
    std::vector<Segment> segs;
    Reply83 r;
    Peer p;
    for (uint16_t row = 0; row < 12; row++)
        unit3.push_back(uint16_t(0x0300 | row));
    UseDescription("[Drive.0304]\nBypassed=A\n[Drive.0306]\nBypassed=B\n[Drive.0308]\nBypassed=AB\n");
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));

    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_CHECKBYPASS, 0x83, unit3));
    EXPECT_EQ((std::vector<uint16_t>{ 0x0304, 0x0308 }), Reports(segs, 6));
    EXPECT_EQ(2u, Answer(segs));
    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_CHECKBYPASS, 0x93, unit3));
    EXPECT_EQ((std::vector<uint16_t>{ 0x0306, 0x0308 }), Reports(segs, 6));

    /* A drive bypassed on a path does not answer there. */
    ASSERT_TRUE(Cmd83(&r, 0x83, 3, { 4, 5, 6, 8 }, kTur));
    ExpectRows(r, 3, { 5, 6 });
    ASSERT_TRUE(Cmd83(&r, 0x93, 3, { 4, 5, 6, 8 }, kTur));
    ExpectRows(r, 3, { 4, 5 });

    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_RESETBYPASS, 0x83, { 0x0304, 0x0305 }));
    EXPECT_TRUE(Reports(segs, 6).empty());
    EXPECT_EQ(1u, Answer(segs));
    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_CHECKBYPASS, 0x83, unit3));
    EXPECT_EQ((std::vector<uint16_t>{ 0x0308 }), Reports(segs, 6));
    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_SETBYPASS, 0x83, { 0x0305, 0x0308 }));
    EXPECT_EQ(1u, Answer(segs));
    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_CHECKBYPASS, 0x83, unit3));
    EXPECT_EQ((std::vector<uint16_t>{ 0x0305, 0x0308 }), Reports(segs, 6));

    /* Nothing bypassed among the drives asked about: one data segment with mask 0, the end. */
    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_CHECKBYPASS, 0x93, { 0x0300, 0x0301 }));
    ASSERT_EQ(2u, segs.size());
    EXPECT_TRUE(Reports(segs, 6).empty());
    EXPECT_EQ(0u, GetBe32(&segs[0].seg[SEG89_MASK]));
    EXPECT_EQ(0u, Answer(segs));

    /* LIP counts the drives of the bitmap that the MP reaches. */
    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_LIP, 0x83, { 0x0300, 0x0301, 0x0302, 0x0100 }));
    EXPECT_EQ(3u, Answer(segs));

    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_STARTINLINE, 0x83, { 0x0300 }));
    EXPECT_EQ(2u, segs.size());
    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 5, KIND_LAMP, SUB_REJECTLAMP, 0x83, { 0x0301 }));
    EXPECT_EQ(2u, segs.size());
    EXPECT_EQ(5, segs[0].seg[SEG_SF]);
    EXPECT_EQ(STATE_READY | STATE_INLINE, StateOf(0x0300, 0x83));
    EXPECT_EQ(STATE_READY | STATE_LAMP, StateOf(0x0301, 0x83));
    EXPECT_EQ(STATE_READY | STATE_BYPASS_A, StateOf(0x0305, 0x93));
    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_ENDINLINE, 0x83, { 0x0300 }));
    EXPECT_EQ(STATE_READY, StateOf(0x0300, 0x83));

    /* An unknown sub-command is refused in one data segment, with no end segment after it. */
    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, 0x7F, 0x83, { 0x0300 }));
    ASSERT_EQ(1u, segs.size());
    EXPECT_EQ(RC_BAD_REQUEST, GetBe32(&segs[0].seg[SEG_RC]));
    EXPECT_EQ(SEG_DATA, segs[0].seg[SEG_FLAG]);
    EXPECT_EQ(MSG_FIRST | MSG_LAST, segs[0].flags);
    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_LIP, 0x83, { 0x0300 }));
    EXPECT_EQ(2u, segs.size());
    EXPECT_EQ(0u, PendingMessages());
    EXPECT_EQ(0, StopPeer(&p));
}

TEST(DkcSim, DriveRead)
{
    std::vector<Segment> segs;
    Peer p;
    UseDescription("[Drive.0905]\nDriveValue=0xDEADBEEF\nSelfTest=3\n[Drive.0805]\nDriveValue=7\n");
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));

    ASSERT_TRUE(CmdPath(&segs, FC_READ, 10, KIND_READ, SUB_READ, 0x85, { 0x0905 }));
    ASSERT_EQ(2u, segs.size());
    const std::vector<uint8_t> &d = segs[0].seg;
    ASSERT_EQ(size_t(SEGBE_LEN), d.size());
    EXPECT_EQ(SEG_DATA, d[SEG_FLAG]);
    EXPECT_EQ(FC_READ, d[SEG_FC]);
    EXPECT_EQ(10, d[SEG_SF]);
    EXPECT_EQ(0x0905, GetBe16(&d[SEGBE_CR]));
    EXPECT_EQ(SEGBE_LEN, GetBe16(&d[SEGBE_SIZE]));
    for (int u = 0; u < SIM_UNITS; u++) {
        const uint8_t *rec = &d[SEGBE_RECORDS + SEGBE_RECORD_LEN * u];
        if (u != 9) {
            /* Unit 8 has a drive at row 5, but MP 0x85 does not reach it. */
            EXPECT_TRUE(AllZero(rec, SEGBE_RECORD_LEN)) << "unit " << u;
            continue;
        }
        EXPECT_EQ(1, rec[REC_FLAG]);
        EXPECT_EQ(9, rec[REC_CDEV]);
        EXPECT_EQ(5, rec[REC_RDEV]);
        EXPECT_EQ(STATUS_GOOD, rec[REC_ERROR]);
        EXPECT_EQ(0xDEADBEEFu, GetBe32(rec + REC_VALUE));
        EXPECT_EQ(0x0905, GetBe16(rec + REC_PDEV));
        EXPECT_EQ(STATE_READY, GetBe16(rec + REC_STATE));
        EXPECT_EQ(3, GetBe16(rec + REC_SELFTEST));
        EXPECT_TRUE(AllZero(rec + REC_COUNTERS, 32));
    }
    EXPECT_EQ(SEG_END, segs[1].seg[SEG_FLAG]);
    EXPECT_EQ(MSG_LAST, segs[1].flags);

    ASSERT_TRUE(CmdPath(&segs, FC_READ, 10, KIND_READ, SUB_READ, 0x84, { 0x0805 }));
    EXPECT_EQ(7u, GetBe32(&segs[0].seg[SEGBE_RECORDS + SEGBE_RECORD_LEN * 8 + REC_VALUE]));

    /* No drive at 0915, and 0905 not on MP 0x84: refused, no end segment. */
    for (uint16_t mpid : { 0x85, 0x84 }) {
        ASSERT_TRUE(CmdPath(&segs, FC_READ, 10, KIND_READ, SUB_READ, mpid, { uint16_t(mpid == 0x85 ? 0x0915 : 0x0905) }));
        ASSERT_EQ(1u, segs.size());
        EXPECT_EQ(RC_NO_DRIVE, GetBe32(&segs[0].seg[SEG_RC]));
        EXPECT_EQ(size_t(SEG_HEAD_LEN), segs[0].seg.size());
    }
    /* An empty bitmap names no drive. */
    ASSERT_TRUE(CmdPath(&segs, FC_READ, 10, KIND_READ, SUB_READ, 0x85, {}));
    EXPECT_EQ(RC_BAD_REQUEST, GetBe32(&segs[0].seg[SEG_RC]));
    EXPECT_EQ(0u, PendingMessages());
    EXPECT_EQ(0, StopPeer(&p));
}

TEST(DkcSim, Faults)
{
    std::vector<Segment> segs;
    std::string why;
    Segment s;
    Reply83 r;
    Peer p;
    size_t mark = TraceMark();
    UseDescription("[Fault]\n"
                   "0100.TUR=timeout*1\n"
                   "0101.INQUIRY=wrongrow\n"
                   "0102.INQUIRY=missingrow\n"
                   "0103.INQUIRY=error:0x08\n"
                   "SELFTEST=rc:0x0F001740\n"
                   "0104.START=slow:5000\n"
                   "CHECKBYPASS=rc:0x0F001741*1\n"
                   "0905.DRIVEREAD=wrongrow,error:0x0B\n"
                   "bogus.TUR=timeout\n"
                   "0106.TUR=rc:0\n");
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));

    /* No reply the first time; the second command's reply is the first thing that comes. */
    ASSERT_TRUE(SendDrive(Request83(1, { 0, 1 }, kTur), 0x81));
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 0, 1 }, kTur));
    ExpectRows(r, 1, { 0, 1 });

    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 0, 1, 2, 3, 4 }, kInquiry));
    EXPECT_EQ(HEAD_STATUS_NO_ROW, r.data[HEAD_STATUS]);
    EXPECT_EQ(4, r.data[HEAD_VALID_ROWS]);
    EXPECT_EQ(1, Block(r, 1)[BLK_FLAG]);
    EXPECT_EQ(1, Block(r, 1)[BLK_CDEV]);
    EXPECT_EQ(2, Block(r, 1)[BLK_RDEV]);
    EXPECT_TRUE(AllZero(Block(r, 2), R83_BLOCK));
    EXPECT_EQ(0x08, Block(r, 3)[BLK_ERROR]);
    EXPECT_EQ(3, Block(r, 3)[BLK_RDEV]);
    for (int row : { 0, 4 }) {
        EXPECT_EQ(STATUS_GOOD, Block(r, row)[BLK_ERROR]);
        EXPECT_EQ(row, Block(r, row)[BLK_RDEV]);
    }

    /* A return code rides in the first segment's head and in the reply head; the reply is
     * still whole. */
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 0 }, kSelfTest));
    EXPECT_EQ(0x0F001740u, GetBe32(&r.head[SEG_RC]));
    EXPECT_EQ(HEAD_STATUS_RC, r.data[HEAD_STATUS]);
    EXPECT_EQ(0x0F001740u, GetBe32(&r.data[HEAD_RC]));

    DWORD sent = GetTickCount();
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 4 }, kStartImmed));
    EXPECT_GE(r.firstAt - sent, 5000u / TEST_DIVISOR);

    /* Check Bypass refused once: one data segment, no end segment, then a clean exchange. */
    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_CHECKBYPASS, 0x81, { 0x0100 }));
    ASSERT_EQ(1u, segs.size());
    EXPECT_EQ(0x0F001741u, GetBe32(&segs[0].seg[SEG_RC]));
    EXPECT_EQ(SEG_DATA, segs[0].seg[SEG_FLAG]);
    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_CHECKBYPASS, 0x81, { 0x0100 }));
    EXPECT_EQ(2u, segs.size());
    EXPECT_EQ(RC_OK, GetBe32(&segs[0].seg[SEG_RC]));

    ASSERT_TRUE(CmdPath(&segs, FC_READ, 10, KIND_READ, SUB_READ, 0x85, { 0x0905 }));
    const uint8_t *rec = &segs[0].seg[SEGBE_RECORDS + SEGBE_RECORD_LEN * 9];
    EXPECT_EQ(6, rec[REC_RDEV]);
    EXPECT_EQ(0x0B, rec[REC_ERROR]);

    /* Faults that do nothing, or name no command, are refused when read. */
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 6 }, kTur));
    ExpectRows(r, 1, { 6 });
    EXPECT_EQ(0u, PendingMessages());
    EXPECT_EQ(0, StopPeer(&p));

    std::vector<std::string> lines = TraceSince(mark, SIM_TRACE_BASE + 0x09);
    EXPECT_EQ(1u, GrepLines(lines, "DkcSim FAULT 0100 TUR timeout").size());
    EXPECT_EQ(1u, GrepLines(lines, "DkcSim NO REPLY FC=83 TUR").size());
    EXPECT_EQ(1u, GrepLines(lines, "[Fault] bogus.TUR=timeout ignored").size());
    EXPECT_EQ(1u, GrepLines(lines, "[Fault] 0106.TUR=rc:0 ignored").size());
    EXPECT_EQ(1u, GrepLines(lines, "DkcSim FAULT * CHECKBYPASS rc:0xF001741").size());
}

TEST(DkcSim, DemoFaults)
{
    std::vector<Segment> segs;
    Reply83 r;
    Peer p;

    /* No description: the built-in subsystem with its faulty drives. */
    UseNoDescription();
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 2, 3 }, kSelfTest));
    EXPECT_EQ(0, Block(r, 2)[BLK_SELFTEST]);
    EXPECT_EQ(0x05, Block(r, 3)[BLK_SELFTEST]);
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, { 6, 7 }, kInquiry));
    EXPECT_EQ(std::string(SIM_DEMO_VENDOR), Text(Block(r, 7) + BLK_VENDOR, SIM_VENDOR_LEN));
    EXPECT_NE(std::string(SIM_DEMO_VENDOR), Text(Block(r, 6) + BLK_VENDOR, SIM_VENDOR_LEN));
    ASSERT_TRUE(Cmd83(&r, 0x84, 8, { 4, 5 }, kStop));
    ASSERT_TRUE(Cmd83(&r, 0x84, 8, { 4, 5 }, kStart));
    ASSERT_TRUE(Cmd83(&r, 0x84, 8, { 4, 5 }, kTur));
    EXPECT_EQ(STATUS_GOOD, Block(r, 4)[BLK_ERROR]);
    ExpectNotReady(Block(r, 5), ASCQ_BECOMING_READY, 5);
    ASSERT_TRUE(CmdPath(&segs, FC_PATH, 6, KIND_PATH, SUB_CHECKBYPASS, 0x90, { 0x0001, 0x0002 }));
    EXPECT_EQ((std::vector<uint16_t>{ 0x0002 }), Reports(segs, 6));
    ASSERT_TRUE(CmdPath(&segs, FC_READ, 10, KIND_READ, SUB_READ, 0x88, { 0x1000 }));
    EXPECT_NE(0u, GetBe32(&segs[0].seg[SEGBE_RECORDS + SEGBE_RECORD_LEN * 16 + REC_VALUE]));
    EXPECT_EQ(0, StopPeer(&p));

    /* A description leaves them out unless it asks for them. */
    for (int demo : { 0, 1 }) {
        UseDescription(demo ? "[Sim]\nDemoFaults=1\n" : "[Sim]\nSegmentSize=8192\n");
        ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));
        ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 3 }, kSelfTest));
        EXPECT_EQ(demo ? 0x05 : 0, Block(r, 3)[BLK_SELFTEST]);
        EXPECT_EQ(0, StopPeer(&p));
    }
}

TEST(DkcSim, HostileRequestsAndLifecycle)
{
    std::vector<uint8_t> req;
    Reply83 r;
    Peer p;
    size_t mark = TraceMark();
    UseDescription("[Sim]\nSegmentSize=30000\n");
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));

    /* Too short, not a drive command, unknown function, short path command: dropped. */
    req = Request83(1, { 0 }, kTur);
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

    /* Unit 40 and rows past 79 name no drive: a whole reply without row reports. */
    ASSERT_TRUE(Cmd83(&r, 0x81, 40, { 0, 1 }, kTur));
    ExpectRows(r, 40, {});
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 80, 95 }, kTur));
    ExpectRows(r, 1, {});
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 0 }, kTur));
    ExpectRows(r, 1, { 0 });
    EXPECT_EQ(0u, PendingMessages());
    EXPECT_EQ(0, StopPeer(&p));
    std::vector<std::string> lines = TraceSince(mark, SIM_TRACE_BASE + 0x09);
    EXPECT_EQ(4u, GrepLines(lines, "DkcSim DROP from=0D").size());
    EXPECT_EQ(1u, GrepLines(lines, "DkcSim RECV kind 1 from 0D not served").size());
    EXPECT_EQ(1u, GrepLines(lines, "DkcSim ended, exit code 0").size());
    EXPECT_EQ(1u, GrepLines(lines, "DkcSim ready as AP 09, quit event " + p.quit).size());

    /* The lifetime ends it by itself; the default quit event ends it; bad arguments do not
     * start it. */
    HANDLE h = StartProgram("DkcSim.exe", "--lifetime 1");
    EXPECT_EQ(SIM_EXIT_LIFETIME, WaitExit(h, PEER_EXIT_MS));
    char recvName[IW_NAME_LEN], quitName[IW_NAME_LEN + 8];
    IwFormatName(recvName, IW_FMT_RECV, SIM_APID_DKC);
    snprintf(quitName, sizeof quitName, SIM_QUIT_FMT, SIM_APID_DKC);
    HANDLE recv = IwCreateEvent(TRUE, FALSE, recvName);
    ResetEvent(recv);
    h = StartProgram("DkcSim.exe", "");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(recv, PEER_START_MS));
    /* A second receiver of AP 09 is refused while the first runs. */
    EXPECT_EQ(SIM_EXIT_START, WaitExit(StartProgram("DkcSim.exe", "--quit-event Local\\Other"), PEER_EXIT_MS));
    HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, quitName);
    ASSERT_NE(nullptr, quit);
    SetEvent(quit);
    EXPECT_EQ(SIM_EXIT_QUIT, WaitExit(h, PEER_EXIT_MS));
    /* It has reset its RECV event on the way out. */
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(recv, 0));
    CloseHandle(quit);
    CloseHandle(recv);
    for (const char *args : { "--lifetime", "--lifetime x", "--bogus", "--quit-event" })
        EXPECT_EQ(SIM_EXIT_USAGE, WaitExit(StartProgram("DkcSim.exe", args), PEER_EXIT_MS)) << args;
}
