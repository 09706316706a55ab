/* The stand-in DLLs as the program uses them: imported by ordinal, answering from the built-in
 * description in this process (its MTP_SUBSYSTEM_INI names no file), and from a test
 * description in a child process, since a process loads its description only once. */
#include "svclib/mtpsvc.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <thread>
#include <vector>

enum : int { HEAD_LEN = 38, CONC_LINES = 1500, CONC_TEXT_LEN = 180, CHILD_WAIT_MS = 60000 };

/* This process and its children write their own trace log, find no description (the built-in
 * default) and run at a time divisor of 2. */
static std::string g_filesDir, g_log;

class SvclibEnv : public testing::Environment {
public:
    void SetUp() override
    {
        g_filesDir = TempDir();
        g_log = g_filesDir + "mtptrace.log";
        SetEnv("MTP_TRACE_LOG", g_log.c_str());
        SetEnv("MTP_SUBSYSTEM_INI", (g_filesDir + "absent.ini").c_str());
        SetEnv("MTP_TIME_DIVISOR", "2");
    }
};
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new SvclibEnv);

static std::string Hex(uint32_t v, int width)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%0*X", width, unsigned(v));
    return buf;
}

/* Lines of the trace log written by process pid whose text (from column 38) is text. */
static int CountLines(const std::vector<std::string> &lines, DWORD pid, const std::string &text)
{
    int n = 0;
    for (auto &l : lines)
        n += l.size() >= HEAD_LEN && l.compare(24, 8, Hex(pid, 8)) == 0 && l.substr(HEAD_LEN) == text;
    return n;
}

/* ---- ordinals ---- */

/* The import address table entries the loader filled for this program's ordinal imports. */
#define IMPORT_SLOT(name) extern "C" const void *const __imp_##name;
IMPORT_SLOT(WriteTraceLog) IMPORT_SLOT(mtp_GetMtpMode) IMPORT_SLOT(mtp_GetDkcModel) IMPORT_SLOT(GetDkuModel)
IMPORT_SLOT(GetDkaEquipStatus) IMPORT_SLOT(GetHduEquipStatus) IMPORT_SLOT(GetPdevEquipStatus)
IMPORT_SLOT(GetAllLdevEquipStatus) IMPORT_SLOT(GetAllLdevStatus) IMPORT_SLOT(mtp_GetDkuLocation)
IMPORT_SLOT(mtp_GetHduBoxLocation) IMPORT_SLOT(mtp_GetPdevLocation) IMPORT_SLOT(GetPdevByLocation)
IMPORT_SLOT(GetPdevPaths) IMPORT_SLOT(GetMpOfPath) IMPORT_SLOT(LsOpenFile) IMPORT_SLOT(LsCloseFile)
IMPORT_SLOT(LsDeleteFile) IMPORT_SLOT(LsRenameFile) IMPORT_SLOT(IwDefaultEntry) IMPORT_SLOT(IwHistoryFilter)
IMPORT_SLOT(mtp_MessageBox) IMPORT_SLOT(mtp_ClearBitmapMP)

struct OrdinalExport { const char *dll; int ordinal; const void *const *slot; };

static const void *Export(const char *dll, const char *nameOrOrdinal)
{
    return reinterpret_cast<const void *>(GetProcAddress(LoadLibraryA(dll), nameOrOrdinal));
}

