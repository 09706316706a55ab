/* DiagLogSim.exe against error reports sent by this process as "0D", the way the error report
 * window sends them (mtp1_iwtrn, kind 2, 1064 bytes). */
#include "tests/sim/simtest.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>

enum : size_t { TIME_TEXT_LEN = 24 };

static std::vector<uint8_t> Report(uint8_t unit, uint8_t row, uint8_t mp, uint8_t routine, uint8_t step,
                                   const std::vector<uint8_t> &detail, uint8_t tmpConfig)
{
    std::vector<uint8_t> r(DIAG_REQ_LEN, 0);
    r[DIAG_REQ_KIND] = DIAG_KIND_REPORT;
    r[DIAG_REQ_OP] = DIAG_OP_REPORT;
    r[DIAG_REQ_UNIT] = unit;
    r[DIAG_REQ_ROW] = row;
    r[DIAG_REQ_MP] = mp;
    r[DIAG_REQ_ROUTINE] = routine;
    r[DIAG_REQ_STEP] = step;
    memcpy(&r[DIAG_REQ_DETAIL], detail.data(), detail.size() < DIAG_DETAIL_COUNT ? detail.size() : size_t(DIAG_DETAIL_COUNT));
    r[DIAG_REQ_TMPCFG] = tmpConfig;
    return r;
}

static bool SendReport(const std::vector<uint8_t> &r, uint32_t len = 0)
{
    char dest[IW_APID_LEN] = SIM_APID_DIAG;
    return mtp1_iwtrn(IW_ROW_AP, 0, 0, 0, dest, 0, r.data(), len ? len : uint32_t(r.size())) == IW_OK;
}

/* The next acknowledgement: an AP message from "05" of 16 bytes. */
static testing::AssertionResult NextAck(Received *m)
{
    if (!NextMessage(m, REPLY_MS))
        return testing::AssertionFailure() << "no acknowledgement";
    if (m->kind != IW_ROW_AP || m->from != 0x05 || m->data.size() != DIAG_ACK_LEN)
        return testing::AssertionFailure() << "kind " << m->kind << " from " << m->from << " length "
                                           << m->data.size();
    return testing::AssertionSuccess();
}

/* A fresh diagnosis log for the peers started next. */
static std::string UseDiagLog()
{
    static int seq;
    std::string path = Files().dir + "diag" + std::to_string(++seq) + ".txt";
    SetEnv("MTP_DIAG_LOG", path.c_str());
    return path;
}

/* The log has count lines (bounded look every 10 ms: a file cannot be waited on). */
static std::vector<std::string> WaitLines(const std::string &path, size_t count)
{
    const DWORD start = GetTickCount();
    std::vector<std::string> lines;
    while ((lines = ReadLines(path)).size() < count && GetTickCount() - start < REPLY_MS)
        Sleep(10);
    return lines;
}

/* Everything after the time stamp; the stamp itself must read as local time now-ish. */
static std::string AfterStamp(const std::string &line, const SYSTEMTIME &before)
{
    unsigned y, mo, d, h, mi, s, ms;
    if (line.size() <= TIME_TEXT_LEN ||
        sscanf(line.c_str(), "%4u/%2u/%2u %2u:%2u:%2u.%3u", &y, &mo, &d, &h, &mi, &s, &ms) != 7 ||
        line[TIME_TEXT_LEN - 1] != ' ')
        return "bad stamp: " + line;
    EXPECT_EQ(before.wYear, y);
    EXPECT_TRUE(mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h < 24 && mi < 60 && s < 60 && ms < 1000);
    return line.substr(TIME_TEXT_LEN);
}

