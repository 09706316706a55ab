/* The stand-in DLLs at their edges, as the program uses them: imports by ordinal, answers and
 * refusals under a test description (a process loads one, so this one is described from the
 * start), every trace line whole and once with many writers, the real message box in a child
 * without a description, LockStore's waits. */
#include "svclib/mtpsvc.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <thread>
#include <vector>

enum : int { CONC_LINES = 1500, CONC_TEXT_LEN = 180, CHILD_WAIT_MS = 60000 };
enum : uint16_t { UNTOUCHED = 0xBEEF, BOX_TEXTS_KIND = 0x0B0C };

static const char kDescription[] =
    "[Subsystem]\nTraceCalls=1\nMessageBox=TRACE\nHistoryReject=10, 2a-2C\nDkcModel=5\nMtpMode=2\n"
    "[DKU.1]\nModel=9\n[Drive.0000]\nPathB=1,5,3\n"
    "[Fail]\nGetPdevEquipStatus.0105=4321\nGetDkaEquipStatus=0777\nmtp_GetDkuLocation.0002=0888\n"
    "GetPdevPaths.0105=0999\nGetAllLdevStatus=AAA\n";
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new TestEnv(kDescription, 2));

static std::string Hex(uint32_t v, int width)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%0*X", width, unsigned(v));
    return buf;
}

/* ---- ordinals ---- */

static const void *Export(const char *dll, const char *nameOrOrdinal)
{
    return reinterpret_cast<const void *>(GetProcAddress(LoadLibraryA(dll), nameOrOrdinal));
}

/* The import address table entries the loader filled for this program's imports. */
#define IMPORT_SLOTS(X)                                                                                      \
    X(WriteTraceLog) X(mtp_GetMtpMode) X(mtp_GetDkcModel) X(GetDkuModel) X(GetDkaEquipStatus) X(GetHduEquipStatus) \
    X(GetPdevEquipStatus) X(GetAllLdevEquipStatus) X(GetAllLdevStatus) X(mtp_GetDkuLocation)                 \
    X(mtp_GetHduBoxLocation) X(mtp_GetPdevLocation) X(GetPdevByLocation) X(GetPdevPaths) X(GetMpOfPath)      \
    X(LsOpenFile) X(LsCloseFile) X(LsDeleteFile) X(LsRenameFile) X(IwDefaultEntry) X(IwHistoryFilter)        \
    X(mtp_MessageBox) X(mtp_ClearBitmapMP)
#define IMPORT_SLOT(name) extern "C" const void *const __imp_##name;
IMPORT_SLOTS(IMPORT_SLOT)

TEST(Svclib, ImportsByOrdinalOnlyAndSmallEntries)
{
    const struct { const char *dll; int ordinal; const void *fn; } table[] = {
        { "MTPCMN32.dll", 97, __imp_WriteTraceLog }, { "MTPCMN32.dll", 95, __imp_mtp_GetMtpMode }, { "MTPCMN32.dll", 2518, __imp_mtp_GetDkcModel },
        { "MTPCMN32.dll", 9101, __imp_GetDkuModel }, { "MTPCMN32.dll", 1201, __imp_GetDkaEquipStatus }, { "MTPCMN32.dll", 1210, __imp_GetHduEquipStatus },
        { "MTPCMN32.dll", 1225, __imp_GetPdevEquipStatus }, { "MTPCMN32.dll", 1276, __imp_GetAllLdevEquipStatus },
        { "MTPCMN32.dll", 2217, __imp_GetAllLdevStatus }, { "MTPCMN32.dll", 1845, __imp_mtp_GetDkuLocation },
        { "MTPCMN32.dll", 1846, __imp_mtp_GetHduBoxLocation }, { "MTPCMN32.dll", 1848, __imp_mtp_GetPdevLocation },
        { "MTPCMN32.dll", 1902, __imp_GetPdevByLocation }, { "MTPCMN32.dll", 1406, __imp_GetPdevPaths }, { "MTPCMN32.dll", 2003, __imp_GetMpOfPath },
        { "LockStore.dll", 100, __imp_LsOpenFile }, { "LockStore.dll", 102, __imp_LsCloseFile }, { "LockStore.dll", 103, __imp_LsDeleteFile },
        { "LockStore.dll", 107, __imp_LsRenameFile }, { "mtp_iw32.dll", 5, __imp_IwDefaultEntry }, { "mtp_iw32.dll", 14, __imp_IwHistoryFilter },
    };
    for (const auto &e : table)
        EXPECT_EQ(Export(e.dll, MAKEINTRESOURCEA(e.ordinal)), e.fn) << e.dll << " @" << e.ordinal;
    /* Ordinal entries carry no names; the two named ones do. */
    EXPECT_EQ(Export("MTPCMN32.dll", "WriteTraceLog"), nullptr);
    EXPECT_EQ(Export("LockStore.dll", "LsOpenFile"), nullptr);
    EXPECT_EQ(Export("MTPCMN32.dll", MAKEINTRESOURCEA(96)), nullptr);
    EXPECT_EQ(Export("MTPMSG32.dll", "mtp_MessageBox"), __imp_mtp_MessageBox);
    EXPECT_EQ(Export("mtp_dd32.dll", "mtp_ClearBitmapMP"), __imp_mtp_ClearBitmapMP);

    /* The placeholder reports a message consumed; a bitmap record is 34 bytes. */
    EXPECT_EQ(IwDefaultEntry(nullptr), 0x8000u);
    std::vector<uint8_t> rec(36, 0xAA), want(34, 0);
    mtp_ClearBitmapMP(rec.data());
    want.resize(36, 0xAA);
    EXPECT_EQ(rec, want);
    mtp_ClearBitmapMP(nullptr);
}

