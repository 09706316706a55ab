/* DkcSim.exe against the program's side, played by this process as "0D". The default
 * subsystem has units 0-3 (MP 0x80-0x83 on path A, 0x90-0x93 on path B), 8 (0x84/0x94),
 * 9 (0x85/0x95) and 16 (0x88/0x98), rows 0-11 each. */
#include "tests/sim/simtest.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include <string>

typedef std::vector<uint8_t> Bytes;
static const uint8_t kTur[DREQ_CDB_LEN] = { CDB_TUR }, kInquiry[DREQ_CDB_LEN] = { CDB_INQUIRY, 0, 0, 0, 0x90 },
                     kSense[DREQ_CDB_LEN] = { CDB_SENSE, 0, 0, 0, 0x20 }, kStop[DREQ_CDB_LEN] = { CDB_STARTSTOP },
                     kStart[DREQ_CDB_LEN] = { CDB_STARTSTOP, 0, 0, 0, CDB_START },
                     kStartImmed[DREQ_CDB_LEN] = { CDB_STARTSTOP, CDB_IMMED, 0, 0, CDB_START },
                     kSelfTest[DREQ_CDB_LEN] = { CDB_SELFTEST, 0x05 }, kReadCapacity[DREQ_CDB_LEN] = { 0x25 };

static testing::AssertionResult Cmd83(Reply83 *r, uint16_t mpid, uint8_t unit, const std::vector<int> &rows,
                                      const uint8_t *cdb)
{
    std::string why;
    if (!SendDrive(Request83(unit, rows, cdb), mpid))
        return testing::AssertionFailure() << "request not delivered";
    return Collect83(r, REPLY_MS, &why) ? testing::AssertionSuccess() : testing::AssertionFailure() << why;
}

/* One FC 0x89 exchange (FC 0xBE for SUB_READ) and its segments. */
static testing::AssertionResult CmdPath(std::vector<Segment> *segs, uint8_t sub, uint16_t mpid,
                                        const std::vector<uint16_t> &crs)
{
    const uint8_t fc = sub == SUB_READ ? FC_READ : FC_PATH;
    const uint8_t sf = sub == SUB_READ ? 10 : sub == SUB_REJECTLAMP ? 5 : 6;
    const uint8_t kind = sub == SUB_READ ? KIND_READ : sub == SUB_REJECTLAMP ? KIND_LAMP : KIND_PATH;
    std::string why;
    if (!SendDrive(Request89(fc, sf, kind, sub, mpid, crs), mpid))
        return testing::AssertionFailure() << "request not delivered";
    return CollectExchange(segs, fc, REPLY_MS, &why) ? testing::AssertionSuccess()
                                                     : testing::AssertionFailure() << why;
}

static bool AllZero(const uint8_t *p, size_t n) { return std::all_of(p, p + n, [](uint8_t b) { return b == 0; }); }
static std::string Text(const uint8_t *p, size_t n) { return std::string((const char *)p, n); }
static Bytes At(const uint8_t *p, std::initializer_list<size_t> offsets)
{
    Bytes v;
    for (size_t o : offsets)
        v.push_back(p[o]);
    return v;
}

/* Row reports of rows 0..79: the valid rows as listed, every other block all zero. */
static void ExpectRows(const Reply83 &r, uint8_t unit, const std::vector<int> &valid)
{
    EXPECT_EQ((Bytes{ unit, uint8_t(valid.size()) }), At(r.data.data(), { HEAD_UNIT, HEAD_VALID_ROWS }));
    for (int row = 0; row < SIM_ROWS; row++) {
        const uint8_t *b = Block(r, row);
        if (std::find(valid.begin(), valid.end(), row) == valid.end())
            EXPECT_TRUE(AllZero(b, R83_BLOCK)) << "row " << row;
        else
            EXPECT_EQ((Bytes{ 1, unit, uint8_t(row) }), At(b, { BLK_FLAG, BLK_CDEV, BLK_RDEV })) << "row " << row;
    }
}