TEST(DiagLogSim, AcknowledgesAndLogs)
{
    const std::string log = UseDiagLog();
    Received a;
    Peer p;
    SYSTEMTIME before;
    size_t mark = TraceMark();
    UseDescription("[Sim]\nSegmentSize=4096\n");
    ASSERT_TRUE(StartPeer(&p, "DiagLogSim.exe", SIM_APID_DIAG));
    GetLocalTime(&before);

    std::vector<uint8_t> detail = { 0x05, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                    0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF };
    ASSERT_TRUE(SendReport(Report(1, 5, 0x81, 0xC4, 0x03, detail, 1)));
    const char vendor[] = "OLDVEND1";
    ASSERT_TRUE(SendReport(Report(2, 7, 0x92, 0xC2, 0x03, std::vector<uint8_t>(vendor, vendor + 8), 0)));
    /* Too short, and a message that is no error report: refused, not logged. */
    ASSERT_TRUE(SendReport(Report(3, 1, 0x83, 0xC1, 0x02, {}, 0), DIAG_REQ_MIN - 1));
    std::vector<uint8_t> other = Report(3, 1, 0x83, 0xC1, 0x02, {}, 0);
    other[DIAG_REQ_KIND] = 7;
    ASSERT_TRUE(SendReport(other));

    struct Want { uint8_t byte1; uint32_t seq; uint8_t unit, row; uint16_t code; };
    const Want want[] = { { DIAG_ACK_OK, 1, 1, 5, 0xC403 }, { DIAG_ACK_OK, 2, 2, 7, 0xC203 },
                          { DIAG_ACK_REFUSED, 0, 0, 0, 0 }, { DIAG_ACK_REFUSED, 0, 0, 0, 0 } };
    for (const Want &w : want) {
        ASSERT_TRUE(NextAck(&a));
        EXPECT_EQ(DIAG_KIND_REPORT, a.data[DIAG_ACK_APNO]);
        EXPECT_EQ(w.byte1, a.data[DIAG_ACK_BYTE1]);
        EXPECT_EQ(w.seq, GetBe32(&a.data[DIAG_ACK_SEQ]));
        EXPECT_EQ(w.unit, a.data[DIAG_ACK_UNIT]);
        EXPECT_EQ(w.row, a.data[DIAG_ACK_ROW]);
        EXPECT_EQ(w.code, GetBe16(&a.data[DIAG_ACK_CODE]));
    }
    EXPECT_EQ(0, StopPeer(&p));

    std::vector<std::string> lines = ReadLines(log);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("CR#=0105 MP=81 Routine=C4 Step=03 ErrorCode=C403 "
              "Detail=05 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF TmpConfig=1 From=0D",
              AfterStamp(lines[0], before));
    EXPECT_EQ("CR#=0207 MP=92 Routine=C2 Step=03 ErrorCode=C203 "
              "Detail=4F 4C 44 56 45 4E 44 31 00 00 00 00 00 00 00 00 TmpConfig=0 From=0D",
              AfterStamp(lines[1], before));
    std::vector<std::string> trace = TraceSince(mark, SIM_TRACE_BASE + 0x05);
    EXPECT_EQ(2u, GrepLines(trace, "DiagLogSim ACK to=0D byte1=01").size());
    EXPECT_EQ(2u, GrepLines(trace, "not an error report, refused").size());
}

TEST(DiagLogSim, DelayedSpoiledAndWithheld)
{
    const uint32_t delayMs = 4000;
    std::string log = UseDiagLog();
    Received a;
    Peer p;
    SYSTEMTIME before;
    GetLocalTime(&before);

    /* Late, and with a byte 1 the program does not take as an acknowledgement. */
    UseDescription("[DiagLog]\nAckDelayMs=" + std::to_string(delayMs) + "\nAckByte1=0x02\n");
    ASSERT_TRUE(StartPeer(&p, "DiagLogSim.exe", SIM_APID_DIAG));
    DWORD sent = GetTickCount();
    ASSERT_TRUE(SendReport(Report(0, 4, 0x80, 0xC1, 0x02, { 0x02 }, 0)));
    ASSERT_TRUE(NextAck(&a));
    EXPECT_GE(a.at - sent, delayMs / TEST_DIVISOR);
    EXPECT_EQ(0x02, a.data[DIAG_ACK_BYTE1]);
    /* The report was logged before it was acknowledged. */
    EXPECT_EQ(1u, ReadLines(log).size());
    EXPECT_EQ(0, StopPeer(&p));

    /* Withheld: logged, never acknowledged. */
    log = UseDiagLog();
    size_t mark = TraceMark();
    UseDescription("[DiagLog]\nAck=0\n");
    ASSERT_TRUE(StartPeer(&p, "DiagLogSim.exe", SIM_APID_DIAG));
    ASSERT_TRUE(SendReport(Report(0, 4, 0x80, 0xC1, 0x02, { 0x02 }, 0)));
    ASSERT_TRUE(SendReport(Report(0, 5, 0x80, 0xC1, 0x02, { 0x02 }, 0)));
    std::vector<std::string> lines = WaitLines(log, 2);
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, AfterStamp(lines[1], before).find("CR#=0005"));
    EXPECT_EQ(0, StopPeer(&p));
    EXPECT_EQ(0u, PendingMessages());
    EXPECT_EQ(2u, GrepLines(TraceSince(mark, SIM_TRACE_BASE + 0x05), "DiagLogSim ACK to=0D withheld").size());

    /* A log that cannot be written does not stop the acknowledgement. */
    SetEnv("MTP_DIAG_LOG", (Files().dir + "no such folder\\diag.txt").c_str());
    mark = TraceMark();
    UseDescription("[DiagLog]\nAck=1\n");
    ASSERT_TRUE(StartPeer(&p, "DiagLogSim.exe", SIM_APID_DIAG));
    ASSERT_TRUE(SendReport(Report(0, 6, 0x80, 0xC1, 0x02, { 0x02 }, 0)));
    ASSERT_TRUE(NextAck(&a));
    EXPECT_EQ(DIAG_ACK_OK, a.data[DIAG_ACK_BYTE1]);
    EXPECT_EQ(0, StopPeer(&p));
    EXPECT_EQ(1u, GrepLines(TraceSince(mark, SIM_TRACE_BASE + 0x05), "DiagLogSim cannot write").size());
}
