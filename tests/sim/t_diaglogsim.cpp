/* DiagLogSim.exe against error reports sent by this process as "0D", the way the error report
 * window sends them (mtp1_iwtrn, kind 2, 1064 bytes). */
#include "tests/sim/simtest.h"
#include <gtest/gtest.h>
#include <string>

enum : size_t { TIME_TEXT_LEN = 24 };

static bool SendReport(const Bytes &r, uint32_t len = 0)
{
    char dest[IW_APID_LEN] = SIM_APID_DIAG;
    return mtp1_iwtrn(IW_ROW_AP, 0, 0, 0, dest, 0, r.data(), len ? len : uint32_t(r.size())) == IW_OK;
}

/* The acknowledgement the program expects: an AP message from "05" of these 16 bytes. */
static Bytes Ack(uint8_t byte1, uint32_t seq, uint8_t unit, uint8_t row, uint16_t code)
{
    Bytes a(DIAG_ACK_LEN, 0);
    a[DIAG_ACK_APNO] = DIAG_KIND_REPORT;
    a[DIAG_ACK_BYTE1] = byte1;
    PutBe32(&a[DIAG_ACK_SEQ], seq);
    a[DIAG_ACK_UNIT] = unit;
    a[DIAG_ACK_ROW] = row;
    PutBe16(&a[DIAG_ACK_CODE], code);
    return a;
}

static testing::AssertionResult NextAck(Received *m, const Bytes &want)
{
    if (!NextMessage(m, REPLY_MS))
        return testing::AssertionFailure() << "no acknowledgement";
    if (m->kind != IW_ROW_AP || m->from != 0x05 || m->data != want)
        return testing::AssertionFailure() << "kind " << m->kind << " from " << m->from << ": "
                                           << testing::PrintToString(m->data);
    return testing::AssertionSuccess();
}

TEST(DiagLogSim, AcknowledgesLateAndLogs)
{
    const uint32_t delayMs = 1000;
    const std::string log = UseDiagLog();
    const char vendor[] = "OLDVEND1";
    Received a;
    Peer p;
    SYSTEMTIME before;
    size_t mark = TraceMark();
    /* Late, and with a byte 1 the program does not take as an acknowledgement (t_dcsim has
     * the program's side of both and of the default). */
    UseDescription(("[DiagLog]\nAckDelayMs=" + std::to_string(delayMs) + "\nAckByte1=0x02\n").c_str());
    ASSERT_TRUE(StartPeer(&p, "DiagLogSim.exe", SIM_APID_DIAG));
    GetLocalTime(&before);

    const DWORD sent = GetTickCount();
    ASSERT_TRUE(SendReport(Report(1, 5, 0x81, 0xC4, 0x03, { 0x05, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                                            0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF }, 1)));
    ASSERT_TRUE(SendReport(Report(2, 7, 0x92, 0xC2, 0x03, Bytes(vendor, vendor + 8), 0)));
    /* Too short, and a message that is no error report: refused, not logged. */
    Bytes other = Report(3, 1, 0x83, 0xC1, 0x02, {}, 0);
    ASSERT_TRUE(SendReport(other, DIAG_REQ_MIN - 1));
    other[DIAG_REQ_KIND] = 7;
    ASSERT_TRUE(SendReport(other));
    ASSERT_TRUE(NextAck(&a, Ack(0x02, 1, 1, 5, 0xC403)));
    EXPECT_GE(a.at - sent, delayMs / TEST_DIVISOR);
    EXPECT_GE(ReadLines(log).size(), 1u) << "logged before it was acknowledged";
    EXPECT_TRUE(NextAck(&a, Ack(0x02, 2, 2, 7, 0xC203)));
    EXPECT_TRUE(NextAck(&a, Ack(DIAG_ACK_REFUSED, 0, 0, 0, 0)));
    EXPECT_TRUE(NextAck(&a, Ack(DIAG_ACK_REFUSED, 0, 0, 0, 0)));
    EXPECT_EQ(0, p.Stop());

    /* Lines as DiagFormatLine makes them (SimDescription.DiagnosisLogLine), stamped this year. */
    std::vector<std::string> lines = ReadLines(log);
    for (std::string &l : lines)
        l = l.compare(0, 5, std::to_string(before.wYear) + "/") == 0 ? l.substr(TIME_TEXT_LEN) : "bad stamp: " + l;
    EXPECT_EQ(lines, std::vector<std::string>({ "CR#=0105 MP=81 Routine=C4 Step=03 ErrorCode=C403 Detail=05 11 22 33 44 55 "
                                                "66 77 88 99 AA BB CC DD EE FF TmpConfig=1 From=0D",
                                                "CR#=0207 MP=92 Routine=C2 Step=03 ErrorCode=C203 Detail=4F 4C 44 56 45 4E "
                                                "44 31 00 00 00 00 00 00 00 00 TmpConfig=0 From=0D" }));
    const std::vector<std::string> trace = TraceTexts(mark, 0, SIM_TRACE_BASE + 0x05);
    EXPECT_EQ(2u, GrepLines(trace, "DiagLogSim ACK to=0D byte1=02").size());
    EXPECT_EQ(2u, GrepLines(trace, "not an error report, refused").size());

    /* A log that cannot be written does not stop the acknowledgement. */
    SetEnv("MTP_DIAG_LOG", (TestDir() + "no such folder\\diag.txt").c_str());
    mark = TraceMark();
    UseDescription("[DiagLog]\nAck=1\n");
    ASSERT_TRUE(StartPeer(&p, "DiagLogSim.exe", SIM_APID_DIAG));
    ASSERT_TRUE(SendReport(Report(0, 4, 0x80, 0xC1, 0x02, { 0x02 }, 0)));
    EXPECT_TRUE(NextAck(&a, Ack(DIAG_ACK_OK, 1, 0, 4, 0xC102)));
    EXPECT_EQ(0, p.Stop());
    EXPECT_EQ(1u, GrepLines(TraceTexts(mark, 0, SIM_TRACE_BASE + 0x05), "DiagLogSim cannot write").size());
}

/* A burst larger than the queue: every report it confirmed is logged, none is dropped; the
 * receive thread held the senders back instead. */
TEST(DiagLogSim, BurstBeyondTheQueueLosesNothing)
{
    const uint32_t count = SIM_QUEUE_MAX + 144;
    const std::string log = UseDiagLog();
    Peer p;
    size_t mark = TraceMark();
    UseDescription("[DiagLog]\nAckDelayMs=100\n");
    ASSERT_TRUE(StartPeer(&p, "DiagLogSim.exe", SIM_APID_DIAG));
    for (uint32_t i = 0; i < count; i++)
        ASSERT_TRUE(SendReport(Report(1, uint8_t(i % ROW_COUNT), 0x81, 0xC1, 0x02, { 0x02 }, 0))) << i;
    Received a;
    uint32_t acks = 0;
    while (acks < count && NextMessage(&a, REPLY_MS))
        acks++;
    EXPECT_EQ(count, acks);
    EXPECT_EQ(0, p.Stop());
    EXPECT_EQ(size_t(count), ReadLines(log).size());
    const std::vector<std::string> trace = TraceTexts(mark, 0, SIM_TRACE_BASE + 0x05);
    EXPECT_LE(1u, GrepLines(trace, "RECV queue full (256), message from 0D waits").size());
    EXPECT_EQ(0u, GrepLines(trace, "dropped").size());
}
