/* The communication library: trace files (creation, lines, rotation, quiet mode, dumps, several
 * writers) and the session (attach and detach with the handler swap, receive dispatch). */
#include "cmlb/cmlb.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <regex>

typedef std::vector<std::string> Texts;
/* Messages of a trace file from 25 up to the header's offset: lines without "$id:000:time$". */
static Texts Msgs(const std::string &file = ReadFileBytes(CMT_FILE_MAIN))
{
    Texts out;
    size_t end = file.size() < CMT_HEADER_LEN ? 0 : atoi(file.substr(CMT_SEQ_AT, 6).c_str());
    for (size_t at = CMT_HEADER_LEN, nl; at < end && (nl = file.find("\r\n", at)) < end; at = nl + 2) {
        size_t second = file.find('$', at + 1);
        out.push_back(second < nl ? file.substr(second + 1, nl - second - 1) : "");
    }
    return out;
}
static void Reset() { DeleteFileA(CMT_FILE_MAIN), DeleteFileA(CMT_FILE_MAIN_PREV); }

TEST(CommTrace, LinesRotationQuietModeAndDumps)
{
    Reset();
    CMTrace(CMT_LINE, "first %d", 1);
    std::string file = ReadFileBytes(CMT_FILE_MAIN);
    ASSERT_EQ(size_t(CMT_FILE_SIZE), file.size());
    EXPECT_EQ("CMLB_TRACE   Seq=000053\r\n", file.substr(0, CMT_HEADER_LEN));
    /* Before the trace is opened the id text is empty; twelve digits of time. */
    EXPECT_TRUE(std::regex_match(file.substr(CMT_HEADER_LEN, 28), std::regex("\\$:000:[0-9]{12}\\$first 1\r\n")));
    EXPECT_EQ(std::string(CMT_FILE_SIZE - 53, ' '), file.substr(53));

    CMTrace(CMT_OPEN, "0D", 0);
    CMTrace(CMT_LINE_QUIET, "quiet-able");
    CMTrace(CMT_CLOSE);
    EXPECT_EQ(ReadFileBytes(CMT_FILE_MAIN).substr(53, 8), "$0D:000:");
    EXPECT_EQ((Texts{ "first 1", "OPEN", "quiet-able", "CLOSE" }), Msgs());

    /* A header at the rotation mark moves the file to the previous name. */
    WriteFileBytes(CMT_FILE_MAIN_PREV, "old previous");
    WriteFileBytes(CMT_FILE_MAIN, file.replace(0, CMT_HEADER_LEN, "CMLB_TRACE   Seq=655360\r\n"));
    CMTrace(CMT_LINE, "after rotation");
    EXPECT_EQ(file, ReadFileBytes(CMT_FILE_MAIN_PREV));
    EXPECT_EQ(size_t(CMT_FILE_SIZE), ReadFileBytes(CMT_FILE_MAIN).size());
    EXPECT_EQ(Texts{ "after rotation" }, Msgs());

    /* A header that does not read as an offset starts at the first line; a message longer
     * than the line buffer is cut, not spilled. */
    WriteFileBytes(CMT_FILE_MAIN, ReadFileBytes(CMT_FILE_MAIN).replace(CMT_SEQ_AT, 6, "xx0012"));
    CMTrace(CMT_LINE, "over the first");
    CMTrace(CMT_LINE, "%s", std::string(400, 'x').c_str());
    EXPECT_EQ((Texts{ "over the first", std::string(CMT_LINE_MAX - 1, 'x') }), Msgs());
    /* A file left short is filled up to its size around what it holds. */
    const std::string part = ReadFileBytes(CMT_FILE_MAIN).substr(0, 100);
    WriteFileBytes(CMT_FILE_MAIN, part);
    CMTrace(CMT_LINE, "filled up");
    file = ReadFileBytes(CMT_FILE_MAIN);
    EXPECT_EQ(size_t(CMT_FILE_SIZE), file.size());
    EXPECT_EQ(part.substr(CMT_HEADER_LEN), file.substr(CMT_HEADER_LEN, 75));
    EXPECT_EQ(file.find("$filled up\r\n") + 12, size_t(atoi(file.substr(CMT_SEQ_AT, 6).c_str())));

    /* Dumps, and the quiet mode that suppresses the quiet-able lines and short dumps. */
    Reset();
    uint8_t data[100];
    std::string hex;
    for (int i = 0; i < 100; i++)
        data[i] = uint8_t(i), hex += "0123456789abcdef"[i >> 4], hex += "0123456789abcdef"[i & 15];
    CMTrace(CMT_DUMP_SHORT, data, uint32_t(100), "short");
    CMTrace(CMT_DUMP, data, uint32_t(100), "all");
    CMTrace(CMT_DUMP, data, uint32_t(0), "none");
    uint32_t old = 0xFFFF;
    CMTrace(CMT_FLAGS, &old, int(CMT_FLAG_QUIET | CMT_FLAG_ALT_FILES));
    EXPECT_EQ(0u, old);
    CMTrace(CMT_LINE_QUIET, "suppressed");
    CMTrace(CMT_DUMP_SHORT, data, uint32_t(4), "suppressed");
    CMTrace(CMT_LINE, "kept");
    CMTrace(CMT_DUMP, data, uint32_t(2), "kept");
    CMTrace(CMT_FLAGS, &old, 0);
    EXPECT_EQ(unsigned(CMT_FLAG_QUIET), old) << "only the quiet bit is taken";
    CMTrace(CMT_FLAGS, nullptr, 0);
    const Texts want = {
        "DUMP_START(short):0x00000064 Byte", "00000000:" + hex.substr(0, 64), "00000020:" + hex.substr(64, 64),
        "DUMP_START(all):0x00000064 Byte", "00000000:" + hex.substr(0, 64), "00000020:" + hex.substr(64, 64),
        "00000040:" + hex.substr(128, 64), "00000060:" + hex.substr(192, 8),
        "DUMP_START(none):0x00000000 Byte", "kept", "DUMP_START(kept):0x00000002 Byte", "00000000:0001",
    };
    EXPECT_EQ(want, Msgs());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(CMT_FILE_ALT)) << "the file pair changes only at open";
}