TEST(Svclib, ImportsResolveByOrdinalOnly)
{
    const OrdinalExport table[] = {
        { "MTPCMN32.dll", 97, &__imp_WriteTraceLog },           { "MTPCMN32.dll", 95, &__imp_mtp_GetMtpMode },
        { "MTPCMN32.dll", 2518, &__imp_mtp_GetDkcModel },       { "MTPCMN32.dll", 9101, &__imp_GetDkuModel },
        { "MTPCMN32.dll", 1201, &__imp_GetDkaEquipStatus },     { "MTPCMN32.dll", 1210, &__imp_GetHduEquipStatus },
        { "MTPCMN32.dll", 1225, &__imp_GetPdevEquipStatus },    { "MTPCMN32.dll", 1276, &__imp_GetAllLdevEquipStatus },
        { "MTPCMN32.dll", 2217, &__imp_GetAllLdevStatus },      { "MTPCMN32.dll", 1845, &__imp_mtp_GetDkuLocation },
        { "MTPCMN32.dll", 1846, &__imp_mtp_GetHduBoxLocation }, { "MTPCMN32.dll", 1848, &__imp_mtp_GetPdevLocation },
        { "MTPCMN32.dll", 1902, &__imp_GetPdevByLocation },     { "MTPCMN32.dll", 1406, &__imp_GetPdevPaths },
        { "MTPCMN32.dll", 2003, &__imp_GetMpOfPath },           { "LockStore.dll", 100, &__imp_LsOpenFile },
        { "LockStore.dll", 102, &__imp_LsCloseFile },           { "LockStore.dll", 103, &__imp_LsDeleteFile },
        { "LockStore.dll", 107, &__imp_LsRenameFile },          { "mtp_iw32.dll", 5, &__imp_IwDefaultEntry },
        { "mtp_iw32.dll", 14, &__imp_IwHistoryFilter },
    };
    for (const OrdinalExport &e : table) {
        const void *fn = Export(e.dll, MAKEINTRESOURCEA(e.ordinal));
        EXPECT_NE(fn, nullptr) << e.dll << " @" << e.ordinal;
        EXPECT_EQ(fn, *e.slot) << e.dll << " @" << e.ordinal;
    }
    /* Ordinal entries carry no names; the two named ones do. */
    EXPECT_EQ(Export("MTPCMN32.dll", "WriteTraceLog"), nullptr);
    EXPECT_EQ(Export("LockStore.dll", "LsOpenFile"), nullptr);
    EXPECT_EQ(Export("MTPCMN32.dll", MAKEINTRESOURCEA(96)), nullptr);
    EXPECT_EQ(Export("MTPMSG32.dll", "mtp_MessageBox"), __imp_mtp_MessageBox);
    EXPECT_EQ(Export("mtp_dd32.dll", "mtp_ClearBitmapMP"), __imp_mtp_ClearBitmapMP);
}

/* ---- the built-in description ---- */

