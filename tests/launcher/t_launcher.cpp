/* The launcher against Vestra.exe and both simulators: the JSON of a run with a passed, a failed
 * (sense), a timed-out, an unequipped and an unselected drive, parsed back; the table, CSV and
 * progress lines; each exit status; and the sense table in process. */
#include "sim/sense.h"
#include "tests/support/support.h"
#include <nlohmann/json.hpp>
#include <string.h>

using nlohmann::json;

static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new TestEnv(nullptr, 25));

/* ---- sense in words ---- */

struct SenseCase { SenseBytes s; const char *text; };

TEST(Sense, KnownReservedAndVendorCodes)
{
    static const SenseCase cases[] = {
        { { 0x02, 0x04, 0x01, 1, 1, 1 }, "02/04/01 NOT READY, LOGICAL UNIT IS IN PROCESS OF BECOMING READY" },
        { { 0x06, 0x29, 0x00, 1, 1, 1 }, "06/29/00 UNIT ATTENTION, POWER ON, RESET, OR BUS DEVICE RESET OCCURRED" },
        { { 0x0F, 0x5D, 0xFF, 1, 1, 1 }, "0F/5D/FF COMPLETED, FAILURE PREDICTION THRESHOLD EXCEEDED (FALSE)" },
        { { 0x04, 0x40, 0x85, 1, 1, 1 }, "04/40/85 HARDWARE ERROR, DIAGNOSTIC FAILURE ON COMPONENT 0x85" },
        { { 0x04, 0x40, 0x7F, 1, 1, 1 }, "04/40/7F HARDWARE ERROR, unknown ASC 0x40 ASCQ 0x7F (reserved)" },
        { { 0x0B, 0x4D, 0x12, 1, 1, 1 }, "0B/4D/12 ABORTED COMMAND, TAGGED OVERLAPPED COMMANDS, TASK TAG 0x12" },
        { { 0x09, 0x80, 0x00, 1, 1, 1 }, "09/80/00 VENDOR SPECIFIC, VENDOR SPECIFIC ASC 0x80 ASCQ 0x00 (meaning unknown)" },
        { { 0x02, 0x04, 0x80, 1, 1, 1 }, "02/04/80 NOT READY, VENDOR SPECIFIC ASCQ 0x80 OF ASC 0x04 (meaning unknown)" },
        { { 0x01, 0x7F, 0x7F, 1, 1, 1 }, "01/7F/7F RECOVERED ERROR, unknown ASC 0x7F ASCQ 0x7F (reserved)" },
        { { 0x10, 0x00, 0x00, 1, 1, 1 }, "10/00/00 unknown sense key 0x10, NO ADDITIONAL SENSE INFORMATION" },
        { { 0x06, 0x00, 0x00, 1, 0, 0 }, "06/--/-- UNIT ATTENTION, ASC and qualifier not recorded" },
        { { 0x00, 0x04, 0x00, 1, 1, 0 }, "00/04/-- NO SENSE, ASC 0x04, qualifier not recorded" },
    };
    char text[SENSE_TEXT_LEN];
    for (const SenseCase &c : cases) {
        SenseText(c.s, text, sizeof text);
        EXPECT_STREQ(c.text, text);
    }
    /* Which codes carry sense, and how much of it: the check stops at the first byte not 0. */
    static const struct { uint16_t code; const char *text; } errors[] = {
        { 0xC105, "06/--/-- UNIT ATTENTION, ASC and qualifier not recorded" },
        { 0xC30B, "00/06/-- NO SENSE, ASC 0x06, qualifier not recorded" },
        { 0xC30C, "00/00/06 NO SENSE, I/O PROCESS TERMINATED" },
        { 0xD210, "06/--/-- UNIT ATTENTION, ASC and qualifier not recorded" },
        { 0xD012, "00/00/06 NO SENSE, I/O PROCESS TERMINATED" },
        { 0xC104, nullptr }, { 0xC108, nullptr }, { 0xC309, nullptr }, { 0xC30D, nullptr }, { 0xC403, nullptr },
    };
    const uint8_t detail[16] = { 0x06 };
    for (auto &e : errors) {
        SenseBytes s = {};
        ASSERT_EQ(e.text != nullptr, SenseOfError(e.code, detail, &s)) << std::hex << e.code;
        if (e.text) {
            SenseText(s, text, sizeof text);
            EXPECT_STREQ(e.text, text) << std::hex << e.code;
        }
    }
}

