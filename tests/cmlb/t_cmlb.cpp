/* The communication library: trace files (creation, lines, rotation, quiet mode, dumps, several
 * writers) and the session (attach and detach with the handler swap, receive dispatch). */
#include "cmlb/cmlb.h"
#include "svclib/mtpsvc.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

static std::string TraceFile() { return CMT_FILE_MAIN; }
static std::string PrevFile() { return CMT_FILE_MAIN_PREV; }

static int HeaderOffset(const std::string &file)
{
    if (file.size() < CMT_HEADER_LEN)
        return -1;
    return atoi(file.substr(CMT_SEQ_AT, 6).c_str());
}

/* The lines written so far: from 25 up to the header's offset. */
static std::vector<std::string> Lines(const std::string &file)
{
    std::vector<std::string> out;
    int end = HeaderOffset(file);
    size_t at = CMT_HEADER_LEN;
    while (end > 0 && at < size_t(end)) {
        size_t nl = file.find("\r\n", at);
        if (nl == std::string::npos || nl >= size_t(end))
            break;
        out.push_back(file.substr(at, nl - at));
        at = nl + 2;
    }
    return out;
}

/* Message text after the "$id:000:time$" head. */
static std::string Msg(const std::string &line)
{
    size_t second = line.find('$', 1);
    return second == std::string::npos ? "" : line.substr(second + 1);
}

static void Reset()
{
    DeleteFileA(TraceFile().c_str());
    DeleteFileA(PrevFile().c_str());
}

TEST(CommTrace, CreatesWritesAndRotates)
{
    Reset();
    CMTrace(CMT_LINE, "first %d", 1);
    std::string file = ReadFileBytes(TraceFile());
    ASSERT_EQ(size_t(CMT_FILE_SIZE), file.size());
    EXPECT_EQ(0u, file.find("CMLB_TRACE   Seq="));
    auto lines = Lines(file);
    ASSERT_EQ(1u, lines.size());
    /* Before the trace is opened the id text is empty. */
    ASSERT_EQ(26u, lines[0].size());
    EXPECT_EQ("$:000:", lines[0].substr(0, 6));
    EXPECT_EQ('$', lines[0][18]) << "twelve digits of time";
    EXPECT_EQ("first 1", Msg(lines[0]));
    EXPECT_EQ(CMT_HEADER_LEN + 26 + 2, unsigned(HeaderOffset(file)));
    EXPECT_EQ(std::string(CMT_FILE_SIZE - HeaderOffset(file), ' '), file.substr(HeaderOffset(file)));

    CMTrace(CMT_OPEN, "0D", 0);
    CMTrace(CMT_LINE_QUIET, "quiet-able");
    CMTrace(CMT_CLOSE);
    lines = Lines(ReadFileBytes(TraceFile()));
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("$0D:000:", lines[1].substr(0, 8));
    EXPECT_EQ("OPEN", Msg(lines[1]));
    EXPECT_EQ("quiet-able", Msg(lines[2]));
    EXPECT_EQ("CLOSE", Msg(lines[3]));

    /* A header at the rotation mark moves the file to the previous name. */
    WriteFileBytes(PrevFile(), "old previous");
    file = ReadFileBytes(TraceFile());
    file.replace(0, CMT_HEADER_LEN, "CMLB_TRACE   Seq=655360\r\n");
    WriteFileBytes(TraceFile(), file);
    CMTrace(CMT_LINE, "after rotation");
    std::string prev = ReadFileBytes(PrevFile());
    EXPECT_EQ(file, prev);
    lines = Lines(ReadFileBytes(TraceFile()));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("after rotation", Msg(lines[0]));
    EXPECT_EQ(size_t(CMT_FILE_SIZE), ReadFileBytes(TraceFile()).size());

    /* A header that does not read as an offset starts at the first line. */
    file = ReadFileBytes(TraceFile());
    file.replace(CMT_SEQ_AT, 6, "xx0012");
    WriteFileBytes(TraceFile(), file);
    CMTrace(CMT_LINE, "over the first");
    lines = Lines(ReadFileBytes(TraceFile()));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("over the first", Msg(lines[0]));

    /* A message longer than the line buffer is cut, not spilled. */
    std::string longText(400, 'x');
    CMTrace(CMT_LINE, "%s", longText.c_str());
    lines = Lines(ReadFileBytes(TraceFile()));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(std::string(CMT_LINE_MAX - 1, 'x'), Msg(lines[1]));
}