static void ExpectGood(const Reply83 &r, const std::vector<int> &rows)
{
    for (int row : rows)
        EXPECT_EQ(STATUS_GOOD, Block(r, row)[BLK_ERROR]) << "row " << row;
}

static void ExpectNotReady(const Reply83 &r, const std::vector<int> &rows, uint8_t ascq)
{
    for (int row : rows)
        EXPECT_EQ((Bytes{ STATUS_CHECK, TUR_NOT_READY, SENSE_NOT_READY, ASC_NOT_READY, ascq }),
                  At(Block(r, row), { BLK_ERROR, BLK_TUR, BLK_SENSE, BLK_SENSE + 1, BLK_SENSE + 2 }))
            << "row " << row;
}

TEST(DkcSim, PassThroughReplySegments)
{
    const std::vector<int> rows = { 0, 3, 11, 12, 40 };   /* 12 and 40 have no drive */
    const Bytes req = Request83(1, rows, kTur);
    Bytes first;
    Reply83 r;
    Peer p;
    for (uint32_t size : { 16384u, 21u, 4096u, uint32_t(SIM_SEGMENT_MAX) }) {
        SCOPED_TRACE("segment size " + std::to_string(size));
        UseDescription(("[Sim]\nSegmentSize=" + std::to_string(size) + "\n").c_str());
        ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));
        ASSERT_TRUE(Cmd83(&r, 0x81, 1, rows, kTur));
        /* The first segment carries the head and size bytes, each later one size bytes. */
        const uint32_t count = (R83_LEN + size - 1) / size;
        Bytes head(SEG83_HEAD, 0);
        head[SEG_ID] = TEST_APNO;
        head[SEG_FC] = FC_PASS;
        head[SEG_FLAG] = SEG_DATA;
        PutBe32(&head[SEG83_TOTAL], R83_LEN);
        PutBe16(&head[SEG83_COUNT], uint16_t(count));
        EXPECT_EQ(head, r.head);
        EXPECT_EQ(count, r.segments);
        EXPECT_EQ(0x81, r.mpid);
        /* However it was cut, the reply is the same. */
        if (!first.empty()) {
            EXPECT_EQ(first, r.data);
            EXPECT_EQ(0, p.Stop());
            continue;
        }
        first = r.data;
        EXPECT_EQ(0x81, GetBe16(&r.data[HEAD_MPID]));
        EXPECT_EQ(0, memcmp(&r.data[HEAD_ROWBITMAP], &req[DREQ_ROWBITMAP], 4 * DREQ_ROWWORDS));
        EXPECT_EQ(0, memcmp(&r.data[HEAD_CDB], kTur, DREQ_CDB_LEN));
        EXPECT_EQ(HEAD_STATUS_NO_ROW, r.data[HEAD_STATUS]);
        ExpectRows(r, 1, { 0, 3, 11 });
        for (int row : { 0, 3, 11 })
            EXPECT_EQ((Bytes{ STATUS_GOOD, TUR_READY }), At(Block(r, row), { BLK_ERROR, BLK_TUR }));
        /* Path B answers for the same drives; an MP that does not serve the unit for none. */
        ASSERT_TRUE(Cmd83(&r, 0x91, 1, rows, kTur));
        ExpectRows(r, 1, { 0, 3, 11 });
        EXPECT_EQ(0x91, r.mpid);
        EXPECT_EQ(0x91, GetBe16(&r.data[HEAD_MPID]));
        ASSERT_TRUE(Cmd83(&r, 0x80, 1, rows, kTur));
        ExpectRows(r, 1, {});
        EXPECT_EQ(0, p.Stop());
    }
}

