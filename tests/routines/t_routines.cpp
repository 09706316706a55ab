/* The routines in process against the controller and diagnosis log simulators: this test
 * process is the program (AP 0D) with its real session and transport. Each scenario restarts
 * the simulators on its own description and diagnosis log and checks the DriveTable, the
 * selection, the error record and the reports the log received. */
#include "routines/routines.h"
#include "tests/support/support.h"
#include "tests/routines/rtest.h"
#include "res/resource.h"
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <atomic>
#include <thread>

static int g_statusCalls;

static void CountStatus(uint16_t kind) { g_statusCalls += kind == 1; }

class RoutinesEnv : public SimEnv {
public:
    void SetUp() override
    {
        SimEnv::SetUp();
        g_run.cfg.instance = GetModuleHandleA(nullptr);
        g_run.cfg.displayMode = DISPLAY_AUTOMATIC;
        g_run.cfg.showStatus = CountStatus;
        g_run.cfg.mainWnd = CreateWindowA("STATIC", "owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                      nullptr, nullptr);
        ConfigureRoutines(g_run.cfg);
        UseSims("");
        ASSERT_EQ(1, OpenCommunication());
    }
    void TearDown() override
    {
        CloseCommunication();
        SimEnv::TearDown();
    }
};
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new RoutinesEnv);

/* MP id of a path of a unit of the built-in subsystem: (p1, dku, box % 4). */
static uint16_t MpOf(uint8_t unit, int p1) { return uint16_t(0x80 + p1 * 16 + unit / 8 * 4 + unit % 8 % 4); }

/* One unit under test (or several in unitList), the given rows selected, a fresh DriveTable. */
static void Select(uint8_t unit, std::initializer_list<int> rows, uint32_t routine, uint16_t unitCount = 1)
{
    memset(g_run.driveTable, 0, sizeof g_run.driveTable);
    memset(g_run.rowSelected, 0, sizeof g_run.rowSelected);
    memset(g_run.driveBitmap, 0, sizeof g_run.driveBitmap);
    memset(g_run.unitList, UNIT_NONE, sizeof g_run.unitList);
    g_run.unitList[0] = unit;
    for (uint16_t i = 1; i < unitCount; i++)
        g_run.unitList[i] = uint8_t(unit + i);
    g_run.unitCount = unitCount;
    g_run.unitCursor = 0;
    for (int r : rows) {
        g_run.rowSelected[r] = 1;
        g_run.driveBitmap[r] |= UnitBit(unit);
    }
    g_run.mpIdMain = MpOf(unit, 0);
    g_run.mpIdAlt = MpOf(unit, 1);
    g_run.routineId = routine;
    g_dc.stopRequested = 0;
    g_statusCalls = 0;
}

/* Texts of this process's and the simulators' trace lines from mark on. */
static std::vector<std::string> Trace(size_t mark = 0)
{
    std::vector<std::string> out;
    auto lines = ReadLines(g_dir + "trace.log");
    for (size_t i = mark; i < lines.size(); i++)
        out.push_back(lines[i].size() > 38 ? lines[i].substr(38) : "");
    return out;
}
static size_t Mark() { return Trace().size(); }
/* Trace lines from mark on that are text (part: that contain it). */
static int Count(size_t mark, const std::string &text, bool part = false)
{
    int n = 0;
    for (auto &t : Trace(mark))
        n += part ? t.find(text) != std::string::npos : t == text;
    return n;
}
static std::vector<int> Counts(size_t mark, std::initializer_list<const char *> texts)
{
    std::vector<int> out;
    for (const char *t : texts)
        out.push_back(Count(mark, t));
    return out;
}
/* The trace lines from mark on that are one of texts, in order. */
static std::vector<std::string> Order(size_t mark, std::initializer_list<const char *> texts)
{
    std::vector<std::string> out;
    for (auto &t : Trace(mark))
        for (const char *s : texts)
            if (t == s)
                out.push_back(t);
    return out;
}