TEST(Svclib, DefaultDescriptionAnswers)
{
    uint16_t v = 0, ec = 0;
    char buf[SVC_LOCATION_LEN];

    ASSERT_TRUE(mtp_GetDkcModel(&v, 0, &ec));
    EXPECT_EQ(v, 4);
    ASSERT_TRUE(mtp_GetMtpMode(&v, &ec));
    EXPECT_EQ(v, 1);
    const uint16_t dka[] = { 0x1200, 0x1200, 0x1201, 0x1200, 0x1201 };
    for (uint16_t i = 0; i < 5; i++) {
        ASSERT_TRUE(GetDkaEquipStatus(0, i, "c:\\trn600\\tmp\\config", &v, &ec));
        EXPECT_EQ(v, dka[i]) << "DKA " << i;
    }

    /* DKUs 3-7 are not equipped: their queries fail and leave the outputs as they were. */
    const uint16_t model[] = { 7, 5, 7 };
    const char *dkuLoc[] = { "DKU-R0", "DKU-L1", "DKU-R1" };
    for (uint16_t u = 0; u < 8; u++) {
        bool eq = u < 3;
        ASSERT_TRUE(GetHduEquipStatus(u, 0, &v, &ec));
        EXPECT_EQ(v, eq ? 0x1200 : 0x1201) << "DKU " << u;
        strcpy(buf, "untouched");
        v = 0xBEEF;
        EXPECT_EQ(GetDkuModel(u, &v, 0, &ec), eq);
        EXPECT_EQ(v, eq ? model[u] : 0xBEEF);
        ec = 0;
        EXPECT_EQ(mtp_GetDkuLocation(u, 0, buf, sizeof buf, &ec), eq);
        EXPECT_STREQ(buf, eq ? dkuLoc[u] : "untouched");
        EXPECT_TRUE(eq || ec == 0x1201) << ec;
    }

    /* Boxes DKU0 0-3, DKU1 0-1, DKU2 0; twelve drives each, PDEV = unit << 8 | position. */
    const int boxes[] = { 4, 2, 1, 0, 0, 0, 0, 0 };
    for (uint16_t u = 0; u < 8; u++)
        for (uint16_t b = 0; b < 8; b++) {
            bool exists = b < boxes[u];
            EXPECT_EQ(mtp_GetHduBoxLocation(u, b, 0, buf, sizeof buf, &ec), exists) << u << "." << b;
            EXPECT_TRUE(!exists || buf == "HDU-" + std::to_string(u) + std::to_string(b)) << buf;
            for (uint16_t h : { 0, 11, 12, 31, 32 }) {
                uint16_t want = uint16_t((u * 8 + b) << 8 | h), pdev = 0xBEEF;
                BOOL found = GetPdevByLocation(u, uint32_t(b) << 16 | h, &pdev, &ec);
                EXPECT_EQ(found, exists && h < 32) << u << "." << b << "." << h;
                EXPECT_EQ(found ? pdev : ec, found ? want : uint16_t(SVC_EC_NO_DRIVE));
                if (h == 32)
                    continue;
                v = 0xBEEF;
                EXPECT_EQ(GetPdevEquipStatus(want, 0, &v, &ec), exists);
                EXPECT_EQ(v, !exists ? 0xBEEF : h < 12 ? 0x1200 : 0x1201) << Hex(want, 4);
                EXPECT_TRUE(exists || ec == SVC_EC_NO_DRIVE) << ec;
            }
        }

    ASSERT_TRUE(mtp_GetPdevLocation(0x0105, 0, buf, sizeof buf, &ec));
    EXPECT_STREQ(buf, "HDD01-05");
    ASSERT_TRUE(mtp_GetPdevLocation(0x100B, 0, buf, sizeof buf, &ec));
    EXPECT_STREQ(buf, "HDD20-0B");
    /* Short buffers get what fits; no buffer is a failure that writes nothing. */
    ASSERT_TRUE(mtp_GetPdevLocation(0x0105, 0, buf, 4, &ec));
    EXPECT_STREQ(buf, "HDD");
    strcpy(buf, "untouched");
    ASSERT_TRUE(mtp_GetDkuLocation(0, 0, buf, 1, &ec));
    EXPECT_STREQ(buf, "");
    strcpy(buf, "untouched");
    ec = 0;
    EXPECT_FALSE(mtp_GetPdevLocation(0x0105, 0, buf, 0, &ec));
    EXPECT_FALSE(mtp_GetHduBoxLocation(0, 0, 0, buf, -5, &ec));
    EXPECT_STREQ(buf, "untouched");
    EXPECT_NE(ec, 0);

    /* Paths A and B of a drive reach different MPs. */
    uint16_t a1 = 9, a2 = 9, a3 = 9, x = 9, b1 = 9, b2 = 9, b3 = 9, mpA = 0, mpB = 0;
    uint32_t y = 9;
    ASSERT_TRUE(GetPdevPaths(0x0905, nullptr, &a1, &a2, &a3, &x, &b1, &b2, &b3, &y, &ec));
    EXPECT_EQ(std::vector<int>({ a1, a2, a3, x, b1, b2, b3, int(y) }),
              std::vector<int>({ 0, 1, 1, 0, 1, 1, 1, 0 }));
    ASSERT_TRUE(GetMpOfPath(a1, a2, a3, &mpA, &ec));
    ASSERT_TRUE(GetMpOfPath(b1, b2, b3, &mpB, &ec));
    EXPECT_EQ(mpA, 5);
    EXPECT_EQ(mpB, 21);
    EXPECT_FALSE(GetMpOfPath(2, 0, 0, &mpA, &ec));
    EXPECT_FALSE(GetPdevPaths(0x0500, nullptr, &a1, &a2, &a3, &x, &b1, &b2, &b3, &y, &ec));
    EXPECT_EQ(ec, SVC_EC_NO_DRIVE);

    /* LDEVs 0-63 of group 0, all blocked. */
    static uint32_t map[256][8];
    static uint16_t status[256][256];
    memset(map, 0xA5, sizeof map);
    ASSERT_TRUE(GetAllLdevEquipStatus(map, nullptr, 0, &ec));
    ASSERT_TRUE(GetAllLdevStatus(status, 0, &ec));
    for (int g = 0; g < 256; g++)
        for (int n = 0; n < 256; n++) {
            bool on = map[g][n / 32] & (0x80000000u >> (n % 32));
            ASSERT_EQ(on, g == 0 && n < 64) << g << ":" << n;
            ASSERT_EQ(status[g][n], on ? 0x2002 : 0) << g << ":" << n;
        }

    /* The default traces no calls. */
    EXPECT_TRUE(GrepLines(GrepLines(ReadLines(g_log), Hex(GetCurrentProcessId(), 8)), " svc ").empty());
}