TEST(DkcSim, DriveAnswers)
{
    const std::vector<int> rows = { 0, 1, 2, 3, 4, 5 };
    Reply83 r, st;
    Peer p;
    UseDescription("[Drive.0105]\nVendor=ACME\nSelfTest=0x42\nSense=6,29,0\n"
                   "[Drive.0107]\nPathA=0,2,1\nPathB=1,2,1\n"
                   "[Drive.0104]\nVendor=TOOLONGID\nSense=1,2\n");
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));

    ASSERT_TRUE(Cmd83(&r, 0x81, 1, rows, kInquiry));
    ExpectRows(r, 1, rows);
    for (int row : rows) {
        const uint8_t *b = Block(r, row);
        char product[32];
        snprintf(product, sizeof product, "SIMDRIVE-%04X   ", 0x100 | row);
        EXPECT_EQ((Bytes{ STATUS_GOOD, 0, INQ_VERSION }), At(b, { BLK_ERROR, BLK_INQ_RESULT, BLK_DATA + INQ_VERSION_AT }));
        EXPECT_EQ(product, Text(b + BLK_PRODUCT, PRODUCT_LEN));
        /* Vendors spread over the drives by unit + row; a too long one is refused. */
        EXPECT_EQ(row == 5 ? "ACME    " : kSimVendors[(1 + row) % 3], Text(b + BLK_VENDOR, SIM_VENDOR_LEN)) << row;
    }

    /* Without DemoFaults in the description, drive 0103 has no self test result either. */
    ASSERT_TRUE(Cmd83(&st, 0x81, 1, rows, kSelfTest));
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, rows, kSense));
    for (int row : rows) {
        const uint8_t *b = Block(r, row), key = row == 5 ? 6 : 0, asc = row == 5 ? 0x29 : 0;
        EXPECT_EQ((Bytes{ STATUS_GOOD, uint8_t(row == 5 ? 0x42 : 0) }), At(Block(st, row), { BLK_ERROR, BLK_SELFTEST }))
            << "row " << row;
        EXPECT_EQ((Bytes{ key, asc, 0, SENSE_FIXED, key, asc, 0 }),
                  At(b, { BLK_SENSE, BLK_SENSE + 1, BLK_SENSE + 2, BLK_DATA, BLK_DATA + SENSE_KEY_AT,
                          BLK_DATA + SENSE_ASC_AT, BLK_DATA + SENSE_ASCQ_AT }))
            << "row " << row;
    }

    /* An opcode the drives do not know: check condition, illegal request. */
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 2 }, kReadCapacity));
    EXPECT_EQ((Bytes{ STATUS_CHECK, SENSE_ILLEGAL, ASC_BAD_OPCODE }), At(Block(r, 2), { BLK_ERROR, BLK_SENSE, BLK_SENSE + 1 }));

    /* Drive 0107 was moved to MP 9 (A) and 25 (B): it answers there and not on MP 1. */
    for (uint16_t mpid : { 0x81, 0x89, 0x99 }) {
        ASSERT_TRUE(Cmd83(&r, mpid, 1, { 6, 7 }, kTur));
        ExpectRows(r, 1, { mpid == 0x81 ? 6 : 7 });
    }
    EXPECT_EQ(0, p.Stop());
}

