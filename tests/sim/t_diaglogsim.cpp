/* DiagLogSim.exe against error reports sent by this process as "0D", the way the error report
 * window sends them (mtp1_iwtrn, kind 2, 1064 bytes): the acknowledgement the program waits for,
 * refusals, and a burst beyond its queue. */
#include "tests/sim/simtest.h"
#include <gtest/gtest.h>
#include <string.h>
#include <string>

enum : size_t { TIME_TEXT_LEN = 24 };

static Bytes Report(uint8_t unit, uint8_t row, uint8_t routine, const Bytes &detail)
{
    Bytes r(DIAG_REQ_LEN, 0);
    r[DIAG_REQ_KIND] = DIAG_KIND_REPORT, r[DIAG_REQ_OP] = DIAG_OP_REPORT, r[DIAG_REQ_UNIT] = unit, r[DIAG_REQ_ROW] = row;
    r[DIAG_REQ_MP] = 0x81, r[DIAG_REQ_ROUTINE] = routine, r[DIAG_REQ_STEP] = 0x02, r[DIAG_REQ_TMPCFG] = 1;
    memcpy(&r[DIAG_REQ_DETAIL], detail.data(), detail.size());
    return r;
}

static bool SendReport(const Bytes &r, uint32_t len = 0)
{
    char dest[IW_APID_LEN] = SIM_APID_DIAG;
    return mtp1_iwtrn(IW_ROW_AP, 0, 0, 0, dest, 0, r.data(), len ? len : uint32_t(r.size())) == IW_OK;
}

/* The next message is the acknowledgement the program expects: an AP message from "05" of
 * these 16 bytes. */
static testing::AssertionResult NextAck(uint8_t byte1, uint32_t seq, uint8_t unit, uint8_t row, uint16_t code)
{
    Bytes a(DIAG_ACK_LEN, 0);
    Received m;
    a[DIAG_ACK_APNO] = DIAG_KIND_REPORT, a[DIAG_ACK_BYTE1] = byte1, a[DIAG_ACK_UNIT] = unit, a[DIAG_ACK_ROW] = row;
    PutBe32(&a[DIAG_ACK_SEQ], seq);
    PutBe16(&a[DIAG_ACK_CODE], code);
    if (!NextMessage(&m, REPLY_MS))
        return testing::AssertionFailure() << "no acknowledgement " << seq;
    if (m.kind != IW_ROW_AP || m.from != 0x05 || m.data != a)
        return testing::AssertionFailure() << "kind " << m.kind << " from " << m.from << ": " << testing::PrintToString(m.data);
    return testing::AssertionSuccess();
}

TEST(DiagLogSim, AcknowledgesLogsAndRefuses)
{
    const std::string log = UseDiagLog();
    Peer p;
    SYSTEMTIME before;
    size_t mark = TraceMark();
    UseDescription("[DiagLog]\nAck=1\n");
    ASSERT_TRUE(StartPeer(&p, "DiagLogSim.exe", SIM_APID_DIAG));
    GetLocalTime(&before);

    ASSERT_TRUE(SendReport(Report(1, 5, 0xC4, { 0x05, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB,
                                                0xCC, 0xDD, 0xEE, 0xFF })));
    /* Too short, and a message that is no error report: refused, not logged. */
    Bytes other = Report(3, 1, 0xC1, {});
    ASSERT_TRUE(SendReport(other, DIAG_REQ_MIN - 1));
    other[DIAG_REQ_KIND] = 7;
    ASSERT_TRUE(SendReport(other));
    EXPECT_TRUE(NextAck(DIAG_ACK_OK, 1, 1, 5, 0xC402));
    EXPECT_TRUE(NextAck(DIAG_ACK_REFUSED, 0, 0, 0, 0));
    EXPECT_TRUE(NextAck(DIAG_ACK_REFUSED, 0, 0, 0, 0));
    EXPECT_EQ(0, p.Stop());

    std::vector<std::string> lines = ReadLines(log);
    for (std::string &l : lines)
        l = l.compare(0, 5, std::to_string(before.wYear) + "/") == 0 ? l.substr(TIME_TEXT_LEN) : "bad stamp: " + l;
    EXPECT_EQ(lines, std::vector<std::string>({ "CR#=0105 MP=81 Routine=C4 Step=02 ErrorCode=C402 Detail=05 11 22 33 44 55 "
                                                "66 77 88 99 AA BB CC DD EE FF TmpConfig=1 From=0D" }));
    EXPECT_EQ(2u, GrepLines(TraceTexts(mark, 0, SIM_TRACE_BASE + 0x05), "not an error report, refused").size());
}

/* A burst larger than the queue: every report is acknowledged in order and logged, none is
 * dropped; the receive thread held the senders back instead. */
TEST(DiagLogSim, BurstBeyondTheQueueLosesNothing)
{
    const uint32_t count = SIM_QUEUE_MAX + 144;
    const std::string log = UseDiagLog();
    Peer p;
    size_t mark = TraceMark();
    UseDescription("[DiagLog]\nAckDelayMs=100\n");
    ASSERT_TRUE(StartPeer(&p, "DiagLogSim.exe", SIM_APID_DIAG));
    for (uint32_t i = 0; i < count; i++)
        ASSERT_TRUE(SendReport(Report(1, uint8_t(i % ROW_COUNT), 0xC1, { 0x02 }))) << i;
    for (uint32_t i = 0; i < count; i++)
        ASSERT_TRUE(NextAck(DIAG_ACK_OK, i + 1, 1, uint8_t(i % ROW_COUNT), 0xC102));
    EXPECT_EQ(0, p.Stop());
    EXPECT_EQ(size_t(count), ReadLines(log).size());
    const std::vector<std::string> trace = TraceTexts(mark, 0, SIM_TRACE_BASE + 0x05);
    EXPECT_LE(1u, GrepLines(trace, "RECV queue full (256), message from 0D waits").size());
    EXPECT_EQ(0u, GrepLines(trace, "dropped").size());
}