/* ---- a test description in a child ---- */

static int g_childFailures;

static void ChildCheck(bool ok, const char *what, int line)
{
    if (ok)
        return;
    char text[256];
    snprintf(text, sizeof text, "check failed line %d: %s", line, what);
    WriteTraceLog(0, 0x0BAD, text);
    g_childFailures++;
}
#define CHILD_CHECK(c) ChildCheck((c), #c, __LINE__)

/* Asks the DLLs under the test description; every failure leaves its outputs as they were. */
static int DescribedChild(int, char **)
{
    uint16_t v = 0xBEEF, ec = 0;
    char buf[SVC_LOCATION_LEN] = "untouched";
    static uint16_t status[256][256];

    CHILD_CHECK(!GetPdevEquipStatus(0x0105, 0, &v, &ec) && ec == 0x4321 && v == 0xBEEF);
    CHILD_CHECK(GetPdevEquipStatus(0x0106, 0, &v, &ec) && v == 0x1200);
    v = 0xBEEF;
    CHILD_CHECK(!GetDkaEquipStatus(0, 1, "c:\\cfgdir", &v, &ec) && ec == 0x0777 && v == 0xBEEF);
    CHILD_CHECK(!mtp_GetDkuLocation(2, 0, buf, sizeof buf, &ec) && ec == 0x0888 && !strcmp(buf, "untouched"));
    CHILD_CHECK(mtp_GetDkuLocation(0, 0, buf, sizeof buf, &ec) && !strcmp(buf, "DKU-R0"));
    uint16_t p[7] = { 9, 9, 9, 9, 9, 9, 9 };
    uint32_t y = 9;
    CHILD_CHECK(!GetPdevPaths(0x0105, nullptr, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6], &y, &ec) &&
                ec == 0x0999 && p[0] == 9 && p[3] == 9 && p[6] == 9 && y == 9);
    status[7][7] = 0x7777;
    CHILD_CHECK(!GetAllLdevStatus(status, 0, &ec) && ec == 0x0AAA && status[7][7] == 0x7777);
    CHILD_CHECK(GetDkuModel(1, &v, 0, &ec) && v == 9);
    CHILD_CHECK(!IwHistoryFilter(0x10) && !IwHistoryFilter(0x2B) && IwHistoryFilter(0x2D) && IwHistoryFilter(0));
    CHILD_CHECK(mtp_MessageBox(nullptr, 12, 2631, 20173, 0, 16, "DC3-01") == IDOK);
    return g_childFailures;
}
static ChildRole g_described("described", DescribedChild);