/* First TEST UNIT READY reply of unit 2 on MP 0x82 in which row is ready. */
static testing::AssertionResult WaitReady(int row, DWORD *readyAt)
{
    Reply83 r;
    for (const DWORD start = GetTickCount(); GetTickCount() - start < REPLY_MS;) {
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

TEST(DkcSim, SpinUp)
{
    const uint32_t spinMs = 30000, scaled = spinMs / TEST_DIVISOR;
    const std::vector<int> rows = { 0, 1, 2, 3 };
    Reply83 r;
    Peer p;
    DWORD sent, readyAt = 0;
    UseDescription(("[Sim]\nSpinUpMs=" + std::to_string(spinMs) + "\n[Drive.0200]\nStopped=1\n"
                    "[Drive.0201]\nNeverReady=1\n[Drive.0202]\nSpinUpMs=0\n").c_str());
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));

    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kTur));
    ExpectNotReady(r, { 0 }, ASCQ_START_NEEDED);
    ExpectGood(r, { 1, 2, 3 });
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, { 1, 2, 3 }, kStop));
    ExpectRows(r, 2, { 1, 2, 3 });
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kTur));
    ExpectNotReady(r, rows, ASCQ_START_NEEDED);

    /* START with IMMED answers at once; the drives become ready after their spin-up. */
    sent = GetTickCount();
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kStartImmed));
    ExpectRows(r, 2, rows);
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kTur));
    ExpectNotReady(r, { 0, 1, 3 }, ASCQ_BECOMING_READY);
    ExpectGood(r, { 2 });
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kSense));
    EXPECT_EQ((Bytes{ STATUS_GOOD, SENSE_NOT_READY, ASCQ_BECOMING_READY }), At(Block(r, 0), { BLK_ERROR, BLK_SENSE, BLK_SENSE + 2 }));
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, { 1 }, kSelfTest));
    EXPECT_EQ(STATUS_CHECK, Block(r, 1)[BLK_ERROR]);
    ASSERT_TRUE(WaitReady(0, &readyAt));
    EXPECT_GE(readyAt - sent, scaled);
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kTur));
    ExpectNotReady(r, { 1 }, ASCQ_BECOMING_READY);
    ExpectGood(r, { 0, 2, 3 });

    /* START without IMMED answers once the drives are up. */
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, { 0, 3 }, kStop));
    sent = GetTickCount();
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, { 0, 1, 3 }, kStart));
    EXPECT_GE(r.firstAt - sent, scaled);
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, rows, kTur));
    ExpectGood(r, { 0, 2, 3 });
    ExpectNotReady(r, { 1 }, ASCQ_BECOMING_READY);
    EXPECT_EQ(0, p.Stop());
}

/* CR# of the bypass reports of an FC 0x89 exchange, each segment's layout checked. */
static std::vector<uint16_t> Reports(const std::vector<Segment> &segs, uint8_t sf)
{
    std::vector<uint16_t> crs;
    for (size_t i = 0; i < segs.size(); i++) {
        const Bytes &s = segs[i].seg;
        const bool last = i + 1 == segs.size();
        EXPECT_EQ(size_t(SEG89_LEN), s.size());
        if (s.size() < SEG89_LEN)
            continue;
        EXPECT_EQ((Bytes{ TEST_APNO, FC_PATH, sf, uint8_t(last ? SEG_END : SEG_DATA), 0, 0, 0, 0 }),
                  Bytes(s.begin(), s.begin() + SEG89_CR));
        EXPECT_EQ((i == 0 ? MSG_FIRST : 0) | (last ? MSG_LAST : 0), segs[i].flags);
        if (!last && GetBe32(&s[SEG89_MASK])) {
            crs.push_back(GetBe16(&s[SEG89_CR]));
            EXPECT_EQ(0x80000000u >> (crs.back() >> 8), GetBe32(&s[SEG89_MASK]));
        }
    }
    return crs;
}

/* The answer of the last data segment. */
static uint32_t Answer(const std::vector<Segment> &segs)
{
    return segs.size() >= 2 && segs[segs.size() - 2].seg.size() >= SEG89_LEN
               ? GetBe32(&segs[segs.size() - 2].seg[SEG89_ANSWER]) : 0xFFFFFFFFu;
}

/* A refused exchange: one data segment with the return code and no end segment. */
static void ExpectRefused(const std::vector<Segment> &segs, uint32_t rc)
{
    ASSERT_EQ(1u, segs.size());
    EXPECT_EQ(size_t(segs[0].f == FC_READ ? SEG_HEAD_LEN : SEG89_LEN), segs[0].seg.size());
    EXPECT_EQ(rc, GetBe32(&segs[0].seg[SEG_RC]));
    EXPECT_EQ(SEG_DATA, segs[0].seg[SEG_FLAG]);
    EXPECT_EQ(MSG_FIRST | MSG_LAST, segs[0].flags);
}