/* ---- queries under the description ---- */

static uint16_t v, ec;
static char buf[SVC_LOCATION_LEN];
static size_t g_mark;

static void Fresh()
{
    v = UNTOUCHED, ec = 0;
    strcpy(buf, "untouched");
    g_mark = TraceMark();
}

/* The call's trace lines, then "=" and its answer, or "EC" and its code ("touched" when it
 * failed but changed an output). */
static std::string Result(BOOL ok, bool text)
{
    std::string s;
    for (const std::string &t : TraceTexts(g_mark, GetCurrentProcessId(), 0x0100))
        s += t + " | ";
    if (ok)
        return s + "=" + (text ? std::string(buf) : Hex(v, 4));
    return s + "EC " + Hex(ec, 4) + (v == UNTOUCHED && !strcmp(buf, "untouched") ? "" : " touched");
}
#define ASK(call) (Fresh(), Result(call, false))
#define ASK_TEXT(call) (Fresh(), Result(call, true))

TEST(Svclib, QueriesAnswerRefuseAndTrace)
{
    const std::pair<std::string, const char *> cases[] = {
        { ASK(GetPdevEquipStatus(0x0105, 0, &v, &ec)), "svc GetPdevEquipStatus(0105) -> 0 EC=4321 | EC 4321" },
        { ASK(GetPdevEquipStatus(0x0106, 0, &v, &ec)), "svc GetPdevEquipStatus(0106) -> 1 EC=0000 | =1200" },
        { ASK(GetPdevEquipStatus(0x0500, 0, &v, &ec)), "svc GetPdevEquipStatus(0500) -> 0 EC=1101 | EC 1101" },
        { ASK(GetDkaEquipStatus(0, 1, "c:\\cfgdir", &v, &ec)), "svc GetDkaEquipStatus(0001, c:\\cfgdir) -> 0 EC=0777 | EC 0777" },
        { ASK(GetDkuModel(1, &v, 0, &ec)), "svc GetDkuModel(0001) -> 1 EC=0000 | =0009" },
        { ASK(GetHduEquipStatus(3, 0, &v, &ec)), "svc GetHduEquipStatus(0003) -> 1 EC=0000 | =1201" },
        { ASK(mtp_GetDkcModel(&v, 0, &ec)), "svc mtp_GetDkcModel() -> 1 EC=0000 | =0005" },
        { ASK(mtp_GetMtpMode(&v, &ec)), "svc mtp_GetMtpMode() -> 1 EC=0000 | =0002" },
        { ASK(GetPdevByLocation(1, 0x00010005, &v, &ec)), "svc GetPdevByLocation(0001, 00010005) -> 1 EC=0000 | =0905" },
        { ASK(GetPdevByLocation(0, 0x00000020, &v, &ec)), "svc GetPdevByLocation(0000, 00000020) -> 0 EC=1101 | EC 1101" },
        { ASK(GetMpOfPath(1, 2, 3, &v, &ec)), "svc GetMpOfPath(0001, 0002, 0003) -> 1 EC=0000 | =001B" },
        { ASK(GetMpOfPath(2, 0, 0, &v, &ec)), "svc GetMpOfPath(0002, 0000, 0000) -> 0 EC=1001 | EC 1001" },
        /* Location texts are cut to the buffer; no buffer fails and writes nothing. */
        { ASK_TEXT(mtp_GetDkuLocation(0, 0, buf, 16, &ec)), "svc mtp_GetDkuLocation(0000) -> 1 EC=0000 | =DKU-R0" },
        { ASK_TEXT(mtp_GetDkuLocation(2, 0, buf, 16, &ec)), "svc mtp_GetDkuLocation(0002) -> 0 EC=0888 | EC 0888" },
        { ASK_TEXT(mtp_GetDkuLocation(0, 0, buf, 1, &ec)), "svc mtp_GetDkuLocation(0000) -> 1 EC=0000 | =" },
        { ASK_TEXT(mtp_GetHduBoxLocation(1, 1, 0, buf, 16, &ec)), "svc mtp_GetHduBoxLocation(0001, 0001) -> 1 EC=0000 | =HDU-11" },
        { ASK_TEXT(mtp_GetHduBoxLocation(0, 0, 0, buf, -5, &ec)), "svc mtp_GetHduBoxLocation(0000, 0000) -> 0 EC=1001 | EC 1001" },
        { ASK_TEXT(mtp_GetPdevLocation(0x0105, 0, buf, 4, &ec)), "svc mtp_GetPdevLocation(0105) -> 1 EC=0000 | =HDD" },
        { ASK_TEXT(mtp_GetPdevLocation(0x0105, 0, buf, 0, &ec)), "svc mtp_GetPdevLocation(0105) -> 0 EC=1001 | EC 1001" },
        { ASK_TEXT(mtp_GetPdevLocation(0x010C, 0, buf, 16, &ec)), "svc mtp_GetPdevLocation(010C) -> 0 EC=1201 | EC 1201" },
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.first, c.second);

    /* Paths come back as triples with x and y 0; a refusal touches none. */
    uint16_t p[7] = { 9, 9, 9, 9, 9, 9, 9 };
    uint32_t y = 9;
    EXPECT_FALSE(GetPdevPaths(0x0105, nullptr, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6], &y, &ec));
    EXPECT_EQ(std::vector<uint32_t>(p, p + 7), std::vector<uint32_t>(7, 9)) << y;
    ASSERT_TRUE(GetPdevPaths(0x0000, nullptr, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6], &y, &ec));
    EXPECT_EQ(std::vector<uint32_t>(p, p + 7), std::vector<uint32_t>({ 0, 0, 0, 0, 1, 5, 3 })) << y;

    /* LDEVs: bit 0x80000000 >> n % 32 of map[g][n / 32]; the ignored argument stays as it was. */
    static uint32_t map[256][8];
    static uint16_t status[256][256];
    uint32_t ignored = 7;
    status[7][7] = 0x7777;
    EXPECT_FALSE(GetAllLdevStatus(status, 0, &ec));
    EXPECT_EQ(ec * 0x10000u + status[7][7], 0x0AAA7777u);
    ASSERT_TRUE(GetAllLdevEquipStatus(map, &ignored, 0, &ec));
    EXPECT_EQ(std::vector<uint32_t>({ map[0][0], map[0][1], map[0][2], ignored }),
              std::vector<uint32_t>({ 0xFFFFFFFF, 0xFFFFFFFF, 0, 7 }));

    for (int f : { 0x0F, 0x10, 0x11, 0x29, 0x2A, 0x2C, 0x2D })
        EXPECT_EQ(IwHistoryFilter(uint8_t(f)) != 0, f != 0x10 && (f < 0x2A || f > 0x2C)) << f;
    Fresh();
    EXPECT_EQ(Result(mtp_MessageBox(nullptr, 12, 2631, 20173, 0, 16, "DC3-01") == IDOK, false),
              "mtp_MessageBox [DC3-01] | =BEEF");
}