TEST(Svclib, TestDescriptionFailsTracesAndFilters)
{
    std::string ini = TempDir() + "subsystem.ini";
    ASSERT_TRUE(WriteFileBytes(ini, "[Subsystem]\r\nTraceCalls=1\r\nMessageBox=trace\r\nHistoryReject=10,2A-2C\r\n"
                                    "[DKU.1]\r\nModel=9\r\n"
                                    "[Fail]\r\nGetPdevEquipStatus.0105=4321\r\nGetDkaEquipStatus=0777\r\n"
                                    "mtp_GetDkuLocation.0002=0888\r\nGetPdevPaths=0999\r\nGetAllLdevStatus=AAA\r\n"));
    SetEnv("MTP_SUBSYSTEM_INI", ini.c_str());
    HANDLE child = StartChild("described", "");
    DWORD pid = child ? GetProcessId(child) : 0;
    int rc = WaitExit(child, CHILD_WAIT_MS);
    SetEnv("MTP_SUBSYSTEM_INI", (g_filesDir + "absent.ini").c_str());

    std::vector<std::string> lines = ReadLines(g_log);
    for (auto &l : GrepLines(lines, "check failed"))
        ADD_FAILURE() << l;
    EXPECT_EQ(rc, 0);
    const char *expected[] = {
        "svc GetPdevEquipStatus(0105) -> 0 EC=4321",
        "svc GetPdevEquipStatus(0106) -> 1 EC=0000",
        "svc GetDkaEquipStatus(0001, c:\\cfgdir) -> 0 EC=0777",
        "svc mtp_GetDkuLocation(0002) -> 0 EC=0888",
        "svc mtp_GetDkuLocation(0000) -> 1 EC=0000",
        "svc GetPdevPaths(0105, (null)) -> 0 EC=0999",
        "svc GetAllLdevStatus() -> 0 EC=0AAA",
        "svc GetDkuModel(0001) -> 1 EC=0000",
        "mtp_MessageBox [DC3-01]",
    };
    for (const char *e : expected)
        EXPECT_EQ(CountLines(lines, pid, e), 1) << e;
    for (auto &l : GrepLines(lines, "mtp_MessageBox ["))
        EXPECT_EQ(l.substr(33, 4), "0100");
}

/* ---- the trace log ---- */

static uint64_t Ticks(const SYSTEMTIME &t)
{
    FILETIME f = {};
    SystemTimeToFileTime(&t, &f);
    return uint64_t(f.dwHighDateTime) << 32 | f.dwLowDateTime;
}