/* The Drive Read record's state word of one drive. */
static uint16_t StateOf(uint16_t cr, uint16_t mpid)
{
    std::vector<Segment> segs;
    EXPECT_TRUE(CmdPath(&segs, SUB_READ, mpid, { cr }));
    if (segs.empty() || segs[0].seg.size() < SEGBE_LEN)
        return 0xFFFF;
    return GetBe16(&segs[0].seg[SEGBE_RECORDS + SEGBE_RECORD_LEN * (cr >> 8) + REC_STATE]);
}

TEST(DkcSim, PathCommandsAndDriveRead)
{
    std::vector<uint16_t> unit3;
    std::vector<Segment> segs;
    Reply83 r;
    Peer p;
    for (uint16_t row = 0; row < 12; row++)
        unit3.push_back(uint16_t(0x0300 | row));
    UseDescription("[Drive.0304]\nBypassed=A\n[Drive.0306]\nBypassed=B\n[Drive.0308]\nBypassed=AB\n"
                   "[Drive.0905]\nDriveValue=0xDEADBEEF\nSelfTest=3\n[Drive.0805]\nDriveValue=7\n");
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));

    /* A drive bypassed on a path does not answer there. */
    ASSERT_TRUE(Cmd83(&r, 0x83, 3, { 4, 5, 6, 8 }, kTur));
    ExpectRows(r, 3, { 5, 6 });
    ASSERT_TRUE(Cmd83(&r, 0x93, 3, { 4, 5, 6, 8 }, kTur));
    ExpectRows(r, 3, { 4, 5 });

    /* Check Bypass reports each bypassed drive in a data segment (or sends one with mask 0),
     * then the end segment; the answer counts the reports, the drives Reset / Set changed, or
     * the drives LIP reaches. */
    struct Step { uint8_t sub; uint16_t mpid; std::vector<uint16_t> crs, reports; uint32_t answer; };
    const Step steps[] = {
        { SUB_CHECKBYPASS, 0x83, unit3, { 0x0304, 0x0308 }, 2 },
        { SUB_CHECKBYPASS, 0x93, unit3, { 0x0306, 0x0308 }, 2 },
        { SUB_RESETBYPASS, 0x83, { 0x0304, 0x0305 }, {}, 1 },
        { SUB_CHECKBYPASS, 0x83, unit3, { 0x0308 }, 1 },
        { SUB_SETBYPASS, 0x83, { 0x0305, 0x0308 }, {}, 1 },
        { SUB_CHECKBYPASS, 0x83, unit3, { 0x0305, 0x0308 }, 2 },
        { SUB_CHECKBYPASS, 0x93, { 0x0300, 0x0301 }, {}, 0 },
        { SUB_LIP, 0x83, { 0x0300, 0x0301, 0x0302, 0x0100 }, {}, 3 },
        { SUB_STARTINLINE, 0x83, { 0x0300 }, {}, 0 },
        { SUB_REJECTLAMP, 0x83, { 0x0301 }, {}, 0 },
    };
    for (const Step &s : steps) {
        SCOPED_TRACE("sub " + std::to_string(s.sub) + " MP " + std::to_string(s.mpid));
        ASSERT_TRUE(CmdPath(&segs, s.sub, s.mpid, s.crs));
        EXPECT_EQ(s.reports.size() + (s.reports.empty() ? 2 : 1), segs.size());
        EXPECT_EQ(s.reports, Reports(segs, s.sub == SUB_REJECTLAMP ? 5 : 6));
        EXPECT_EQ(s.answer, Answer(segs));
    }
    EXPECT_EQ(STATE_READY | STATE_INLINE, StateOf(0x0300, 0x83));
    EXPECT_EQ(STATE_READY | STATE_LAMP, StateOf(0x0301, 0x83));
    EXPECT_EQ(STATE_READY | STATE_BYPASS_A, StateOf(0x0305, 0x93));
    ASSERT_TRUE(CmdPath(&segs, SUB_ENDINLINE, 0x83, { 0x0300 }));
    EXPECT_EQ(STATE_READY, StateOf(0x0300, 0x83));

    /* Drive Read: the records of the drive's row that the MP reaches, unit 9's only (unit 8
     * has a drive there too): flag, C, R, error, value, PDEV, state, counters, self test. */
    const Bytes head = { TEST_APNO, FC_READ, 10, SEG_DATA, 0, 0, 0, 0, 0x09, 0x05, SEGBE_LEN >> 8, SEGBE_LEN & 0xFF };
    const Bytes rec = { 1, 9, 5, STATUS_GOOD, 0xDE, 0xAD, 0xBE, 0xEF, 0x09, 0x05, 0, STATE_READY };
    Bytes want(SEGBE_LEN, 0);
    std::copy(head.begin(), head.end(), want.begin());
    std::copy(rec.begin(), rec.end(), want.begin() + SEGBE_RECORDS + SEGBE_RECORD_LEN * 9);
    want[SEGBE_RECORDS + SEGBE_RECORD_LEN * 9 + REC_SELFTEST + 1] = 3;
    ASSERT_TRUE(CmdPath(&segs, SUB_READ, 0x85, { 0x0905 }));
    ASSERT_EQ(2u, segs.size());
    EXPECT_EQ(want, segs[0].seg) << FirstDifference(want, segs[0].seg);
    EXPECT_EQ(SEG_END, segs[1].seg[SEG_FLAG]);
    EXPECT_EQ(MSG_LAST, segs[1].flags);
    ASSERT_TRUE(CmdPath(&segs, SUB_READ, 0x84, { 0x0805 }));
    EXPECT_EQ(7u, GetBe32(&segs[0].seg[SEGBE_RECORDS + SEGBE_RECORD_LEN * 8 + REC_VALUE]));

    /* Refused: an unknown sub-command, no drive at 0915, 0905 not on MP 0x84, no drive at all. */
    struct Refusal { uint8_t sub; uint16_t mpid; std::vector<uint16_t> crs; uint32_t rc; };
    const Refusal refusals[] = {
        { 0x7F, 0x83, { 0x0300 }, RC_BAD_REQUEST }, { SUB_READ, 0x85, { 0x0915 }, RC_NO_DRIVE },
        { SUB_READ, 0x84, { 0x0905 }, RC_NO_DRIVE }, { SUB_READ, 0x85, {}, RC_BAD_REQUEST },
    };
    for (const Refusal &f : refusals) {
        ASSERT_TRUE(CmdPath(&segs, f.sub, f.mpid, f.crs));
        ExpectRefused(segs, f.rc);
    }
    /* The next exchange is whole. */
    ASSERT_TRUE(CmdPath(&segs, SUB_LIP, 0x83, { 0x0300 }));
    EXPECT_EQ(2u, segs.size());
    EXPECT_EQ(0u, PendingMessages());
    EXPECT_EQ(0, p.Stop());
}

