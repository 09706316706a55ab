/* DiagLogSim.exe against error reports sent by this process as "0D", the way the error report
 * window sends them (mtp1_iwtrn, kind 2, 1064 bytes), and the line it logs for one. */
#include "tests/sim/simtest.h"
#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include <string>

enum : size_t { TIME_TEXT_LEN = 24 };

static Bytes Report(uint8_t unit, uint8_t row, uint8_t mp, uint8_t routine, uint8_t step, const Bytes &detail, uint8_t tmpConfig)
{
    Bytes r(DIAG_REQ_LEN, 0);
    r[DIAG_REQ_KIND] = DIAG_KIND_REPORT, r[DIAG_REQ_OP] = DIAG_OP_REPORT, r[DIAG_REQ_UNIT] = unit, r[DIAG_REQ_ROW] = row;
    r[DIAG_REQ_MP] = mp, r[DIAG_REQ_ROUTINE] = routine, r[DIAG_REQ_STEP] = step, r[DIAG_REQ_TMPCFG] = tmpConfig;
    memcpy(&r[DIAG_REQ_DETAIL], detail.data(), std::min(detail.size(), size_t(DIAG_DETAIL_COUNT)));
    return r;
}

static bool SendReport(const Bytes &r, uint32_t len = 0)
{
    char dest[IW_APID_LEN] = SIM_APID_DIAG;
    return mtp1_iwtrn(IW_ROW_AP, 0, 0, 0, dest, 0, r.data(), len ? len : uint32_t(r.size())) == IW_OK;
}

/* The next message is the acknowledgement the program expects: an AP message from "05" of
 * these 16 bytes. */
static testing::AssertionResult NextAck(uint8_t byte1, uint32_t seq, uint8_t unit, uint8_t row, uint16_t code, DWORD *at = nullptr)
{
    Bytes a(DIAG_ACK_LEN, 0);
    Received m;
    a[DIAG_ACK_APNO] = DIAG_KIND_REPORT, a[DIAG_ACK_BYTE1] = byte1, a[DIAG_ACK_UNIT] = unit, a[DIAG_ACK_ROW] = row;
    PutBe32(&a[DIAG_ACK_SEQ], seq);
    PutBe16(&a[DIAG_ACK_CODE], code);
    if (!NextMessage(&m, REPLY_MS))
        return testing::AssertionFailure() << "no acknowledgement " << seq;
    if (at)
        *at = m.at;
    if (m.kind != IW_ROW_AP || m.from != 0x05 || m.data != a)
        return testing::AssertionFailure() << "kind " << m.kind << " from " << m.from << ": " << testing::PrintToString(m.data);
    return testing::AssertionSuccess();
}