TEST(Svclib, TraceLineFormat)
{
    std::string tag = "fmt" + Hex(GetCurrentProcessId(), 8);
    SYSTEMTIME before, after, t = {};
    GetLocalTime(&before);
    ASSERT_TRUE(WriteTraceLog(0, 0x0ABC, (tag + " one\r\ntwo\nthree").c_str()));
    GetLocalTime(&after);
    ASSERT_TRUE(WriteTraceLog(0, 0x0001, nullptr));
    ASSERT_TRUE(WriteTraceLog(0, 0xFFFF, (tag + " long " + std::string(5000, 'L')).c_str()));
    EXPECT_FALSE(WriteTraceLog(0, 0x0002, std::string(70000, 'X').c_str()));

    std::string bytes = ReadFileBytes(g_log);
    size_t at = bytes.find(tag + " one");
    ASSERT_NE(at, std::string::npos);
    ASSERT_GE(at, size_t(HEAD_LEN));
    size_t start = at - HEAD_LEN;
    std::string line = bytes.substr(start, bytes.find('\n', start) + 1 - start);
    EXPECT_EQ(line.substr(HEAD_LEN), tag + " one\\r\\ntwo\\nthree\r\n");
    EXPECT_EQ(line.substr(23, 15), " " + Hex(GetCurrentProcessId(), 8) + " 0ABC ");

    /* The local time to the millisecond, each field at its fixed width. */
    ASSERT_EQ(sscanf(line.c_str(), "%hu/%hu/%hu %hu:%hu:%hu.%hu", &t.wYear, &t.wMonth, &t.wDay, &t.wHour,
                     &t.wMinute, &t.wSecond, &t.wMilliseconds), 7);
    char head[64];
    snprintf(head, sizeof head, "%04u/%02u/%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond, t.wMilliseconds);
    EXPECT_EQ(line.substr(0, 23), head);
    EXPECT_LE(Ticks(before), Ticks(t));
    EXPECT_LE(Ticks(t), Ticks(after));

    /* The null text is the next line; the long one follows whole. */
    size_t next = start + line.size();
    EXPECT_EQ(bytes.substr(next, bytes.find('\n', next) + 1 - next).substr(33), "0001 \r\n");
    std::vector<std::string> longs = GrepLines(ReadLines(g_log), tag + " long ");
    ASSERT_EQ(longs.size(), 1u);
    EXPECT_EQ(longs[0].substr(HEAD_LEN), tag + " long " + std::string(5000, 'L'));
    EXPECT_EQ(bytes.find("XXXXXXXXXX"), std::string::npos);
}

/* Writes count lines "conc TAG W<id> <seq> <fill>" once the gate opens. */
static int WriteConcurrent(const char *tag, int id, int count, HANDLE gate)
{
    if (WaitForSingleObject(gate, CHILD_WAIT_MS) != WAIT_OBJECT_0)
        return 2;
    for (int i = 0; i < count; i++) {
        char text[CONC_TEXT_LEN + 64];
        int n = snprintf(text, sizeof text, "conc %s W%d %05d ", tag, id, i);
        memset(text + n, 'a' + id, CONC_TEXT_LEN);
        text[n + CONC_TEXT_LEN] = '\0';
        if (!WriteTraceLog(0, 0x0C0C, text))
            return 3;
    }
    return 0;
}

/* child writer TAG ID COUNT GATE */
static int WriterChild(int argc, char **argv)
{
    if (argc < 5)
        return 4;
    HANDLE gate = OpenEventA(SYNCHRONIZE, FALSE, argv[4]);
    if (!gate)
        return 5;
    int rc = WriteConcurrent(argv[1], atoi(argv[2]), atoi(argv[3]), gate);
    CloseHandle(gate);
    return rc;
}
static ChildRole g_writer("writer", WriterChild);

TEST(Svclib, ConcurrentWritersKeepEveryLineWhole)
{
    const int writers = 5;   /* 2 threads here, 3 children */
    std::string tag = Hex(GetCurrentProcessId(), 8);
    std::string gateName = "vt_gate_" + tag;
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, gateName.c_str());
    ASSERT_NE(gate, nullptr);
    std::vector<HANDLE> children;
    for (int id = 2; id < writers; id++)
        children.push_back(StartChild("writer", tag + " " + std::to_string(id) + " " +
                                                    std::to_string(CONC_LINES) + " " + gateName));
    int rc[2] = { -1, -1 };
    std::thread t0([&] { rc[0] = WriteConcurrent(tag.c_str(), 0, CONC_LINES, gate); });
    std::thread t1([&] { rc[1] = WriteConcurrent(tag.c_str(), 1, CONC_LINES, gate); });
    SetEvent(gate);
    t0.join();
    t1.join();
    for (HANDLE c : children)
        EXPECT_EQ(WaitExit(c, CHILD_WAIT_MS), 0);
    CloseHandle(gate);
    EXPECT_EQ(rc[0], 0);
    EXPECT_EQ(rc[1], 0);

    /* Every line whole and each writer's lines in order; none lost. */
    int next[writers] = {}, bad = 0;
    for (auto &l : GrepLines(ReadLines(g_log), "conc " + tag + " ")) {
        int id = -1, seq = -1, n = 0;
        bool whole = l.size() > HEAD_LEN + 6 && l.compare(HEAD_LEN, 5, "conc ") == 0 && l.substr(33, 5) == "0C0C " &&
                     sscanf(l.c_str() + HEAD_LEN + 5 + tag.size(), " W%d %d %n", &id, &seq, &n) == 2 &&
                     id >= 0 && id < writers &&
                     l.substr(HEAD_LEN + 5 + tag.size() + size_t(n)) == std::string(CONC_TEXT_LEN, char('a' + id));
        if (!whole || seq != next[id]) {
            if (bad++ < 5)
                ADD_FAILURE() << "torn or out of order: " << l;
            continue;
        }
        next[id]++;
    }
    EXPECT_EQ(bad, 0);
    for (int id = 0; id < writers; id++)
        EXPECT_EQ(next[id], CONC_LINES) << "writer " << id;
}

/* ---- the message box ---- */