TEST(DkcSim, Faults)
{
    std::vector<Segment> segs;
    Reply83 r;
    Peer p;
    size_t mark = TraceMark();
    UseDescription("[Fault]\n0100.TUR=timeout*1\n0101.INQUIRY=wrongrow\n0102.INQUIRY=missingrow\n"
                   "0103.INQUIRY=error:0x08\nSELFTEST=rc:0x0F001740\n0104.START=slow:5000\n"
                   "CHECKBYPASS=rc:0x0F001741*1\n0905.DRIVEREAD=wrongrow,error:0x0B\n"
                   "bogus.TUR=timeout\n0106.TUR=rc:0\n");
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));

    /* No reply the first time; the second command's reply is the first thing that comes. */
    ASSERT_TRUE(SendDrive(Request83(1, { 0, 1 }, kTur), 0x81));
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 0, 1 }, kTur));
    ExpectRows(r, 1, { 0, 1 });

    /* Row 1 names row 2, row 2 is missing, row 3 has error byte 8. */
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 0, 1, 2, 3, 4 }, kInquiry));
    EXPECT_EQ((Bytes{ 4, HEAD_STATUS_NO_ROW }), At(r.data.data(), { HEAD_VALID_ROWS, HEAD_STATUS }));
    const Bytes want[5] = { { 1, 0, 1, 0 }, { 1, 0, 1, 2 }, { 0, 0, 0, 0 }, { 1, 8, 1, 3 }, { 1, 0, 1, 4 } };
    for (int row = 0; row < 5; row++)
        EXPECT_EQ(want[row], At(Block(r, row), { BLK_FLAG, BLK_ERROR, BLK_CDEV, BLK_RDEV })) << "row " << row;
    EXPECT_TRUE(AllZero(Block(r, 2), R83_BLOCK));

    /* A return code rides in the first segment's head and in the reply head; the reply is
     * still whole. */
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 0 }, kSelfTest));
    EXPECT_EQ(0x0F001740u, GetBe32(&r.head[SEG_RC]));
    EXPECT_EQ(HEAD_STATUS_RC, r.data[HEAD_STATUS]);
    EXPECT_EQ(0x0F001740u, GetBe32(&r.data[HEAD_RC]));

    DWORD sent = GetTickCount();
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 4 }, kStartImmed));
    EXPECT_GE(r.firstAt - sent, 5000u / TEST_DIVISOR);

    /* Check Bypass refused once, then a clean exchange. */
    ASSERT_TRUE(CmdPath(&segs, SUB_CHECKBYPASS, 0x81, { 0x0100 }));
    ExpectRefused(segs, 0x0F001741u);
    ASSERT_TRUE(CmdPath(&segs, SUB_CHECKBYPASS, 0x81, { 0x0100 }));
    EXPECT_EQ(2u, segs.size());
    EXPECT_TRUE(Reports(segs, 6).empty());

    ASSERT_TRUE(CmdPath(&segs, SUB_READ, 0x85, { 0x0905 }));
    const uint8_t *rec = &segs[0].seg[SEGBE_RECORDS + SEGBE_RECORD_LEN * 9];
    EXPECT_EQ((Bytes{ 6, 0x0B }), At(rec, { REC_RDEV, REC_ERROR }));

    /* Faults that do nothing, or name no command, are refused when read. */
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 6 }, kTur));
    ExpectRows(r, 1, { 6 });
    EXPECT_EQ(0u, PendingMessages());
    EXPECT_EQ(0, p.Stop());

    const std::vector<std::string> lines = TraceTexts(mark, 0, SIM_TRACE_BASE + 0x09);
    for (const char *text : { "DkcSim FAULT 0100 TUR timeout", "DkcSim NO REPLY FC=83 TUR",
                              "[Fault] bogus.TUR=timeout ignored", "[Fault] 0106.TUR=rc:0 ignored",
                              "DkcSim FAULT * CHECKBYPASS rc:0xF001741" })
        EXPECT_EQ(1u, GrepLines(lines, text).size()) << text;
}