/* Without a description the box is shown: its texts go to the trace, its result is the exit code. */
static int BoxChild(int, char **)
{
    DialogPresser press(IDOK);
    int r = mtp_MessageBox(nullptr, 12, 2631, 20173, 0, 16, "DC3-01");
    for (const std::string &t : press.texts)
        WriteTraceLog(0, BOX_TEXTS_KIND, t.c_str());
    return r;
}
static ChildRole g_box("box", BoxChild);

TEST(Svclib, MessageBoxShowsLocationCode)
{
    size_t mark = TraceMark();
    UseDescription(nullptr);
    HANDLE child = StartChild("box", "");
    UseDescription(kDescription);
    EXPECT_EQ(WaitExit(child, CHILD_WAIT_MS), IDOK);
    EXPECT_EQ(TraceTexts(mark, 0, BOX_TEXTS_KIND),
              std::vector<std::string>{ "MTP Message||OK|Maintenance processor error.\\nLocation code : DC3-01|" });
}

/* ---- the trace log ---- */

static std::string Stamp(const SYSTEMTIME &t)
{
    char s[32];
    snprintf(s, sizeof s, "%04u/%02u/%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
             t.wMilliseconds);
    return s;
}

TEST(Svclib, TraceLineFormat)
{
    const std::string longText = std::string(5000, 'L');
    const size_t mark = TraceMark();
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    ASSERT_TRUE(WriteTraceLog(0, 0x0ABC, "one\r\ntwo\nthree"));
    GetLocalTime(&after);
    ASSERT_TRUE(WriteTraceLog(0, 0x0001, nullptr));
    ASSERT_TRUE(WriteTraceLog(0, 0xFFFF, longText.c_str()));
    EXPECT_FALSE(WriteTraceLog(0, 0x0002, std::string(70000, 'X').c_str()));

    /* Local time to the millisecond, process and kind in fixed columns; CR and LF escaped. */
    const std::string bytes = ReadFileBytes(TestDir() + "trace.log").substr(mark), stamp = bytes.substr(0, 23);
    const size_t next = bytes.find('\n') + 1;
    EXPECT_EQ(bytes.substr(23, next - 23), " " + Hex(GetCurrentProcessId(), 8) + " 0ABC one\\r\\ntwo\\nthree\r\n");
    EXPECT_TRUE(Stamp(before) <= stamp && stamp <= Stamp(after)) << stamp;
    EXPECT_EQ(bytes.substr(next + 33, 7), "0001 \r\n");
    std::vector<std::string> texts = TraceTexts(mark);
    EXPECT_EQ(texts, std::vector<std::string>({ "one\\r\\ntwo\\nthree", "", longText }));
}

