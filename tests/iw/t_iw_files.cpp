/* Named objects and their descriptor, the payload table, start and end of the messaging, the
 * history ring file and the failure record. */
#include "tests/iw/iwtest.h"
#include <gtest/gtest.h>
#include <sddl.h>
#include <string.h>
#include <algorithm>
#include <regex>

/* Stages of 10 s become 500 ms, room enough for a busy machine; the history filter (it reads
 * the description once per process) refuses function code 0x33. A crash ends a process of
 * this program instead of waiting in the debugger. */
static testing::Environment *const g_env =
    testing::AddGlobalTestEnvironment(new TestEnv("[Subsystem]\r\nHistoryReject=33\r\n", 20));
static const UINT g_errorMode = SetErrorMode(SEM_NOGPFAULTERRORBOX);

static std::string PidName(const char *kind)
{
    return std::string("Global\\t_iw_") + kind + "_" + std::to_string(GetCurrentProcessId());
}

/* The DACL of an object as SDDL text, read through (and closing) a handle of its own. */
static std::string Dacl(HANDLE h)
{
    char sd[512], *text = nullptr;
    DWORD need = 0;
    GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, sd, sizeof sd, &need);
    ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr);
    std::string s = text ? text : "(none)";
    LocalFree(text);
    CloseHandle(h);
    return s;
}

TEST(IwObjects, WorldDescriptorAndSecondCreation)
{
    HANDLE m = IwCreateMutex(FALSE, PidName("mutex").c_str());
    HANDLE e = IwCreateEvent(TRUE, FALSE, PidName("event").c_str());
    HANDLE f = IwCreateMapping(INVALID_HANDLE_VALUE, PAGE_READWRITE, 0, 100, PidName("map").c_str());
    ASSERT_TRUE(m && e && f);
    /* World is denied WRITE_DAC and WRITE_OWNER, then allowed the kind's rights (the mapping's
     * 0x10000004 reads LCGA). Our handles carry only the rights the layer uses: read the
     * descriptor through others. */
    EXPECT_EQ(Dacl(OpenMutexA(READ_CONTROL, FALSE, PidName("mutex").c_str())), "D:(D;;WDWO;;;WD)(A;;0x101f0001;;;WD)");
    EXPECT_EQ(Dacl(OpenEventA(READ_CONTROL, FALSE, PidName("event").c_str())), "D:(D;;WDWO;;;WD)(A;;0x101f0003;;;WD)");
    EXPECT_EQ(Dacl(OpenFileMappingA(READ_CONTROL, FALSE, PidName("map").c_str())), "D:(D;;WDWO;;;WD)(A;;LCGA;;;WD)");

    /* A second creation gives the first object: the mutex can be taken and given back, the
     * event signalled. A mapping opened for all access asks for the rights the deny ACE
     * withholds: one made under this descriptor cannot be had a second time, one made with the
     * default descriptor can. */
    HANDLE m2 = IwCreateMutex(FALSE, PidName("mutex").c_str());
    HANDLE e2 = IwCreateEvent(TRUE, TRUE, PidName("event").c_str());
    ASSERT_TRUE(m2 && e2);
    EXPECT_EQ(WaitForSingleObject(m2, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m2));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(e2));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(IwCreateMapping(INVALID_HANDLE_VALUE, PAGE_READWRITE, 0, 100, PidName("map").c_str()), nullptr);
    HANDLE plain = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100, PidName("plain").c_str());
    HANDLE f2 = IwCreateMapping(INVALID_HANDLE_VALUE, PAGE_READWRITE, 0, 100, PidName("plain").c_str());
    ASSERT_TRUE(f2);
    char *v2 = (char *)MapViewOfFile(f2, FILE_MAP_ALL_ACCESS, 0, 0, 0), *v1 = (char *)MapViewOfFile(plain, FILE_MAP_READ, 0, 0, 0);
    ASSERT_TRUE(v1 && v2);
    strcpy(v2, "seen");
    EXPECT_STREQ(v1, "seen");
    UnmapViewOfFile(v1);
    UnmapViewOfFile(v2);
    /* A name held by an object of another kind gives no handle at all. */
    EXPECT_EQ(IwCreateMutex(FALSE, PidName("event").c_str()), nullptr);
    for (HANDLE h : { m, e, f, m2, e2, f2, plain })
        CloseHandle(h);
}