TEST(DiagLogSim, AcknowledgesLateAndLogs)
{
    const uint32_t delayMs = 1000;
    const std::string log = UseDiagLog();
    Peer p;
    SYSTEMTIME before;
    DWORD at = 0;
    size_t mark = TraceMark();
    /* Late, and with a byte 1 the program does not take as an acknowledgement (t_dcsim has
     * the program's side of both and of the default). */
    UseDescription(("[DiagLog]\nAckDelayMs=" + std::to_string(delayMs) + "\nAckByte1=0x02\n").c_str());
    ASSERT_TRUE(StartPeer(&p, "DiagLogSim.exe", SIM_APID_DIAG));
    GetLocalTime(&before);

    const DWORD sent = GetTickCount();
    ASSERT_TRUE(SendReport(Report(1, 5, 0x81, 0xC4, 0x03, { 0x05, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                                            0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF }, 1)));
    /* Too short, and a message that is no error report: refused, not logged. */
    Bytes other = Report(3, 1, 0x83, 0xC1, 0x02, {}, 0);
    ASSERT_TRUE(SendReport(other, DIAG_REQ_MIN - 1));
    other[DIAG_REQ_KIND] = 7;
    ASSERT_TRUE(SendReport(other));
    ASSERT_TRUE(NextAck(0x02, 1, 1, 5, 0xC403, &at));
    EXPECT_GE(at - sent, delayMs / TEST_DIVISOR);
    EXPECT_EQ(1u, ReadLines(log).size()) << "logged before it was acknowledged";
    EXPECT_TRUE(NextAck(DIAG_ACK_REFUSED, 0, 0, 0, 0));
    EXPECT_TRUE(NextAck(DIAG_ACK_REFUSED, 0, 0, 0, 0));
    EXPECT_EQ(0, p.Stop());

    /* The line as DiagFormatLine makes it, stamped this year. */
    std::vector<std::string> lines = ReadLines(log);
    for (std::string &l : lines)
        l = l.compare(0, 5, std::to_string(before.wYear) + "/") == 0 ? l.substr(TIME_TEXT_LEN) : "bad stamp: " + l;
    EXPECT_EQ(lines, std::vector<std::string>({ "CR#=0105 MP=81 Routine=C4 Step=03 ErrorCode=C403 Detail=05 11 22 33 44 55 "
                                                "66 77 88 99 AA BB CC DD EE FF TmpConfig=1 From=0D" }));
    const std::vector<std::string> trace = TraceTexts(mark, 0, SIM_TRACE_BASE + 0x05);
    EXPECT_EQ(1u, GrepLines(trace, "DiagLogSim ACK to=0D byte1=02").size());
    EXPECT_EQ(2u, GrepLines(trace, "not an error report, refused").size());

    /* A log that cannot be written does not stop the acknowledgement. */
    SetEnv("MTP_DIAG_LOG", (TestDir() + "no such folder\\diag.txt").c_str());
    mark = TraceMark();
    UseDescription("[DiagLog]\nAck=1\n");
    ASSERT_TRUE(StartPeer(&p, "DiagLogSim.exe", SIM_APID_DIAG));
    ASSERT_TRUE(SendReport(Report(0, 4, 0x80, 0xC1, 0x02, { 0x02 }, 0)));
    EXPECT_TRUE(NextAck(DIAG_ACK_OK, 1, 0, 4, 0xC102));
    EXPECT_EQ(0, p.Stop());
    EXPECT_EQ(1u, GrepLines(TraceTexts(mark, 0, SIM_TRACE_BASE + 0x05), "DiagLogSim cannot write").size());
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
        ASSERT_TRUE(SendReport(Report(1, uint8_t(i % ROW_COUNT), 0x81, 0xC1, 0x02, { 0x02 }, 0))) << i;
    for (uint32_t i = 0; i < count; i++)
        ASSERT_TRUE(NextAck(DIAG_ACK_OK, i + 1, 1, uint8_t(i % ROW_COUNT), 0xC102));
    EXPECT_EQ(0, p.Stop());
    EXPECT_EQ(size_t(count), ReadLines(log).size());
    const std::vector<std::string> trace = TraceTexts(mark, 0, SIM_TRACE_BASE + 0x05);
    EXPECT_LE(1u, GrepLines(trace, "RECV queue full (256), message from 0D waits").size());
    EXPECT_EQ(0u, GrepLines(trace, "dropped").size());
}

TEST(DiagLogSim, LogLineAndItsConfiguration)
{
    Bytes req = Report(0x1F, 0x4F, 0x9F, 0xC5, 0xE3, { 0x1F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xAB }, 1);
    char line[DIAG_LINE_LEN] = "untouched";
    const SYSTEMTIME t = { 2024, 2, 4, 29, 23, 59, 58, 7 };
    /* Too short: nothing, the line untouched. */
    EXPECT_EQ(0, DiagFormatLine(req.data(), DIAG_REQ_MIN - 1, 0x0D, &t, line, sizeof line));
    EXPECT_STREQ("untouched", line);
    ASSERT_EQ(1, DiagFormatLine(req.data(), DIAG_REQ_MIN, 0x0D, &t, line, sizeof line));
    EXPECT_STREQ("2024/02/29 23:59:58.007 CR#=1F4F MP=9F Routine=C5 Step=E3 ErrorCode=C5E3 "
                 "Detail=1F 00 00 00 00 00 00 00 00 00 00 00 00 00 00 AB TmpConfig=1 From=0D", line);
    /* A line that would be cut, no request, not a report: nothing. */
    EXPECT_EQ(0, DiagFormatLine(req.data(), DIAG_REQ_MIN, 0x0D, &t, line, 60));
    EXPECT_EQ(0, DiagFormatLine(nullptr, DIAG_REQ_MIN, 0x0D, &t, line, sizeof line));
    req[DIAG_REQ_OP] = 2;
    EXPECT_EQ(0, DiagFormatLine(req.data(), DIAG_REQ_MIN, 0x0D, &t, line, sizeof line));

    /* Values out of range leave the defaults; a log path that does not fit fails. */
    DiagConfig d;
    SetEnv("MTP_DIAG_LOG", "c:\\x\\diag.txt");
    ASSERT_EQ(1, DiagLoadConfig(&d, UseDescription("[DiagLog]\nAckDelayMs=600001\nAck=2\nAckByte1=0x100\n").c_str()));
    EXPECT_EQ((std::vector<uint32_t>{ 1, DIAG_ACK_OK, 0 }), (std::vector<uint32_t>{ d.ack, d.ackByte1, d.ackDelayMs }));
    EXPECT_STREQ("c:\\x\\diag.txt", d.logPath);
    SetEnv("MTP_DIAG_LOG", ("c:\\" + std::string(MAX_PATH, 'x')).c_str());
    EXPECT_EQ(0, DiagLoadConfig(&d, nullptr));
    UseDiagLog();
}