TEST(Svclib, MessageBoxShowsLocationCode)
{
    DialogPresser press(IDOK);
    EXPECT_EQ(mtp_MessageBox(nullptr, 12, 2631, 20173, 0, 16, "DC3-01"), IDOK);
    ASSERT_EQ(press.texts.size(), 1u);
    EXPECT_EQ(press.texts[0].find("MTP Message|"), 0u) << press.texts[0];
    EXPECT_NE(press.texts[0].find("|Maintenance processor error.\nLocation code : DC3-01|"), std::string::npos)
        << press.texts[0];
}

/* ---- LockStore ---- */

struct OpenResult { const char *path; HANDLE h; DWORD err; ULONGLONG ms; };

static DWORD WINAPI OpenHeld(void *arg)
{
    OpenResult *r = static_cast<OpenResult *>(arg);
    ULONGLONG t0 = GetTickCount64();
    r->h = LsOpenFile(r->path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    r->err = GetLastError();
    r->ms = GetTickCount64() - t0;
    return 0;
}

TEST(Svclib, LockStoreWaitsForAnExclusiveHolder)
{
    std::string dir = TempDir(), path = dir + "comtrace.dat", prev = dir + "comtrace.old";
    const ULONGLONG waitMs = 3000 / 2;   /* MTP_TIME_DIVISOR=2 */

    /* Released while waiting: the open succeeds. */
    HANDLE held = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    OpenResult r = { path.c_str(), nullptr, 0, 0 };
    HANDLE th = CreateThread(nullptr, 0, OpenHeld, &r, 0, nullptr);
    ASSERT_NE(th, nullptr);
    EXPECT_EQ(WaitForSingleObject(th, 100), DWORD(WAIT_TIMEOUT));
    CloseHandle(held);
    ASSERT_EQ(WaitForSingleObject(th, 10000), WAIT_OBJECT_0);
    CloseHandle(th);
    ASSERT_NE(r.h, INVALID_HANDLE_VALUE) << r.err;
    EXPECT_LT(r.ms, waitMs);
    EXPECT_TRUE(LsCloseFile(r.h));

    /* Never released: the open gives up after the wait with the sharing violation. */
    held = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    r = { path.c_str(), nullptr, 0, 0 };
    OpenHeld(&r);
    EXPECT_EQ(r.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(r.err, DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_GE(r.ms + 20, waitMs);   /* tick granularity */
    CloseHandle(held);

    /* Other errors fail at once. */
    std::string missing = dir + "no\\such\\dir.dat";
    r = { missing.c_str(), nullptr, 0, 0 };
    OpenHeld(&r);
    EXPECT_EQ(r.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(r.err, DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_LT(r.ms, waitMs / 2);
    EXPECT_FALSE(LsCloseFile(INVALID_HANDLE_VALUE));

    /* Rename replaces the previous file; rename and delete of a missing file fail. */
    ASSERT_TRUE(WriteFileBytes(path, "current"));
    ASSERT_TRUE(WriteFileBytes(prev, "previous"));
    EXPECT_TRUE(LsRenameFile(path.c_str(), prev.c_str()));
    EXPECT_EQ(ReadFileBytes(prev), "current");
    EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(LsRenameFile(path.c_str(), prev.c_str()));
    EXPECT_TRUE(LsDeleteFile(prev.c_str()));
    EXPECT_EQ(GetFileAttributesA(prev.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(LsDeleteFile(prev.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

/* ---- mtp_iw32, mtp_dd32 ---- */

TEST(Svclib, SmallEntries)
{
    for (int f = 0; f < 256; f++)
        EXPECT_NE(IwHistoryFilter(uint8_t(f)), 0) << f;
    EXPECT_EQ(IwDefaultEntry(nullptr), 0x8000u);
    uint8_t rec[36];
    memset(rec, 0xAA, sizeof rec);
    mtp_ClearBitmapMP(rec);
    EXPECT_EQ(std::vector<uint8_t>(rec, rec + 34), std::vector<uint8_t>(34, 0));
    EXPECT_EQ(rec[34], 0xAA);
    EXPECT_EQ(rec[35], 0xAA);
    mtp_ClearBitmapMP(nullptr);
}