TEST(IwObjects, PayloadTable)
{
    ASSERT_EQ(IwFillLayoutTable(), 0);
    uint8_t *copy = (uint8_t *)HeapAlloc(GetProcessHeap(), 0, 20), *small = (uint8_t *)HeapAlloc(GetProcessHeap(), 0, 3);
    uint32_t len = 99;
    EXPECT_EQ(IwGetData(1, 0, copy), copy + 3);
    EXPECT_EQ(IwGetData(2, 0, copy), copy);
    EXPECT_EQ(IwGetDataLen(3, 0, copy, &len), copy + 4);
    EXPECT_EQ(len, 16u);
    /* A copy shorter than its prefix has no payload; indices outside the table give none. */
    IwGetDataLen(0, 0, small, &len);
    EXPECT_EQ(len, 0u);
    len = 99;
    EXPECT_EQ(IwGetDataLen(4, 0, copy, &len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(IwGetData(0, 2, copy), nullptr);
    HeapFree(GetProcessHeap(), 0, copy);
    HeapFree(GetProcessHeap(), 0, small);
}

/* ---- history ---- */

static std::string History() { return ReadFileBytes(HIST_PATH); }
static std::string Record(const std::string &file, int n)
{
    size_t at = HIST_HEAD_LEN + HIST_REC_LEN * size_t(n - 1);
    return file.size() >= at + HIST_REC_LEN ? file.substr(at, HIST_REC_LEN) : std::string();
}
static bool IsTimeText(const std::string &t)
{
    static const std::regex time("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                 "[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n");
    return std::regex_match(t, time);
}
/* Text, its zero byte, spaces up to len. */
static std::string Padded(const std::string &text, size_t len) { return text + '\0' + std::string(len - text.size() - 1, ' '); }
static std::string Body(const std::string &text) { return "\n" + Padded(text, HIST_BODY_LEN - 1); }
static void PutHeader(const char head[8])
{
    HANDLE f = CreateFileA(HIST_PATH, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD put;
    WriteFile(f, head, 8, &put, nullptr);
    CloseHandle(f);
}

TEST(IwHistory, RingFile)
{
    DeleteFileA(HIST_PATH);
    BitmapMP t = {};
    for (int i = 0; i < 8; i++)
        t.bits[i] = uint8_t(i + 1);
    uint8_t big[300];
    std::string hex;
    for (int i = 0; i < 300; i++)
        big[i] = uint8_t(i);
    for (int i = 0; i < 256; i++)
        hex += "0123456789abcdef"[i >> 4], hex += "0123456789abcdef"[i & 15];
    ASSERT_EQ(HistTrn(&t, 0x1A5, big + 0xAB, 3), 0);
    std::string file = History();
    ASSERT_EQ(file.size(), 8u + 640u);
    EXPECT_EQ(file.substr(0, 8), std::string("0001\0   ", 8));
    std::string rec = Record(file, 1);
    EXPECT_EQ(rec.substr(0, 2), "\n\n");
    EXPECT_TRUE(IsTimeText(rec.substr(2, 25))) << rec.substr(2, 25);
    EXPECT_EQ(rec.substr(27), Padded("Proc = 0403020108070605 Func = a5", 37) + Body("abacad"));
    /* The filter is asked with the low byte of the function code. */
    ASSERT_EQ(HistTrn(&t, 0x0133, big, 3), 0);
    EXPECT_EQ(History(), file);
    /* Only the first 256 data bytes are shown. */
    ASSERT_EQ(HistTrn(&t, 2, big, 300), 0);
    EXPECT_EQ(Record(History(), 2).substr(64), Body(hex));

    /* The ring: 1999 → 2000 at the end, then 1 again over the oldest; the header always
     * names the record written last. */
    PutHeader("1999\0   ");
    ASSERT_EQ(HistEnd(), 0);
    file = History();
    EXPECT_EQ(file.size(), 8u + 2000u * 640u);
    EXPECT_EQ(file.substr(0, 8), std::string("2000\0   ", 8));
    EXPECT_TRUE(IsTimeText(Record(file, 2000).substr(2, 25)));
    ASSERT_EQ(HistTrn(&t, 7, big + 0xAB, 1), 0);
    file = History();
    EXPECT_EQ(file.size(), 8u + 2000u * 640u);
    EXPECT_EQ(file.substr(0, 8), std::string("0001\0   ", 8));
    EXPECT_EQ(Record(file, 1).substr(64, 4), std::string("\nab\0", 4));
    /* A header that is no number starts the ring again. */
    PutHeader("junk    ");
    ASSERT_EQ(HistEnd(), 0);
    EXPECT_EQ(History().substr(0, 5), std::string("0001\0", 5));
}

/* ---- failure record ---- */

static std::vector<std::string> FailureFiles()
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(FAIL_DIR "\\sb*", &fd);
    for (BOOL more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileA(h, &fd))
        names.push_back(fd.cFileName);
    FindClose(h);
    return names;
}
static std::string NewFailureFile(const std::vector<std::string> &before)
{
    for (auto &n : FailureFiles())
        if (std::find(before.begin(), before.end(), n) == before.end())
            return ReadFileBytes(std::string(FAIL_DIR "\\") + n);
    return std::string();
}

TEST(IwFailure, SerialAndRecord)
{
    DeleteFileA(FAIL_SEQ_PATH);
    EXPECT_EQ(NextFailureSerial(), 0xF000);
    EXPECT_EQ(GetPrivateProfileIntA("MTPFAILURE", "SerialNumber", 0, FAIL_SEQ_PATH), 61440u);
    EXPECT_EQ(NextFailureSerial(), 0xF001);
    WritePrivateProfileStringA("MTPFAILURE", "SerialNumber", "65535", FAIL_SEQ_PATH);
    EXPECT_EQ(NextFailureSerial(), 0xF000);
    WritePrivateProfileStringA("MTPFAILURE", "SerialNumber", "5", FAIL_SEQ_PATH);
    EXPECT_EQ(NextFailureSerial(), 6);
    EXPECT_EQ(FailureAppCode("WAIT_WINDOW"), 12);
    EXPECT_EQ(FailureAppCode("VESTRAI"), 255);

    std::vector<std::string> before = FailureFiles();
    WriteFailureRecord("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", 0x140, 0x1234, 0x89ABCDEF);
    std::string rec = NewFailureFile(before), want(140, '\0');
    ASSERT_EQ(rec.size(), 140u);
    const std::pair<int, uint8_t> bytes[] = {
        { 1, 0x52 }, { 2, 0x10 }, { 11, 0x80 }, { 16, 0xFF }, { 17, 0xFF }, { 18, 0x8C }, { 25, 0x80 },
        { 26, 0x20 }, { 34, 7 }, { 44, 0x10 }, { 50, 0x01 }, { 51, 0x8C }, { 53, 1 }, { 59, 0x80 },
        { 60, 0x12 }, { 61, 0x34 }, { 62, 0x89 }, { 63, 0xAB }, { 64, 0xCD }, { 65, 0xEF }, { 66, 0xFF },
        { 67, 0x8C }, { 71, 0x80 }, { 108, 0x40 }, { 109, 0x01 }, { 110, 0xEF }, { 111, 0xCD },
        { 112, 0xAB }, { 113, 0x89 },
    };
    for (auto &b : bytes)
        want[b.first] = char(b.second);
    want.replace(84, 24, "ABCDEFGHIJKLMNOPQRSTUVWX");
    EXPECT_EQ(rec, want);

    /* Without a temporary name the event code moves to 114, 60/61 say 0x0005, bit 7 of 62 goes
     * and the system error follows big-endian. */
    uint8_t r[FAIL_REC_LEN];
    FillFailureRecord(r, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", 0x140, 0x1234, 0x89ABCDEF, 7);
    MarkNoTempName(r, 0x01020304);
    want[60] = 0x00, want[61] = 0x05, want[62] = 0x09, want[114] = 0x12, want[115] = 0x34;
    EXPECT_EQ(std::string((char *)r, 140), want.replace(116, 4, "\x01\x02\x03\x04"));
}

/* ---- start and end ---- */

TEST(IwReceive, StartEndAndSecondEnd)
{
    /* An end before any start (the marks are still equal): 0, an end record, no failure record. */
    std::vector<std::string> before = FailureFiles();
    PutHeader("0041\0   ");
    EXPECT_EQ(iwend(), 0);
    EXPECT_EQ(History().substr(0, 4), "0042");
    EXPECT_EQ(FailureFiles(), before);

    /* RECV exists unsignalled before the start, as if a sender came first. */
    HANDLE recv = IwCreateEvent(TRUE, FALSE, "Global\\MTP_EVENT_3A_RECV");
    BeApId("0D");
    EXPECT_EQ(mtp1_iwini(0x1234, 0x5678, "100"), -1);
    EXPECT_EQ(mtp1_iwini(0x1234, 0x5678, nullptr), -1);
    EXPECT_STREQ(g_iw.ownApId, "0D");
    PutHeader("0010\0   ");
    size_t mark = TraceMark();
    ASSERT_EQ(mtp1_iwini(0x1234, 0x5678, "3a"), 0);
    EXPECT_STREQ(g_iw.ownApId, "3A");
    EXPECT_EQ(WaitForSingleObject(recv, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(Record(History(), 11).substr(27, 37), Padded("hInstance = 1234 hWnd = 5678", 37));

    EXPECT_EQ(iwend(), 0);
    EXPECT_EQ(g_iw.recvThread, nullptr);
    EXPECT_EQ(WaitForSingleObject(recv, 0), WAIT_TIMEOUT) << "RECV reset when iwend returns";
    std::string file = History();
    EXPECT_EQ(file.substr(0, 4), "0012");
    EXPECT_EQ(Record(file, 12).substr(27), Padded("", 37) + Body("htask = fffe"));
    const std::pair<const char *, int> lines[] = {
        { "Ap-ID(3A) mtp1_iwini Start !!", 9 }, { "Ap-ID(3A) _beginthread hwnd=00005678 (", 0x103A },
        { "Ap-ID(3A) iwend Start !! inst=00001234,work=00001234", 9 }, { "APID(3A) _endthread() !! ", 0x113A },
    };
    for (auto &x : lines)
        EXPECT_EQ(Count(mark, x.first, x.second), 1) << x.first;

    /* A second end: no end record, a failure record carrying the mismatch line. */
    before = FailureFiles();
    mark = TraceMark();
    EXPECT_EQ(iwend(), 0);
    EXPECT_EQ(History().substr(0, 4), "0012");
    EXPECT_EQ(Count(mark, "Ap-ID(3A) iwend skip !! ", 0x2B), 1);
    EXPECT_EQ(Count(mark, "APID(3A) (ffffffff),(1234)", 0x2B), 1);
    std::string rec = NewFailureFile(before);
    ASSERT_EQ(rec.size(), 140u);
    EXPECT_EQ(rec.substr(84, 26), "APID(3A) (ffffffff),(123\x40\x01");

    /* A start while the thread runs starts no second one; one iwend still stops it. */
    ASSERT_EQ(mtp1_iwini(0x1234, 0, "3A"), 0);
    mark = TraceMark();
    ASSERT_EQ(mtp1_iwini(0x1234, 0, "3A"), 0);
    EXPECT_EQ(Count(mark, "Ap-ID(3A) Skip _beginthread hwnd=00000000 ("), 1);
    EXPECT_EQ(iwend(), 0);
    EXPECT_EQ(g_iw.recvThread, nullptr);
    CloseHandle(recv);
}