TEST(DkcSim, DemoFaults)
{
    std::vector<Segment> segs;
    Reply83 r;
    Peer p;
    /* No description: the built-in subsystem with its faulty drives. */
    UseDescription(nullptr);
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 2, 3 }, kSelfTest));
    EXPECT_EQ((Bytes{ 0, 0x05 }), (Bytes{ Block(r, 2)[BLK_SELFTEST], Block(r, 3)[BLK_SELFTEST] }));
    ASSERT_TRUE(Cmd83(&r, 0x82, 2, { 6, 7 }, kInquiry));
    EXPECT_EQ(SIM_DEMO_VENDOR, Text(Block(r, 7) + BLK_VENDOR, SIM_VENDOR_LEN));
    EXPECT_NE(SIM_DEMO_VENDOR, Text(Block(r, 6) + BLK_VENDOR, SIM_VENDOR_LEN));
    ASSERT_TRUE(Cmd83(&r, 0x84, 8, { 4, 5 }, kStop));
    ASSERT_TRUE(Cmd83(&r, 0x84, 8, { 4, 5 }, kStart));
    ASSERT_TRUE(Cmd83(&r, 0x84, 8, { 4, 5 }, kTur));
    ExpectGood(r, { 4 });
    ExpectNotReady(r, { 5 }, ASCQ_BECOMING_READY);
    ASSERT_TRUE(CmdPath(&segs, SUB_CHECKBYPASS, 0x90, { 0x0001, 0x0002 }));
    EXPECT_EQ((std::vector<uint16_t>{ 0x0002 }), Reports(segs, 6));
    ASSERT_TRUE(CmdPath(&segs, SUB_READ, 0x88, { 0x1000 }));
    EXPECT_NE(0u, GetBe32(&segs[0].seg[SEGBE_RECORDS + SEGBE_RECORD_LEN * 16 + REC_VALUE]));
    EXPECT_EQ(0, p.Stop());

    /* A description has them only when it asks (DriveAnswers: not without). */
    UseDescription("[Sim]\nDemoFaults=1\n");
    ASSERT_TRUE(StartPeer(&p, "DkcSim.exe", SIM_APID_DKC));
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 3 }, kSelfTest));
    EXPECT_EQ(0x05, Block(r, 3)[BLK_SELFTEST]);
    EXPECT_EQ(0, p.Stop());
}