/* The reports from the from-th on: exactly these, in order, each starting with its text. */
static void ExpectReports(size_t from, std::initializer_list<const char *> want)
{
    auto rep = Reports();
    std::string all;
    for (auto &r : rep)
        all += "\n  " + r;
    ASSERT_EQ(from + want.size(), rep.size()) << all;
    for (const char *w : want)
        EXPECT_EQ(0u, rep[from++].find(w)) << w << all;
}

static uint16_t Code(uint8_t unit, uint8_t row) { return g_run.driveTable[unit][row].errorCode; }

/* Every row of the unit has its listed error code, the others none. */
static void ExpectCodes(uint8_t unit, std::initializer_list<std::pair<int, uint16_t>> codes)
{
    uint16_t want[ROW_COUNT] = {};
    for (auto &c : codes)
        want[c.first] = c.second;
    for (uint8_t r = 0; r < ROW_COUNT; r++)
        EXPECT_EQ(want[r], Code(unit, r)) << "unit " << int(unit) << " row " << int(r);
}

static std::string Dump()
{
    char buf[16] = "";
    snprintf(buf, sizeof buf, "%02X %02X %02X ", g_err.errorRecord[0], g_err.errorRecord[1], g_err.errorRecord[2]);
    return buf;
}

/* ---- codes and records, no simulator ---- */

TEST(Report, TextsRecordsAndLaunchBlockCopy)
{
    struct { uint16_t code; const char *text; } kTexts[] = {
        { 0xC1E3, "Communication of between DKC and MTP was TIME OUT." },
        { 0xC303, "DELAY Function was failed." },
        { 0xC106, "Invalid SENSE CODE-HI in TEST UNIT READY. Ev.0x00" },
        { 0xC30B, "Invalid SENSE CODE-HI in TEST UNIT READY. Ev:0x00" },
        { 0xC201, "INQUIRY command was failed..(ALL)" },
        { 0xC2E2, "Reset Bypass command was failed." },
        { 0xCFE9, "End Inline command was failed." }, { 0xC1E9, "End Inline command was failed." },
        { 0xC501, "RECEIVE DIAG command was failed during WRITE OP CHK." },
        { 0xC61B, "READ DATA compare error.(Expected value=0x00)" },
        { 0xA0E3, "Communication of between DKC and MTP was TIME OUT." },
        { 0xD808, "TEST UNIT READY command was failed." },
        { 0xC403, "SELF TEST failed." },
        { 0xD005, " " }, { 0xC1EB, " " }, { 0xC1EC, " " }, { 0xC108 + 0x100, " " },
    };
    for (auto &t : kTexts) {
        LoadErrorText(t.code);
        EXPECT_STREQ(t.text, g_err.errorContents) << std::hex << t.code;
    }
    EXPECT_EQ(0xECE3u, ErrorTextId(0xC4E3));
    EXPECT_EQ(0xECEFu, ErrorTextId(0xC4EF));
    EXPECT_EQ(0xC4DFu, ErrorTextId(0xC4DF));

    /* Interactive: the dump; a second report keeps the detail bytes it does not set. */
    g_run.cfg.displayMode = DISPLAY_INTERACTIVE;
    ConfigureRoutines(g_run.cfg);
    g_run.routineId = 0xC1;
    g_err.errorStep = 0x02;
    memset(g_err.errorDetail, 0, sizeof g_err.errorDetail);
    g_err.errorDetail[0] = 0x02;
    g_err.errorDetail[1] = 0x77;
    SetErrorInfo(REPORT_COUNT);
    EXPECT_EQ(0, strncmp(g_err.errorCodeText, "C1 02 02 77 00 ", 15)) << g_err.errorCodeText;
    EXPECT_EQ(48u, strlen(g_err.errorCodeText));
    EXPECT_STREQ("TEST UNIT READY command was failed.", g_err.errorContents);
    g_err.errorStep = 0x06;
    g_err.errorDetail[0] = 0x04;
    SetErrorInfo(REPORT_COUNT);
    EXPECT_EQ(0, strncmp(g_err.errorCodeText, "C1 06 04 77 ", 12)) << g_err.errorCodeText;

    /* Automatic: the launch block carries the record, the dump stays. */
    uint8_t block[1024];
    memset(block, 0xAA, sizeof block);
    g_run.cfg.displayMode = DISPLAY_AUTOMATIC;
    g_run.cfg.launchBlock = block;
    ConfigureRoutines(g_run.cfg);
    std::string before = g_err.errorCodeText;
    g_run.routineId = 0xC4;
    g_err.errorStep = 0x03;
    g_err.errorDetail[0] = 0x05;
    SetErrorInfo(REPORT_COUNT);
    EXPECT_EQ(before, g_err.errorCodeText);
    EXPECT_EQ(std::vector<uint8_t>(block + 336, block + 341), (std::vector<uint8_t>{ 0xAA, 0xC4, 0x03, 0x05, 0x77 }));
    EXPECT_EQ(0x00, block[354]);
    EXPECT_EQ(0xAA, block[355]);
    g_run.cfg.launchBlock = nullptr;
    ConfigureRoutines(g_run.cfg);

    /* Recording: inside the table only. */
    Select(3, { 5, 6 }, 0xC4);
    RecordDriveError(3, 5);
    ExpectCodes(3, { { 5, 0xC403 } });
    EXPECT_EQ(0, g_run.rowSelected[5]);
    EXPECT_EQ(1, g_run.rowSelected[6]);
    RunState keep;
    memcpy(&keep, &g_run, sizeof keep);
    RecordDriveError(32, 6);
    RecordDriveError(3, 80);
    RecordDriveError(255, 255);
    EXPECT_EQ(0, memcmp(&keep, &g_run, sizeof keep)) << "a drive outside the table changes nothing";
}