TEST(CommTrace, QuietModeAndDumps)
{
    Reset();
    uint8_t data[100];
    for (int i = 0; i < 100; i++)
        data[i] = uint8_t(i);
    CMTrace(CMT_DUMP_SHORT, data, uint32_t(100), "short");
    CMTrace(CMT_DUMP, data, uint32_t(100), "all");
    CMTrace(CMT_DUMP, data, uint32_t(0), "none");
    auto lines = Lines(ReadFileBytes(TraceFile()));
    std::vector<std::string> msgs;
    for (auto &l : lines)
        msgs.push_back(Msg(l));
    std::string hex;
    for (int i = 0; i < 100; i++) {
        char b[3];
        snprintf(b, sizeof b, "%02x", i);
        hex += b;
    }
    std::vector<std::string> want = {
        "DUMP_START(short):0x00000064 Byte", "00000000:" + hex.substr(0, 64), "00000020:" + hex.substr(64, 64),
        "DUMP_START(all):0x00000064 Byte", "00000000:" + hex.substr(0, 64), "00000020:" + hex.substr(64, 64),
        "00000040:" + hex.substr(128, 64), "00000060:" + hex.substr(192, 8),
        "DUMP_START(none):0x00000000 Byte",
    };
    EXPECT_EQ(want, msgs);

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
    lines = Lines(ReadFileBytes(TraceFile()));
    msgs.clear();
    for (size_t i = want.size(); i < lines.size(); i++)
        msgs.push_back(Msg(lines[i]));
    EXPECT_EQ((std::vector<std::string>{ "kept", "DUMP_START(kept):0x00000002 Byte", "00000000:0001" }), msgs);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(CMT_FILE_ALT)) << "the file pair changes only at open";
}

static int WriterChild(int argc, char **argv)
{
    int n = argc > 2 ? atoi(argv[2]) : 0;
    for (int i = 0; i < n; i++)
        CMTrace(CMT_LINE, "%s %04d", argv[1], i);
    return 0;
}
static ChildRole g_writer("writer", WriterChild);

TEST(CommTrace, WritersOfSeveralProcessesTakeTurns)
{
    Reset();
    HANDLE a = StartChild("writer", "A 150");
    HANDLE b = StartChild("writer", "B 150");
    EXPECT_EQ(0, WaitExit(a, 120000));
    EXPECT_EQ(0, WaitExit(b, 120000));
    auto lines = Lines(ReadFileBytes(TraceFile()));
    ASSERT_EQ(300u, lines.size());
    int next[2] = { 0, 0 };
    for (auto &l : lines) {
        std::string m = Msg(l);
        ASSERT_EQ(6u, m.size()) << l;
        int who = m[0] - 'A';
        ASSERT_TRUE(who == 0 || who == 1) << l;
        EXPECT_EQ(next[who]++, atoi(m.c_str() + 2)) << l;
    }
}

/* ---- session ---- */

static HANDLE g_got;
static std::vector<uint8_t> g_gotData;
static int g_gotKind = -1;

static uint32_t WINAPI AppDkc(IwMsgDesc *msg)
{
    g_gotKind = 0;
    g_gotData.assign(msg->data, msg->data + msg->header->dataLen);
    SetEvent(g_got);
    return 0x8000;
}

static uint32_t WINAPI AppSub(IwMsgDesc *msg)
{
    g_gotKind = msg->header->kind;
    g_gotData.assign(msg->data, msg->data + msg->header->dataLen);
    SetEvent(g_got);
    return 0x8000;
}

static std::vector<std::string> CommMsgs()
{
    std::vector<std::string> out;
    for (auto &l : Lines(ReadFileBytes(TraceFile())))
        out.push_back(Msg(l));
    return out;
}