/* ---- the launcher ---- */

struct Launched { int rc; std::string out, err, errFile; };

/* Launcher.exe with its stdout and stderr in files of their own (stderr is then no terminal). */
static Launched Launch(const std::string &args)
{
    static int seq;
    std::string base = TestDir() + "launch" + std::to_string(++seq);
    SECURITY_ATTRIBUTES sa = { sizeof sa, nullptr, TRUE };
    HANDLE out = CreateFileA((base + ".out").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileA((base + ".err").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    HANDLE p = StartProgram("Launcher.exe", args, out, err);
    CloseHandle(out), CloseHandle(err);
    EXPECT_NE(nullptr, p);
    return { WaitExit(p, 90000), ReadFileBytes(base + ".out"), ReadFileBytes(base + ".err"), base + ".err" };
}

static SimPair g_sims;

/* Drive 0001 reports a unit attention after its start, 0002 has a foreign vendor, 0100 answers
 * every command slowly (its unit outlasts a time-out), 0102's self test gets no reply. */
static void Sims()
{
    ASSERT_TRUE(g_sims.Restart("[Drive.0001]\nStartSense=6,29,0\n[Drive.0002]\nVendor=OLDVEND1\n"
                               "[Fault]\n0100.ANY=slow:50000\n0102.SELFTEST=timeout*3\n"));
}

static bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

/* Usage errors first (no program starts); then C0 over one drive passes; the table run over two
 * units (a vendor failure, a self-test time-out reported once for two drives, a line left by an
 * earlier run in the log); the JSON and CSV run cut by its time-out; a run that tests nothing. */
TEST(Launcher, ResultsExitStatusesAndProgress)
{
    for (const char *args : { "--drives 40:0", "--drives 0:79", "--timeout 0", "--all --colour" }) {
        Launched l = Launch(args);
        EXPECT_EQ(3, l.rc) << args;
        EXPECT_EQ("", l.out) << args;
    }
    EXPECT_TRUE(Has(Launch("--bad").err, "exit status: 0 every selected drive passed"));
    Sims();

    Launched l = Launch("--routine c0 --drives 0:0 --json --quiet");
    json j = json::parse(l.out, nullptr, false);
    EXPECT_EQ(0, l.rc) << l.out;
    EXPECT_EQ("", l.err);
    EXPECT_EQ(R"({"asked":"C0","run":"C0"}completed"passed")",
              j["routine"].dump() + j["endStatus"].get<std::string>() + j["drives"][0]["outcome"].dump()) << l.out;

    WriteFileBytes(g_sims.diagLog, "2024/01/01 00:00:00.000 CR#=0000 MP=80 Routine=C1 Step=02 ErrorCode=C102 "
                              "Detail=02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\r\n");
    l = Launch("--drives 0:0,0:2,1:1-2");
    EXPECT_EQ(1, l.rc) << l.out;
    for (const char *line : { "HDD00-00         pass       0000\r\n",
                              "HDD00-02         FAIL       0002 C203   Data compare error(Vendor ID).",
                              "HDD01-01         FAIL       0101 C4E3   Communication of between DKC and MTP was TIME OUT.",
                              "HDD01-02         FAIL       0102 C4E3*  Communication of between DKC and MTP was TIME",
                              "Last error: routine C4 step E3 detail 01 01 44 56 45 4E 44 31",
                              "End status 00, error flag FF (completed)",
                              "4 selected: 1 passed, 3 failed, 0 not tested; exit 1: at least one drive failed" })
        EXPECT_TRUE(Has(l.out, line)) << line << "\n" << l.out;
    for (const char *line : { "progress: unit 1/2 (00) CF/C1 HDD00-00, elapsed 0:0", "progress: unit 2/2 (01) CF/C4 HDD01-01, " })
        EXPECT_TRUE(Has(l.err, line)) << line << "\n" << l.err;
    /* Before a unit ends, the estimate is the pauses: two of 10 s / 25 here, two in the next unit. */
    auto first = GrepLines(ReadLines(l.errFile), "progress: unit 1/2 (00) CF/C1");
    EXPECT_TRUE(!first.empty() && Has(first[0], "about 0:02 left")) << l.err;
    EXPECT_FALSE(Has(l.err, "\rprogress") || Has(l.out, "progress"));
    /* Mode 0xFF: the reports do not name the temporary folder. */
    auto reports = GrepLines(ReadLines(g_sims.diagLog), "From=0D");
    ASSERT_EQ(2u, reports.size());
    for (auto &r : reports)
        EXPECT_TRUE(Has(r, "TmpConfig=0 From=0D")) << r;

    std::string csv = TestDir() + "drives.csv";
    l = Launch("--mode 10 --drives 0:0-1,0:79,1:0 --json --timeout 12 --csv \"" + csv + "\"");
    EXPECT_EQ(1, l.rc) << "a failure wins over a drive not tested\n" << l.out;
    j = json::parse(l.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << l.out;
    /* Compared as text: the test framework cannot print a JSON value. */
    std::string run;
    for (const char *key : { "schema", "routine", "runOption", "launchMode", "endStatus", "exitStatus", "summary" })
        run += j[key].dump() + ",";
    EXPECT_EQ(R"(1,{"asked":"CF","run":"CF"},{"asked":null,"run":8},"10","time-out",1,)"
              R"({"failed":1,"notTested":2,"passed":1,"selected":4},)", run);
    EXPECT_EQ(0xEE, j["launchBlock"]["endStatus"].get<int>());
    EXPECT_GE(j["elapsedSeconds"].get<double>(), 12.0);
    EXPECT_LT(j["start"].get<std::string>(), j["end"].get<std::string>());
    ASSERT_EQ(4u, j["drives"].size()) << "0002 is equipped but was not selected";
    const char *const want[] = {
        R"({"location":"HDD00-00","pdev":"0000","unit":0,"row":0,"outcome":"passed","reason":null,"errorCode":null,
            "errorText":null,"sharedReport":null,"mpId":null,"detail":null,"sense":null})",
        R"({"location":"HDD00-01","pdev":"0001","unit":0,"row":1,"outcome":"failed","reason":null,"errorCode":"C30A",
            "errorText":"Invalid SENSE KEY in TEST UNIT READY. Ev.0x00","sharedReport":false,"mpId":"80",
            "detail":"06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
            "sense":{"key":"06","asc":null,"ascq":null,"text":"06/--/-- UNIT ATTENTION, ASC and qualifier not recorded"}})",
        R"({"outcome":"not-tested","reason":"not-equipped","pdev":"004F"})",
        R"({"location":"HDD01-00","pdev":"0100","unit":1,"row":0,"outcome":"not-tested","reason":"time-out",
            "errorCode":null,"errorText":null,"sharedReport":null,"mpId":null,"detail":null,"sense":null})",
    };
    for (size_t i = 0; i < 4; i++) {
        json fields = json::parse(want[i]);
        for (auto &field : fields.items())
            EXPECT_EQ(field.value().dump(), j["drives"][i][field.key()].dump()) << i << " " << field.key();
    }
    auto lines = ReadLines(csv);
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("location,pdev,unit,row,outcome,reason,errorCode,errorText,sharedReport,mpId,detail,"
              "senseKey,senseAsc,senseAscq,senseText", lines[0]);
    EXPECT_EQ("HDD00-01,0001,0,1,failed,,C30A,Invalid SENSE KEY in TEST UNIT READY. Ev.0x00,false,80,"
              "06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00,06,,,"
              "\"06/--/-- UNIT ATTENTION, ASC and qualifier not recorded\"", lines[2]);
    EXPECT_EQ("HDD01-00,0100,1,0,not-tested,time-out,,,,,,,,,", lines[4]);
    EXPECT_TRUE(Has(ReadFileBytes(g_sims.diagLog + "-readable.txt"),
                    "drive 0001 on MP 80: error C30A, sense 06/--/-- UNIT ATTENTION, ASC and qualifier not recorded"));
    EXPECT_TRUE(Has(GrepLines(ReadLines(g_sims.diagLog), "CR#=0001").at(0), "TmpConfig=1 From=0D"));

    Sims();   /* no reply of the cut run left queued */
    EXPECT_EQ(2, Launch("--drives 1:0 --timeout 1 --quiet").rc);
    g_sims.Stop();
}