/* Writes count lines "conc TAG W<id> <seq> <fill>" once the gate opens. */
static int WriteConcurrent(const char *tag, int id, int count, HANDLE gate)
{
    if (WaitForSingleObject(gate, CHILD_WAIT_MS) != WAIT_OBJECT_0)
        return 2;
    for (int i = 0; i < count; i++) {
        std::string text = "conc " + std::string(tag) + " W" + std::to_string(id) + " " + std::to_string(i) + " " +
                           std::string(CONC_TEXT_LEN, char('a' + id));
        if (!WriteTraceLog(0, 0x0C0C, text.c_str()))
            return 3;
    }
    return 0;
}

/* child writer TAG ID COUNT GATE */
static int WriterChild(int argc, char **argv)
{
    HANDLE gate = argc < 5 ? nullptr : OpenEventA(SYNCHRONIZE, FALSE, argv[4]);
    return gate ? WriteConcurrent(argv[1], atoi(argv[2]), atoi(argv[3]), gate) : 4;
}
static ChildRole g_writer("writer", WriterChild);

TEST(Svclib, ConcurrentWritersKeepEveryLineWhole)
{
    const int writers = 5;   /* 2 threads here, 3 children */
    const std::string tag = Hex(GetCurrentProcessId(), 8), gateName = "vt_gate_" + tag;
    const size_t mark = TraceMark();
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, gateName.c_str());
    std::vector<HANDLE> children;
    for (int id = 2; id < writers; id++)
        children.push_back(StartChild("writer", tag + " " + std::to_string(id) + " " + std::to_string(CONC_LINES) +
                                                    " " + gateName));
    int rc[2] = { -1, -1 };
    std::thread t0([&] { rc[0] = WriteConcurrent(tag.c_str(), 0, CONC_LINES, gate); });
    std::thread t1([&] { rc[1] = WriteConcurrent(tag.c_str(), 1, CONC_LINES, gate); });
    SetEvent(gate);
    t0.join();
    t1.join();
    for (HANDLE c : children)
        EXPECT_EQ(WaitExit(c, CHILD_WAIT_MS), 0);
    CloseHandle(gate);
    EXPECT_EQ(rc[0] | rc[1], 0);

    /* Every line whole and each writer's lines in order; none lost. */
    int next[writers] = {}, bad = 0;
    for (const TraceLine &l : TraceSince(mark)) {
        int id = -1, seq = -1, n = 0;
        bool whole = l.kind == 0x0C0C && sscanf(l.text.c_str(), ("conc " + tag + " W%d %d %n").c_str(), &id, &seq, &n) == 2 &&
                     id >= 0 && id < writers && l.text.substr(size_t(n)) == std::string(CONC_TEXT_LEN, char('a' + id));
        if (whole && seq == next[id])
            next[id]++;
        else if (bad++ < 5)
            ADD_FAILURE() << "torn or out of order: " << l.text;
    }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(std::vector<int>(next, next + writers), std::vector<int>(writers, CONC_LINES));
}