static ComenvParam Param(uint8_t apId, uint16_t ddeFlag)
{
    ComenvParam p = {};
    p.hInstance = uintptr_t(GetModuleHandleA(nullptr));
    p.hwndOwner = 0x1234;
    p.apId = apId;
    p.ddeFlag = ddeFlag;
    return p;
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
    RecvHandlerTable[0][1] = AppDkc;
    RecvHandlerTable[1][1] = AppSub;
    RecvHandlerTable[2][1] = AppSub;

    ComenvParam p = Param(0x0D, 0);
    std::string longText(150, 'w');
    p.waitText = longText.c_str();
    ASSERT_EQ(CM_OK, CMSETComenv(&p));
    EXPECT_EQ(std::string(99, 'w'), g_comenv->waitText);
    EXPECT_EQ(RecvDKC, RecvHandlerTable[0][1]);
    EXPECT_EQ(RecvSUB, RecvHandlerTable[1][1]);
    EXPECT_EQ(RecvAP, RecvHandlerTable[2][1]);
    EXPECT_EQ(AppDkc, g_cmSavedTable[0][1]);
    EXPECT_EQ(1, CMLB_INI(g_comenv, CM_MODE_QUERY));
    EXPECT_EQ(0, CMLB_INI(g_comenv, CM_MODE_ATTACH)) << "attached already";
    EXPECT_NE(nullptr, g_iw.recvThread);

    /* A DKC reply: 8-byte prefix with the payload length, then the payload. */
    std::vector<uint8_t> reply = { 0, 1, 0, 0, 0, 0, 0, 4, 0x11, 0x83, 0xAA, 0xBB };
    ASSERT_EQ(0, SendToSelf(0, reply));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_got, 10000));
    EXPECT_EQ(reply, g_gotData) << "reaches the application unchanged";
    EXPECT_EQ(0, g_gotKind);

    std::vector<uint8_t> sub = { 1, 1, 7 };
    ASSERT_EQ(0, SendToSelf(1, sub));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_got, 10000));
    EXPECT_EQ(sub, g_gotData);
    EXPECT_EQ(1, g_gotKind);

    /* Length 0 in the prefix, and a copy shorter than the prefix: consumed with an error line. */
    ASSERT_EQ(0, SendToSelf(0, { 0, 1, 0, 0, 0, 0, 0, 0, 9 }));
    ASSERT_EQ(0, SendToSelf(0, { 0, 1, 0 }));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(g_got, 300));

    ComenvParam again = Param(0x0D, 0);
    ASSERT_EQ(CM_OK, CMSETComenv(&again));
    CMDELComend();
    CMDELComend();
    EXPECT_EQ(nullptr, g_comenv);
    EXPECT_EQ(AppDkc, RecvHandlerTable[0][1]) << "handlers back";
    EXPECT_EQ(AppSub, RecvHandlerTable[1][1]);
    EXPECT_EQ(nullptr, g_iw.recvThread);

    auto msgs = CommMsgs();
    std::vector<std::string> want = {
        "OPEN", "CMLB_INI:Mode=1,Org=0,DDE=0,Inst=" , "CMLB_INI:Mode=0,Org=1,DDE=0,AP=0d", "OPEN",
        "CMLB_INI:Mode=1,Org=1,DDE=0,Inst=", "RecvDKC,Not Hit", "RecvSUB,Not Hit", "*Err:CW1001",
        "*Err:CW1001", "CMSETComenv_AlreadySet", "CMLB_INI:Mode=2,Org=1,DDE=0,AP=0d", "CLOSE", "OPEN",
        "CMLB_INI:Mode=1,Org=0,DDE=0,Inst=", "CMLB_INI:Mode=2,Org=1,DDE=0,AP=0d", "CLOSE",
        "CMDELComend_AlreadyDel",
    };
    ASSERT_EQ(want.size(), msgs.size());
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_EQ(0u, msgs[i].find(want[i])) << i << ": " << msgs[i];
    EXPECT_NE(std::string::npos, msgs[1].find(",Wnd=1234,AP=0d"));
    CloseHandle(g_got);
}

TEST(Session, UnknownApAndKeptHandlers)
{
    Reset();
    g_got = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    RecvHandlerTable[0][1] = AppDkc;
    memset(g_cmSavedTable, 0, sizeof g_cmSavedTable);

    /* ddeFlag set: nothing is saved, replies find no application handler, nothing is restored. */
    ComenvParam p = Param(0x0D, 1);
    ASSERT_EQ(CM_OK, CMSETComenv(&p));
    ASSERT_EQ(0, SendToSelf(0, { 0, 1, 0, 0, 0, 0, 0, 2, 0x11, 0x83 }));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(g_got, 300));
    CMDELComend();
    EXPECT_EQ(RecvDKC, RecvHandlerTable[0][1]);

    RecvHandlerTable[0][1] = AppDkc;
    ComenvParam unknown = Param(0x42, 0);
    EXPECT_EQ(CM_ERR_NO_AP, CMSETComenv(&unknown));
    EXPECT_EQ(std::string("42"), g_iw.ownApId) << "attached under the id's own digits";
    CMDELComend();
    auto msgs = CommMsgs();
    EXPECT_NE(msgs.end(), std::find(msgs.begin(), msgs.end(), "CMSETId_Error,ID=0042"));
    CloseHandle(g_got);
}