/* Writers of four processes of four threads each meet a rotation that waits (another program
 * holds the previous file for a second): no line is lost or doubled, each writer's lines stay in
 * order, the previous file keeps the old lines whole and the new file has its full size. */
TEST(CommTrace, WritersOfSeveralProcessesAcrossTheRotation)
{
    Reset();
    /* Old lines up to one line short of the rotation point. */
    const std::string before = "$X:000:000000000000$before\r\n";
    std::string file = "CMLB_TRACE   Seq=000000\r\n";
    size_t old = 0;
    for (; file.size() + before.size() < CMT_ROTATE_AT; old++)
        file += before;
    file.replace(CMT_SEQ_AT, 6, std::to_string(file.size()));
    file.resize(CMT_FILE_SIZE, ' ');
    ASSERT_TRUE(WriteFileBytes(CMT_FILE_MAIN, file));
    enum { WRITERS = 4, THREADS = 4, LINES = 50 };
    CMTrace(CMT_LINE, "crossing");
    HANDLE hold = CreateFileA(CMT_FILE_MAIN_PREV, GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    HANDLE w[WRITERS];
    for (int p = 0; p < WRITERS; p++)
        w[p] = StartProgram("CmTraceWrite.exe", "--threads " + std::to_string(THREADS) + " --count " + std::to_string(LINES) + " P" + std::to_string(p));
    Sleep(1000);
    CloseHandle(hold);
    for (HANDLE h : w)
        EXPECT_EQ(0, WaitExit(h, 120000));
    const std::string prev = ReadFileBytes(CMT_FILE_MAIN_PREV), cur = ReadFileBytes(CMT_FILE_MAIN);
    EXPECT_GE(prev.size(), size_t(CMT_FILE_SIZE));
    EXPECT_EQ(size_t(CMT_FILE_SIZE), cur.size());
    Texts msgs = Msgs(prev), tail = Msgs(cur);
    Texts want(old, "before");
    want.push_back("crossing");
    ASSERT_GE(msgs.size(), want.size());
    EXPECT_EQ(want, Texts(msgs.begin(), msgs.begin() + want.size()));
    msgs.erase(msgs.begin(), msgs.begin() + want.size());
    msgs.insert(msgs.end(), tail.begin(), tail.end());
    EXPECT_EQ(size_t(WRITERS * THREADS * LINES), msgs.size());
    int next[WRITERS][THREADS] = {};
    for (auto &m : msgs) {
        int p = -1, t = -1, n = -1;
        ASSERT_EQ(3, sscanf(m.c_str(), "P%d t%d n%d", &p, &t, &n)) << m;
        ASSERT_TRUE(p >= 0 && p < WRITERS && t >= 0 && t < THREADS) << m;
        EXPECT_EQ(next[p][t]++, n) << m;
    }
}

/* ---- session ---- */

static HANDLE g_got;
static std::vector<uint8_t> g_gotData;
static int g_gotRow = -1;
template <int Row> static uint32_t WINAPI App(IwMsgDesc *msg)
{
    g_gotRow = Row;
    g_gotData.assign(msg->data, msg->data + msg->header->dataLen);
    SetEvent(g_got);
    return 0x8000;
}
static const IwRecvProc kLib[3] = { RecvDKC, RecvSUB, RecvAP }, kApp[3] = { App<0>, App<1>, App<2> };
static void ExpectHandlers(const IwRecvProc want[3])
{
    for (int k = 0; k < 3; k++)
        EXPECT_EQ(want[k], RecvHandlerTable[k][1]) << k;
}
/* The session's parameters (one record, refilled each call). */
static const ComenvParam *Param(uint8_t apId, uint16_t ddeFlag, const char *waitText = nullptr)
{
    static ComenvParam p;
    p = ComenvParam{ uintptr_t(GetModuleHandleA(nullptr)), 0x1234, apId, ddeFlag, 0, waitText };
    return &p;
}
/* Sends a DKC (kind 0) or SUB (kind 1) message to this process. */
static int32_t SendToSelf(uint16_t kind, const std::vector<uint8_t> &data)
{
    char dest[4] = "0D";
    BitmapMP t = {};
    return IwTransferTo(kind, &t, &t, 0x0383, dest, data.data(), uint32_t(data.size()), nullptr, 0);
}

TEST(Session, AttachDispatchDetach)
{
    Reset();
    g_got = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (int k = 0; k < 3; k++)
        RecvHandlerTable[k][1] = kApp[k];
    const std::string longText(150, 'w');
    ASSERT_EQ(CM_OK, CMSETComenv(Param(0x0D, 0, longText.c_str())));
    EXPECT_EQ(std::string(99, 'w'), g_comenv->waitText);
    ExpectHandlers(kLib);
    EXPECT_EQ(1, CMLB_INI(g_comenv, CM_MODE_QUERY));
    EXPECT_EQ(0, CMLB_INI(g_comenv, CM_MODE_ATTACH)) << "attached already";

    /* A DKC reply (8-byte prefix with the payload length, then the payload) and a SUB message
     * reach the application's handler of their kind unchanged. */
    const std::vector<uint8_t> sent[2] = { { 0, 1, 0, 0, 0, 0, 0, 4, 0x11, 0x83, 0xAA, 0xBB }, { 1, 1, 7 } };
    for (int kind : { 0, 1 }) {
        ASSERT_EQ(0, SendToSelf(kind, sent[kind]));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_got, 10000));
        EXPECT_EQ(sent[kind], g_gotData);
        EXPECT_EQ(kind, g_gotRow);
    }
    /* Length 0 in the prefix, and a copy shorter than the prefix: consumed with an error line. */
    ASSERT_EQ(0, SendToSelf(0, { 0, 1, 0, 0, 0, 0, 0, 0, 9 }));
    ASSERT_EQ(0, SendToSelf(0, { 0, 1, 0 }));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(g_got, 300));

    /* A second set only traces; a second delete too. */
    ASSERT_EQ(CM_OK, CMSETComenv(Param(0x0D, 0)));
    CMDELComend();
    CMDELComend();
    ExpectHandlers(kApp);
    EXPECT_EQ(nullptr, g_iw.recvThread);
    const Texts msgs = Msgs(), want = {
        "OPEN", "CMLB_INI:Mode=1,Org=0,DDE=0,Inst=", "CMLB_INI:Mode=0,Org=1,DDE=0,AP=0d", "OPEN",
        "CMLB_INI:Mode=1,Org=1,DDE=0,Inst=", "RecvDKC,Not Hit", "RecvSUB,Not Hit", "*Err:CW1001",
        "*Err:CW1001", "CMSETComenv_AlreadySet", "CMLB_INI:Mode=2,Org=1,DDE=0,AP=0d", "CLOSE", "OPEN",
        "CMLB_INI:Mode=1,Org=0,DDE=0,Inst=", "CMLB_INI:Mode=2,Org=1,DDE=0,AP=0d", "CLOSE",
        "CMDELComend_AlreadyDel",
    };
    ASSERT_EQ(want.size(), msgs.size());
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_EQ(0u, msgs[i].find(want[i])) << i << ": " << msgs[i];
    EXPECT_NE(std::string::npos, msgs[1].find(",Wnd=1234,AP=0d"));

    /* ddeFlag set: nothing is saved, replies find no application handler, nothing is restored. */
    memset(g_cmSavedTable, 0, sizeof g_cmSavedTable);
    ASSERT_EQ(CM_OK, CMSETComenv(Param(0x0D, 1)));
    ASSERT_EQ(0, SendToSelf(0, { 0, 1, 0, 0, 0, 0, 0, 2, 0x11, 0x83 }));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(g_got, 300));
    CMDELComend();
    ExpectHandlers(kLib);

    /* An id without an ApTable row attaches under its own digits. */
    EXPECT_EQ(CM_ERR_NO_AP, CMSETComenv(Param(0x42, 0)));
    EXPECT_EQ(std::string("42"), g_iw.ownApId);
    CMDELComend();
    const Texts last = Msgs();
    EXPECT_NE(last.end(), std::find(last.begin(), last.end(), "CMSETId_Error,ID=0042"));
    CloseHandle(g_got);
}