TEST(DkcSim, HostileRequestsAndLifecycle)
{
    Bytes req = Request83(1, { 0 }, kTur);
    Reply83 r;
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

    /* Unit 40 and rows past 79 name no drive: a whole reply without row reports. */
    ASSERT_TRUE(Cmd83(&r, 0x81, 40, { 0, 1 }, kTur));
    ExpectRows(r, 40, {});
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 80, 95 }, kTur));
    ExpectRows(r, 1, {});
    ASSERT_TRUE(Cmd83(&r, 0x81, 1, { 0 }, kTur));
    ExpectRows(r, 1, { 0 });
    EXPECT_EQ(0u, PendingMessages());
    EXPECT_EQ(0, p.Stop());
    const std::vector<std::string> lines = TraceTexts(mark, 0, SIM_TRACE_BASE + 0x09);
    EXPECT_EQ(4u, GrepLines(lines, "DkcSim DROP from=0D").size());
    EXPECT_EQ(1u, GrepLines(lines, "DkcSim RECV kind 1 from 0D not served").size());

    /* The lifetime ends it; the default quit event ends it (and it resets its RECV event); a
     * second receiver of AP 09 and bad arguments (SimDescription.CommandLine) do not start. */
    EXPECT_EQ(SIM_EXIT_LIFETIME, WaitExit(StartProgram("DkcSim.exe", "--lifetime 1"), PEER_EXIT_MS));
    char recvName[IW_NAME_LEN], quitName[IW_NAME_LEN + 8];
    IwFormatName(recvName, IW_FMT_RECV, SIM_APID_DKC);
    snprintf(quitName, sizeof quitName, SIM_QUIT_FMT, SIM_APID_DKC);
    HANDLE recv = IwCreateEvent(TRUE, FALSE, recvName);
    ResetEvent(recv);
    HANDLE h = StartProgram("DkcSim.exe", "");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(recv, REPLY_MS));
    EXPECT_EQ(SIM_EXIT_START, WaitExit(StartProgram("DkcSim.exe", "--quit-event Local\\Other"), PEER_EXIT_MS));
    HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, quitName);
    ASSERT_NE(nullptr, quit);
    SetEvent(quit);
    EXPECT_EQ(SIM_EXIT_QUIT, WaitExit(h, PEER_EXIT_MS));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(recv, 0));
    CloseHandle(quit);
    CloseHandle(recv);
    EXPECT_EQ(SIM_EXIT_USAGE, WaitExit(StartProgram("DkcSim.exe", "--bogus"), PEER_EXIT_MS));
}