/* ---- C1 and the common pass ---- */

TEST(RoutineC1, PerRowFailuresTimeOutAndNoRowLeft)
{
    UseSims("[Drive.0002]\nSense=0,4,0\n"
            "[Fault]\n0001.TUR=error:0x08\n0003.TUR=missingrow\n0005.TUR=wrongrow\n"
            "0104.TUR=error:0x02\n0105.TUR=error:0x03\n0200.TUR=timeout*3\n");
    size_t mark = Mark();
    memset(g_err.errorDetail, 0, sizeof g_err.errorDetail);
    Select(0, { 0, 1, 2, 3, 5 }, 0xC1);
    uint16_t fk = 0;
    EXPECT_EQ(1u, RoutineC1(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(FAIL_CHECKS, fk);
    /* Row 3's entry is missing; row 5's names row 6, which is recorded in its place. */
    ExpectCodes(0, { { 1, 0xC102 }, { 2, 0xC106 }, { 3, 0xC102 }, { 6, 0xC102 } });
    for (int r = 0; r < 8; r++)
        EXPECT_EQ(r == 0 || r == 5 ? 1 : 0, g_run.rowSelected[r]) << r;
    EXPECT_EQ(Counts(mark, { "Unit Ready Start", "Request Sense Start", "C1 Routine Start. CRdev#=0000 MPID=0080",
                             "C1 Routine Start. CRdev#=0000 MPID=0090" }),
              (std::vector<int>{ 2, 2, 1, 1 }));
    /* Detail bytes are never cleared: byte 0 still holds the earlier error byte. */
    ExpectReports(0, { "CR#=0001 MP=80 Routine=C1 Step=02 ErrorCode=C102 Detail=08 00 ",
                       "CR#=0003 MP=80 Routine=C1 Step=02 ErrorCode=C102 Detail=08 77 ",
                       "CR#=0006 MP=80 Routine=C1 Step=02 ErrorCode=C102 Detail=08 76 ",
                       "CR#=0002 MP=80 Routine=C1 Step=06 ErrorCode=C106 Detail=04 76 ",
                       "CR#=0006 MP=90 Routine=C1 Step=02 ErrorCode=C102 Detail=04 76 " });

    /* Every row fails TEST UNIT READY on the first path: nothing more is sent. */
    mark = Mark();
    Select(1, { 4, 5 }, 0xC1);
    EXPECT_EQ(0u, RoutineC1(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(FAIL_CHECKS, fk);
    ExpectCodes(1, { { 4, 0xC102 }, { 5, 0xC102 } });
    EXPECT_EQ(Counts(mark, { "Unit Ready Start", "Request Sense Start" }), (std::vector<int>{ 1, 0 }));
    EXPECT_EQ(0, Count(mark, "MPID=0091", true));
    ExpectReports(5, { "CR#=0104 MP=81 Routine=C1 Step=02 ErrorCode=C102 Detail=02 ",
                       "CR#=0105 MP=81 Routine=C1 Step=02 ErrorCode=C102 Detail=03 " });

    /* Time-out after three attempts: one report, every selected row recorded with step E3. */
    Select(2, { 0, 3 }, 0xC1);
    DWORD t0 = GetTickCount();
    EXPECT_EQ(0u, RoutineC1(g_run.cfg.mainWnd, &fk));
    EXPECT_GE(GetTickCount() - t0, 3u * COM_TIMEOUT_S * 1000 / DIVISOR);
    EXPECT_EQ(FAIL_TIMEOUT, fk);
    ExpectCodes(2, { { 0, 0xC1E3 }, { 3, 0xC1E3 } });
    EXPECT_EQ(0, g_run.rowSelected[3]);
    ExpectReports(7, { "CR#=0200 MP=82 Routine=C1 Step=E3 ErrorCode=C1E3 Detail=02 00 " });

    /* No row selected: nothing is sent. */
    mark = Mark();
    Select(0, {}, 0xC1);
    EXPECT_EQ(0u, RoutineC1(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(0, Count(mark, "Unit Ready Start"));
}

/* A diagnosis log that never answers costs each report its full wait; the drives are still
 * recorded and the routine goes on. */
TEST(RoutineC1, UnansweredReportsWaitAndStillRecord)
{
    UseSims("[DiagLog]\nAck=0\n[Fault]\n0001.TUR=error:0x02\n0002.TUR=error:0x02\n");
    Select(0, { 0, 1, 2 }, 0xC1);
    uint16_t fk = 0;
    DWORD t0 = GetTickCount();
    EXPECT_EQ(1u, RoutineC1(g_run.cfg.mainWnd, &fk));
    EXPECT_GE(GetTickCount() - t0, 2u * REPORT_WAIT_S * 1000 / DIVISOR);
    ExpectCodes(0, { { 1, 0xC102 }, { 2, 0xC102 } });
    ExpectReports(0, { "CR#=0001 MP=80 Routine=C1 Step=02 ErrorCode=C102 ",
                       "CR#=0002 MP=80 Routine=C1 Step=02 ErrorCode=C102 " });
}

/* ---- C2 to C5 ---- */

TEST(RoutinesC2ToC5, VendorsSelfTestStopStartAndDriveValue)
{
    UseSims("[Drive.0003]\nVendor=ZEPHRONX\n[Drive.0001]\nSelfTest=05\n[Drive.0006]\nVendor=QUILLION\n"
            "[Drive.0203]\nNeverReady=1\n[Drive.0100]\nDriveValue=0x31\n"
            "[Fault]\n0004.SELFTEST=error:0x02\n0004.INQUIRY=error:0x09\n0202.STOP=error:0x04\n"
            "0300.DRIVEREAD=timeout*3\n");
    uint16_t fk = 0;
    Select(0, { 2 }, 0xC2);
    EXPECT_EQ(1u, RoutineC2(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(3, g_err.vendorMatch) << "unit 0 row 2 has the third vendor";
    Select(0, { 6 }, 0xC2);
    EXPECT_EQ(1u, RoutineC2(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(2, g_err.vendorMatch);

    /* C2: the failing drives are not asked again on the second path. */
    size_t mark = Mark();
    Select(0, { 0, 1, 2, 3, 4 }, 0xC2);
    EXPECT_EQ(1u, RoutineC2(g_run.cfg.mainWnd, &fk));
    ExpectCodes(0, { { 3, 0xC203 }, { 4, 0xC202 } });
    ExpectReports(0, { "CR#=0003 MP=80 Routine=C2 Step=03 ErrorCode=C203 Detail=5A 45 50 48 52 4F 4E 58 ",
                       "CR#=0004 MP=80 Routine=C2 Step=02 ErrorCode=C202 Detail=09 " });
    EXPECT_EQ(1, Count(mark, "MP=0090 INQUIRY C=00 rows=3", true));
    EXPECT_EQ(1, Count(mark, "C2 Routine Start. CRdev#=0000 MPID=0090"));

    /* C4: the result byte and the command's error byte. */
    mark = Mark();
    Select(0, { 0, 1, 4, 5 }, 0xC4);
    EXPECT_EQ(1u, RoutineC4(g_run.cfg.mainWnd, &fk));
    ExpectCodes(0, { { 1, 0xC403 }, { 4, 0xC402 } });
    EXPECT_EQ("C4 02 02 ", Dump());
    ExpectReports(2, { "CR#=0001 MP=80 Routine=C4 Step=03 ErrorCode=C403 Detail=05 ",
                       "CR#=0004 MP=80 Routine=C4 Step=02 ErrorCode=C402 Detail=02 " });
    EXPECT_EQ(2, Count(mark, "Self Test Start"));

    /* C3: both pauses; a drive failing STOP is not started, one never gets ready. */
    mark = Mark();
    Select(2, { 0, 1, 2, 3 }, 0xC3);
    DWORD t0 = GetTickCount();
    EXPECT_EQ(1u, RoutineC3(g_run.cfg.mainWnd, &fk));
    EXPECT_GE(GetTickCount() - t0, 2u * DELAY_C3_S * 1000 / DIVISOR);
    ExpectCodes(2, { { 2, 0xC302 }, { 3, 0xC307 } });
    ExpectReports(4, { "CR#=0202 MP=82 Routine=C3 Step=02 ErrorCode=C302 Detail=04 ",
                       "CR#=0203 MP=82 Routine=C3 Step=07 ErrorCode=C307 Detail=02 " });
    EXPECT_EQ(1, Count(mark, "MP=0082 START C=02 rows=3", true));
    /* On each path: stop, start, ready, sense. */
    auto order = Order(mark, { "Stop Unit End", "Start Unit Start", "Unit Ready Start", "Request Sense Start" });
    EXPECT_EQ(order, (std::vector<std::string>{ "Stop Unit End", "Start Unit Start", "Unit Ready Start",
                                                 "Request Sense Start", "Stop Unit End", "Start Unit Start",
                                                 "Unit Ready Start", "Request Sense Start" }));
    EXPECT_EQ(2, Count(mark, "Stop Unit Start"));

    /* C5: a Drive Read per path; the drive value fails without reading or changing the selection
     * and records nothing; a time-out records nothing either. */
    mark = Mark();
    Select(0, { 3 }, 0xC5);
    EXPECT_EQ(1u, RoutineC5(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(Counts(mark, { "C5 Routine Start. CRdev#=0000 MPID=0080", "C5 Routine Start. CRdev#=0000 MPID=0090" }),
              (std::vector<int>{ 1, 1 }));
    EXPECT_EQ(2, Count(mark, "DRIVEREAD CR#=0000", true));
    Select(1, { 3 }, 0xC5);
    EXPECT_EQ(0u, RoutineC5(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(FAIL_CHECKS, fk);
    EXPECT_EQ(1, g_run.rowSelected[3]);
    ExpectCodes(1, {});
    ExpectReports(6, { "CR#=0100 MP=81 Routine=C5 Step=01 ErrorCode=C501 " });
    Select(3, { 5 }, 0xC5);
    EXPECT_EQ(0u, RoutineC5(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(FAIL_TIMEOUT, fk);
    ExpectCodes(3, {});
    ExpectReports(7, { "CR#=0300 MP=83 Routine=C5 Step=E3 ErrorCode=C5E3 Detail=03 00 " });
}

/* ---- diagnosis framing ---- */

TEST(Framing, BypassedDrivesRefusalsAndInline)
{
    UseSims("[Drive.0007]\nBypassed=B\n[Drive.0105]\nBypassed=A\n[Drive.0301]\nBypassed=AB\n"
            "[Fault]\n0105.RESETBYPASS=rc:0x0F001740\n0200.CHECKBYPASS=rc:0x0F001741\n"
            "0301.LIP=timeout*3\n0302.STARTINLINE=rc:0x0F0017AA\n");
    uint16_t fk = 0;
    /* Row 7 bypassed on path B only: reset and LIP there, bypassed again at the end. */
    size_t mark = Mark();
    Select(0, { 6, 7 }, 0xC1);
    ASSERT_EQ(1, StartDiag(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(BYPASS_NONE, BypassState(7, 0));
    EXPECT_EQ(BYPASS_FOUND, BypassState(7, 1));
    EXPECT_EQ(BYPASS_NONE, BypassState(6, 1));
    EXPECT_EQ(2, Count(mark, "Check Bypass Start"));
    EXPECT_EQ(1, Count(mark, "MP=0090 RESETBYPASS", true));
    EXPECT_EQ(1, Count(mark, "MP=0090 LIP", true));
    EXPECT_EQ(1u, RoutineC1(g_run.cfg.mainWnd, &fk)) << "row 7 answers on path B again";
    EXPECT_EQ(0, Code(0, 7));
    ASSERT_EQ(1, EndDiag(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(1, Count(mark, "MP=0090 SETBYPASS", true));
    EXPECT_EQ(0, Count(mark, "MP=0080 SETBYPASS", true));
    EXPECT_EQ(Counts(mark, { "Start Inline Start", "End Inline Start" }), (std::vector<int>{ 0, 0 }))
        << "automatic runs send no inline commands";

    /* Reset Bypass refused: the row is out, not restored at the end; the other row runs. */
    mark = Mark();
    Select(1, { 5, 6 }, 0xC1);
    ASSERT_EQ(1, StartDiag(g_run.cfg.mainWnd, &fk));
    ExpectCodes(1, { { 5, 0xC1E2 } });
    EXPECT_EQ(0, g_run.rowSelected[5]);
    EXPECT_EQ(BYPASS_FAILED, BypassState(5, 0));
    EXPECT_EQ(0, Count(mark, "MP=0081 LIP", true));
    ExpectReports(0, { "CR#=0105 MP=81 Routine=C1 Step=E2 ErrorCode=C1E2 Detail=0F 00 17 40 " });
    ASSERT_EQ(1, EndDiag(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(0, Count(mark, " SETBYPASS", true));

    /* Check Bypass refused: every selected row reported, the diagnosis does not open. */
    Select(2, { 0, 1 }, 0xCF);
    g_run.routineId = 0xC3;
    EXPECT_EQ(0, StartDiag(g_run.cfg.mainWnd, &fk));
    EXPECT_NE(FAIL_STOPPED, fk);
    ExpectCodes(2, { { 0, 0xC3E1 }, { 1, 0xC3E1 } });
    ExpectReports(1, { "CR#=0200 MP=82 Routine=C3 Step=E1 ErrorCode=C3E1 Detail=0F 00 17 41 ",
                       "CR#=0201 MP=82 Routine=C3 Step=E1 ErrorCode=C3E1 Detail=0F 00 17 41 " });

    /* LIP timed out: one time-out report, the row recorded; no row left. */
    Select(3, { 1 }, 0xC1);
    EXPECT_EQ(0, StartDiag(g_run.cfg.mainWnd, &fk));
    ExpectCodes(3, { { 1, 0xC1E3 } });
    EXPECT_EQ(BYPASS_FAILED, BypassState(1, 0));
    ExpectReports(3, { "CR#=0301 MP=83 Routine=C1 Step=E3 ErrorCode=C1E3 Detail=03 01 " });

    /* Interactive: Start Inline after the bypass check, End Inline before Set Bypass. */
    mark = Mark();
    g_run.cfg.displayMode = DISPLAY_INTERACTIVE;
    ConfigureRoutines(g_run.cfg);
    Select(0, { 7 }, 0xC1);
    EXPECT_EQ(1, StartDiag(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(1, EndDiag(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(1, Count(mark, "MP=0080 STARTINLINE", true));
    EXPECT_EQ(1, Count(mark, "MP=0080 ENDINLINE", true));
    EXPECT_EQ(Order(mark, { "Check Bypass Start", "Reset Bypass Start", "Lip Start", "Start Inline Start",
                            "End Inline Start", "Set Bypass Start" }),
              (std::vector<std::string>{ "Check Bypass Start", "Check Bypass Start", "Reset Bypass Start", "Lip Start",
                                         "Start Inline Start", "End Inline Start", "Set Bypass Start" }));

    /* Start Inline refused: every selected row reported, the trace names the return code. */
    mark = Mark();
    Select(3, { 2, 3 }, 0xC1);
    EXPECT_EQ(0, StartDiag(g_run.cfg.mainWnd, &fk));
    g_run.cfg.displayMode = DISPLAY_AUTOMATIC;
    ConfigureRoutines(g_run.cfg);
    EXPECT_NE(FAIL_STOPPED, fk);
    ExpectCodes(3, { { 2, 0xC1E9 }, { 3, 0xC1E9 } });
    EXPECT_EQ(1, Count(mark, "Start Diag was failed.  Return Code : 0f0017aa"));
    ExpectReports(4, { "CR#=0302 MP=83 Routine=C1 Step=E9 ErrorCode=C1E9 Detail=0F 00 17 AA ",
                       "CR#=0303 MP=83 Routine=C1 Step=E9 ErrorCode=C1E9 Detail=0F 00 17 AA " });

    /* D8 opens without a command. */
    mark = Mark();
    Select(0, { 7 }, 0xD8);
    EXPECT_EQ(1, StartDiag(g_run.cfg.mainWnd, &fk));
    EXPECT_EQ(0, Count(mark, "Check Bypass Start"));
}

/* ---- dispatcher, run options, composites ---- */

static uint16_t Dispatch()
{
    uint16_t outcome = 0;
    EXPECT_EQ(1, RunRoutine(g_run.cfg.mainWnd, &outcome));
    return outcome;
}

TEST(RunRoutine, OptionsCompositesAndStop)
{
    UseSims("[Drive.0001]\nSelfTest=05\n[Fault]\n0104.TUR=error:0x02\n0000.TUR=slow:600000*1\n");
    /* Unit 1 row 4 fails C1, row 5 passes; C5 on unit 1 passes. Unknown ids never repeat. */
    const struct { uint32_t routine; int row; uint32_t option; uint16_t units, want; } kCases[] = {
        { 0xC1, 4, 8, 1, OUTCOME_FAILED },   { 0xC1, 4, 1, 1, OUTCOME_CONTINUE }, { 0xC1, 4, 3, 1, OUTCOME_REPEAT },
        { 0xC1, 4, 2, 1, OUTCOME_FAILED },   { 0xC1, 4, 5, 1, OUTCOME_FAILED },   { 0xC1, 4, 1, 2, OUTCOME_FAILED },
        { 0xC1, 4, 3, 2, OUTCOME_FAILED },   { 0xC1, 5, 8, 1, OUTCOME_CONTINUE }, { 0xC1, 5, 2, 1, OUTCOME_REPEAT },
        { 0xC1, 5, 3, 1, OUTCOME_REPEAT },   { 0xC1, 5, 7, 1, OUTCOME_CONTINUE }, { 0xC1, 5, 2, 2, OUTCOME_CONTINUE },
        { 0xC5, 5, 8, 1, OUTCOME_CONTINUE },
        { 0xD0, 5, 8, 1, OUTCOME_UNKNOWN_ROUTINE }, { 0xD0, 5, 2, 1, OUTCOME_UNKNOWN_ROUTINE },
        { 0xD0, 5, 3, 1, OUTCOME_UNKNOWN_ROUTINE }, { 0xBF, 5, 8, 1, OUTCOME_UNKNOWN_ROUTINE },
        { 0xD9, 5, 8, 1, OUTCOME_UNKNOWN_ROUTINE }, { 0xC0 + 0x100, 5, 8, 1, OUTCOME_UNKNOWN_ROUTINE },
    };
    for (auto &c : kCases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.routine << " option " << c.option << " units " << c.units
                                        << " row " << c.row);
        Select(1, { c.row }, c.routine, c.units);
        g_run.runOption = c.option;
        size_t mark = Mark();
        EXPECT_EQ(c.want, Dispatch());
        EXPECT_EQ(c.routine, g_run.routineId);
        if (c.want == OUTCOME_UNKNOWN_ROUTINE) {
            EXPECT_EQ(0, Count(mark, " Start", true)) << "nothing is sent";
        }
    }

    /* C0 whose C1 leaves no row: C2 and C4 do not run; the run goes on with routineId C0. */
    size_t mark = Mark();
    Select(1, { 4 }, 0xC0);
    g_run.runOption = 8;
    EXPECT_EQ(OUTCOME_CONTINUE, Dispatch());
    EXPECT_EQ(0xC0u, g_run.routineId);
    EXPECT_EQ(1, g_statusCalls);
    EXPECT_EQ(Counts(mark, { "C0 Routine Start.", "Inquiry Start" }), (std::vector<int>{ 1, 0 }));
    ExpectCodes(1, { { 4, 0xC102 } });

    /* CF on unit 0: sixteen commands, four status refreshes, C4's code for row 1. */
    mark = Mark();
    Select(0, { 1, 2 }, 0xCF, 2);
    EXPECT_EQ(OUTCOME_CONTINUE, Dispatch());
    EXPECT_EQ(0xCFu, g_run.routineId);
    EXPECT_EQ(4, g_statusCalls);
    ExpectCodes(0, { { 1, 0xC403 } });
    int commands = 0;
    for (int n : Counts(mark, { "Unit Ready Start", "Request Sense Start", "Inquiry Start", "Stop Unit Start",
                                "Start Unit Start", "Self Test Start" }))
        commands += n;
    EXPECT_EQ(16, commands);
    EXPECT_EQ("C4 03 05 ", Dump());

    /* A user stop (debug mode's Stop button) ends the run whatever the option; no report. */
    size_t reports = Reports().size();
    g_run.cfg.displayMode = DISPLAY_INTERACTIVE;
    g_run.cfg.debugMode = 1;
    ConfigureRoutines(g_run.cfg);
    Select(0, { 0 }, 0xC1);
    g_run.runOption = 3;
    DWORD tid = GetCurrentThreadId();
    std::atomic<bool> pressed{ false };
    std::thread presser([&] {
        for (int i = 0; i < 400 && !pressed; i++, Sleep(25)) {
            HWND found = nullptr;
            EnumThreadWindows(tid, [](HWND w, LPARAM l) -> BOOL {
                return GetDlgItem(w, IDC_COM_STOP) ? (*(HWND *)l = w, FALSE) : TRUE;
            }, LPARAM(&found));
            if (found)
                pressed = PostMessageA(found, WM_COMMAND, IDC_COM_STOP, 0);
        }
    });
    EXPECT_EQ(OUTCOME_STOPPED, Dispatch());
    presser.join();
    EXPECT_TRUE(pressed);
    g_run.cfg.displayMode = DISPLAY_AUTOMATIC;
    g_run.cfg.debugMode = 0;
    ConfigureRoutines(g_run.cfg);
    EXPECT_EQ(0, Code(0, 0));
    EXPECT_EQ(reports, Reports().size());
}