/* ---- LockStore ---- */

struct OpenResult { std::string path; HANDLE h; DWORD err; ULONGLONG ms; };

static DWORD WINAPI OpenHeld(void *arg)
{
    OpenResult *r = static_cast<OpenResult *>(arg);
    ULONGLONG t0 = GetTickCount64();
    r->h = LsOpenFile(r->path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    r->err = GetLastError();
    r->ms = GetTickCount64() - t0;
    return 0;
}

TEST(Svclib, LockStoreWaitsForAnExclusiveHolder)
{
    const std::string path = TestDir() + "comtrace.dat", prev = TestDir() + "comtrace.old";
    const ULONGLONG waitMs = 3000 / 2;   /* MTP_TIME_DIVISOR=2 */

    /* Released while waiting: the open succeeds. */
    HANDLE held = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    OpenResult r = { path, nullptr, 0, 0 }, never = r, missing = { TestDir() + "no\\such.dat", nullptr, 0, 0 };
    HANDLE th = CreateThread(nullptr, 0, OpenHeld, &r, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(th, 100), DWORD(WAIT_TIMEOUT));
    CloseHandle(held);
    ASSERT_EQ(WaitForSingleObject(th, 10000), WAIT_OBJECT_0);
    CloseHandle(th);
    EXPECT_LT(r.ms, waitMs);
    EXPECT_TRUE(LsCloseFile(r.h)) << r.err;
    EXPECT_FALSE(LsCloseFile(INVALID_HANDLE_VALUE));

    /* Never released: it gives up after the wait with the sharing violation; other errors at once. */
    held = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    OpenHeld(&never);
    CloseHandle(held);
    OpenHeld(&missing);
    EXPECT_EQ(never.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(never.err, DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_GE(never.ms + 20, waitMs);   /* tick granularity */
    EXPECT_EQ(missing.err, DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_LT(missing.ms, waitMs / 2);

    /* Rename replaces the previous file; rename and delete of a missing file fail. */
    ASSERT_TRUE(WriteFileBytes(prev, "previous"));
    EXPECT_TRUE(LsRenameFile(path.c_str(), prev.c_str()));
    EXPECT_EQ(ReadFileBytes(prev), "");
    EXPECT_FALSE(LsRenameFile(path.c_str(), prev.c_str()));
    EXPECT_TRUE(LsDeleteFile(prev.c_str()));
    EXPECT_FALSE(LsDeleteFile(prev.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}
