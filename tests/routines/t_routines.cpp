/* The routines in process against the controller and diagnosis log simulators: this test
 * process is the program (AP 0D) with its real session and transport; each scenario restarts
 * the simulators on its own description and diagnosis log. Then, the session closed, Vestra.exe
 * in automatic runs against them. */
#include "tests/routines/routines_test.h"
#include "base/launch.h"
#include "res/resource.h"
#include <stdio.h>
#include <algorithm>
#include <numeric>

enum : DWORD { DIVISOR = 25 };   /* MTP_TIME_DIVISOR: shorter time-outs miss replies on a loaded machine */
static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new RoutinesEnv(DIVISOR));

/* The reports the log received since the last look: exactly these, each starting with its text. */
static void ExpectReports(std::initializer_list<const char *> want)
{
    auto rep = g_sims.Reports();
    std::string all;
    for (auto &r : rep)
        all += "\n  " + r;
    ASSERT_EQ(g_reportsChecked + want.size(), rep.size()) << all;
    for (const char *w : want)
        EXPECT_EQ(0u, rep[g_reportsChecked++].find(w)) << w << all;
}

/* Runs fn (by default the routine of routineId) on the selection and checks "result/failKind",
 * the error codes of the unit under test ("row:code ...") and the new reports. */
static void Check(const std::string &result, const char *codes, std::initializer_list<const char *> reports,
                  RoutineFn fn = nullptr)
{
    uint16_t failKind = 0;
    uint32_t passed = (fn ? fn : FindRoutine(g_run.routineId))(g_run.cfg.mainWnd, &failKind);
    EXPECT_EQ(result, std::to_string(passed) + "/" + std::to_string(failKind));
    char got[16 * ROW_COUNT] = "";
    for (uint32_t row = 0, at = 0; row < ROW_COUNT && UnitUnderTest() < UNIT_COUNT; row++)
        if (uint16_t code = g_run.driveTable[UnitUnderTest()][row].errorCode)
            at += snprintf(got + at, sizeof got - at, "%s%u:%04X", at ? " " : "", unsigned(row), code);
    EXPECT_STREQ(codes, got);
    ExpectReports(reports);
}
static uint32_t Open(HWND wnd, uint16_t *failKind) { return uint32_t(StartDiag(wnd, failKind)); }
static uint32_t Close(HWND wnd, uint16_t *failKind) { return uint32_t(EndDiag(wnd, failKind)); }
/* The dispatcher as a routine: its result 1, the outcome in place of the fail kind. */
static uint32_t Dispatch(HWND wnd, uint16_t *outcome) { return uint32_t(RunRoutine(wnd, outcome)); }
static std::string Outcome(uint16_t outcome) { return "1/" + std::to_string(outcome); }

/* How many trace lines from mark on (this process's and the simulators') contain each text. */
static std::vector<int> Counts(size_t mark, std::initializer_list<const char *> texts)
{
    std::vector<int> out;
    auto t = TraceTexts(mark);
    for (const char *s : texts)
        out.push_back(int(GrepLines(t, s).size()));
    return out;
}

/* The trace lines from mark on that are one of texts, in order. */
static std::vector<std::string> Order(size_t mark, std::initializer_list<const char *> texts)
{
    std::vector<std::string> out;
    for (auto &t : TraceTexts(mark))
        if (std::find(texts.begin(), texts.end(), t) != texts.end())
            out.push_back(t);
    return out;
}

static std::vector<uint8_t> Record() { return std::vector<uint8_t>(g_err.errorRecord, g_err.errorRecord + 3); }

/* ---- codes and records, no simulator ---- */

TEST(Report, TextsRecordsAndLaunchBlockCopy)
{
    /* The common steps E0 to EF share one text whatever the routine; a code without a text gets " ". */
    const char *const timeOut = "Communication of between DKC and MTP was TIME OUT.";
    const struct { uint16_t code; const char *text; } kTexts[] = { { 0xC1E3, timeOut }, { 0xA0E3, timeOut },
        { 0xCFE9, "End Inline command was failed." }, { 0xC403, "SELF TEST failed." }, { 0xD005, " " },
        { 0xC1EB, " " } };
    for (auto &t : kTexts) {
        LoadErrorText(t.code);
        EXPECT_STREQ(t.text, g_err.errorContents) << std::hex << t.code;
    }
    EXPECT_EQ((std::vector<UINT>{ 0xECE0, 0xECEF, 0xC4DF }),
              (std::vector<UINT>{ ErrorTextId(0xC4E0), ErrorTextId(0xC4EF), ErrorTextId(0xC4DF) }));

    /* Interactive: the dump; a second report keeps the detail bytes it does not set. */
    Configure(DISPLAY_INTERACTIVE);
    g_run.routineId = 0xC1, g_err.errorStep = 0x02;
    memset(g_err.errorDetail, 0, sizeof g_err.errorDetail);
    g_err.errorDetail[0] = 0x02, g_err.errorDetail[1] = 0x77;
    SetErrorInfo(REPORT_COUNT);
    EXPECT_STREQ("C1 02 02 77 00 00 00 00 00 00 00 00 00 00 00 00 ", g_err.errorCodeText);
    EXPECT_STREQ("TEST UNIT READY command was failed.", g_err.errorContents);
    g_err.errorStep = 0x06, g_err.errorDetail[0] = 0x04;
    SetErrorInfo(REPORT_COUNT);
    EXPECT_STREQ("C1 06 04 77 00 00 00 00 00 00 00 00 00 00 00 00 ", g_err.errorCodeText);

    /* Automatic: the launch block carries the record, the dump stays. */
    uint8_t block[1024];
    memset(block, 0xAA, sizeof block);
    Configure(DISPLAY_AUTOMATIC, 0, block);
    std::string before = g_err.errorCodeText;
    g_run.routineId = 0xC4, g_err.errorStep = 0x03, g_err.errorDetail[0] = 0x05;
    SetErrorInfo(REPORT_COUNT);
    EXPECT_EQ(before, g_err.errorCodeText);
    EXPECT_EQ((std::vector<uint8_t>{ 0xAA, 0xC4, 0x03, 0x05, 0x77 }), std::vector<uint8_t>(block + 336, block + 341));
    EXPECT_EQ((std::vector<uint8_t>{ 0x00, 0xAA }), std::vector<uint8_t>(block + 354, block + 356));
    Configure(DISPLAY_AUTOMATIC);

    /* Recording: inside the table only; a drive outside it changes nothing. */
    Select(3, { 5, 6 }, 0xC4);
    Check("1/0", "5:C403", {}, [](HWND, uint16_t *) {
        for (auto d : { std::make_pair(3, 5), { 32, 6 }, { 3, 80 }, { 255, 255 } })
            RecordDriveError(d.first, d.second);
        return 1u;
    });
    EXPECT_EQ((std::vector<uint8_t>{ 0, 1 }), std::vector<uint8_t>(g_run.rowSelected + 5, g_run.rowSelected + 7));
    const DriveEntry *all = &g_run.driveTable[0][0];
    EXPECT_EQ(1, std::count_if(all, all + UNIT_COUNT * ROW_COUNT, [](const DriveEntry &e) { return e.errorCode; }));
}

TEST(RoutineC1, PerRowFailuresTimeOutsNoRowLeftAndUnansweredReports)
{
    Sims("[Drive.0002]\nSense=0,4,0\n[Fault]\n0001.TUR=error:0x08\n0003.TUR=missingrow\n0005.TUR=wrongrow\n"
         "0104.TUR=error:0x02\n0105.TUR=error:0x03\n0200.TUR=timeout*3\n");
    size_t mark = TraceMark();
    memset(g_err.errorDetail, 0, sizeof g_err.errorDetail);
    /* Row 3's entry is missing; row 5's names row 6, which is recorded in its place. Detail bytes
     * are never cleared: byte 0 still holds the earlier error byte. */
    Select(0, { 0, 1, 2, 3, 5 }, 0xC1);
    Check("1/4", "1:C102 2:C106 3:C102 6:C102", { "CR#=0001 MP=80 Routine=C1 Step=02 ErrorCode=C102 Detail=08 00 ",
                                                  "CR#=0003 MP=80 Routine=C1 Step=02 ErrorCode=C102 Detail=08 77 ",
                                                  "CR#=0006 MP=80 Routine=C1 Step=02 ErrorCode=C102 Detail=08 76 ",
                                                  "CR#=0002 MP=80 Routine=C1 Step=06 ErrorCode=C106 Detail=04 76 ",
                                                  "CR#=0006 MP=90 Routine=C1 Step=02 ErrorCode=C102 Detail=04 76 " });
    EXPECT_EQ(std::vector<uint8_t>({ 1, 0, 0, 0, 0, 1, 0, 0 }),
              std::vector<uint8_t>(g_run.rowSelected, g_run.rowSelected + 8)) << "still under test: rows 0 and 5";
    EXPECT_EQ(Counts(mark, { "Unit Ready Start", "Request Sense Start", "C1 Routine Start. CRdev#=0000 MPID=0080",
                             "C1 Routine Start. CRdev#=0000 MPID=0090" }), (std::vector<int>{ 2, 2, 1, 1 }));

    /* Every row fails TEST UNIT READY on the first path: nothing more is sent. */
    mark = TraceMark();
    Select(1, { 4, 5 }, 0xC1);
    Check("0/4", "4:C102 5:C102", { "CR#=0104 MP=81 Routine=C1 Step=02 ErrorCode=C102 Detail=02 ",
                                    "CR#=0105 MP=81 Routine=C1 Step=02 ErrorCode=C102 Detail=03 " });
    EXPECT_EQ(Counts(mark, { "Unit Ready Start", "Request Sense Start", "MPID=0091" }), (std::vector<int>{ 1, 0, 0 }));

    /* Time-out after three attempts: one report, every selected row recorded with step E3. */
    Select(2, { 0, 3 }, 0xC1);
    DWORD t0 = GetTickCount();
    Check("0/1", "0:C1E3 3:C1E3", { "CR#=0200 MP=82 Routine=C1 Step=E3 ErrorCode=C1E3 Detail=02 00 " });
    EXPECT_GE(GetTickCount() - t0, 3u * COM_TIMEOUT_S * 1000 / DIVISOR);
    EXPECT_EQ(0, g_run.rowSelected[3]);

    /* A diagnosis log that never answers costs each report its full wait; the drives are still
     * recorded and the routine goes on. */
    Sims("[DiagLog]\nAck=0\n[Fault]\n0001.TUR=error:0x02\n0002.TUR=error:0x02\n");
    Select(0, { 0, 1, 2 }, 0xC1);
    t0 = GetTickCount();
    Check("1/4", "1:C102 2:C102", { "CR#=0001 MP=80 Routine=C1 Step=02 ErrorCode=C102 ",
                                    "CR#=0002 MP=80 Routine=C1 Step=02 ErrorCode=C102 " });
    EXPECT_GE(GetTickCount() - t0, 2u * REPORT_WAIT_S * 1000 / DIVISOR);
}

TEST(RoutinesC2ToC5, VendorsSelfTestStopStartAndDriveValue)
{
    Sims("[Drive.0003]\nVendor=ZEPHRONX\n[Drive.0001]\nSelfTest=05\n[Drive.0006]\nVendor=QUILLION\n"
         "[Drive.0203]\nNeverReady=1\n[Drive.0100]\nDriveValue=0x31\n[Fault]\n0004.SELFTEST=error:0x02\n"
         "0004.INQUIRY=error:0x09\n0202.STOP=error:0x04\n0300.DRIVEREAD=timeout*3\n");
    /* Unit 0 row 2 has the third vendor, row 6 the second. */
    for (int row : { 2, 6 }) {
        Select(0, { row }, 0xC2);
        Check("1/4", "", {});
        EXPECT_EQ(row == 2 ? 3 : 2, g_err.vendorMatch);
    }

    /* C2: the failing drives are not asked again on the second path. */
    size_t mark = TraceMark();
    Select(0, { 0, 1, 2, 3, 4 }, 0xC2);
    Check("1/4", "3:C203 4:C202", { "CR#=0003 MP=80 Routine=C2 Step=03 ErrorCode=C203 Detail=5A 45 50 48 52 4F 4E 58 ",
                                    "CR#=0004 MP=80 Routine=C2 Step=02 ErrorCode=C202 Detail=09 " });
    EXPECT_EQ(Counts(mark, { "MP=0090 INQUIRY C=00 rows=3", "C2 Routine Start. CRdev#=0000 MPID=0090" }),
              (std::vector<int>{ 1, 1 }));

    /* C4: the result byte and the command's error byte. */
    mark = TraceMark();
    Select(0, { 0, 1, 4, 5 }, 0xC4);
    Check("1/4", "1:C403 4:C402", { "CR#=0001 MP=80 Routine=C4 Step=03 ErrorCode=C403 Detail=05 ",
                                    "CR#=0004 MP=80 Routine=C4 Step=02 ErrorCode=C402 Detail=02 " });
    EXPECT_EQ((std::vector<uint8_t>{ 0xC4, 0x02, 0x02 }), Record());
    EXPECT_EQ(Counts(mark, { "Self Test Start" }), (std::vector<int>{ 2 }));

    /* C3: both pauses; a drive failing STOP is not started, one never gets ready. On each path:
     * stop, start, ready, sense. */
    mark = TraceMark();
    Select(2, { 0, 1, 2, 3 }, 0xC3);
    DWORD t0 = GetTickCount();
    Check("1/4", "2:C302 3:C307", { "CR#=0202 MP=82 Routine=C3 Step=02 ErrorCode=C302 Detail=04 ",
                                    "CR#=0203 MP=82 Routine=C3 Step=07 ErrorCode=C307 Detail=02 " });
    EXPECT_GE(GetTickCount() - t0, 2u * DELAY_C3_S * 1000 / DIVISOR);
    EXPECT_EQ(Counts(mark, { "MP=0082 START C=02 rows=3", "Stop Unit Start" }), (std::vector<int>{ 1, 2 }));
    std::vector<std::string> path;
    for (int p = 0; p < 2; p++)
        path.insert(path.end(), { "Stop Unit End", "Start Unit Start", "Unit Ready Start", "Request Sense Start" });
    EXPECT_EQ(path, Order(mark, { "Stop Unit End", "Start Unit Start", "Unit Ready Start", "Request Sense Start" }));

    /* C5: a Drive Read per path; the drive value fails without reading or changing the selection
     * and records nothing; a time-out records nothing either. */
    mark = TraceMark();
    Select(0, { 3 }, 0xC5);
    Check("1/4", "", {});
    EXPECT_EQ(Counts(mark, { "C5 Routine Start. CRdev#=0000 MPID=0080", "C5 Routine Start. CRdev#=0000 MPID=0090",
                             "DRIVEREAD CR#=0000" }), (std::vector<int>{ 1, 1, 2 }));
    Select(1, { 3 }, 0xC5);
    Check("0/4", "", { "CR#=0100 MP=81 Routine=C5 Step=01 ErrorCode=C501 " });
    EXPECT_EQ(1, g_run.rowSelected[3]);
    Select(3, { 5 }, 0xC5);
    Check("0/1", "", { "CR#=0300 MP=83 Routine=C5 Step=E3 ErrorCode=C5E3 Detail=03 00 " });
}

TEST(Framing, BypassedDrivesRefusalsAndInline)
{
    Sims("[Drive.0007]\nBypassed=B\n[Drive.0105]\nBypassed=A\n[Drive.0301]\nBypassed=AB\n"
         "[Fault]\n0105.RESETBYPASS=rc:0x0F001740\n0200.CHECKBYPASS=rc:0x0F001741\n"
         "0301.LIP=timeout*3\n0302.STARTINLINE=rc:0x0F0017AA\n");
    /* Row 7 bypassed on path B only: reset and LIP there, it answers on path B again, and is
     * bypassed again at the end; automatic runs send no inline commands. */
    size_t mark = TraceMark();
    Select(0, { 6, 7 }, 0xC1);
    Check("1/0", "", {}, Open);
    EXPECT_EQ((std::vector<int>{ BYPASS_NONE, BYPASS_FOUND, BYPASS_NONE }),
              (std::vector<int>{ BypassState(7, 0), BypassState(7, 1), BypassState(6, 1) }));
    EXPECT_EQ(Counts(mark, { "Check Bypass Start", "MP=0090 RESETBYPASS", "MP=0090 LIP" }), std::vector({ 2, 1, 1 }));
    Check("1/4", "", {});
    Check("1/0", "", {}, Close);
    EXPECT_EQ(Counts(mark, { "MP=0090 SETBYPASS", "MP=0080 SETBYPASS", "Start Inline Start", "End Inline Start" }),
              (std::vector<int>{ 1, 0, 0, 0 }));

    /* Reset Bypass refused: the row is out, not restored at the end; the other row runs. */
    mark = TraceMark();
    Select(1, { 5, 6 }, 0xC1);
    Check("1/0", "5:C1E2", { "CR#=0105 MP=81 Routine=C1 Step=E2 ErrorCode=C1E2 Detail=0F 00 17 40 " }, Open);
    EXPECT_EQ(0, g_run.rowSelected[5]);
    EXPECT_EQ(BYPASS_FAILED, BypassState(5, 0));
    Check("1/0", "5:C1E2", {}, Close);
    EXPECT_EQ(Counts(mark, { "MP=0081 LIP", " SETBYPASS" }), (std::vector<int>{ 0, 0 }));

    /* Check Bypass refused: every selected row reported, the diagnosis does not open. */
    Select(2, { 0, 1 }, 0xC3);
    Check("0/4", "0:C3E1 1:C3E1", { "CR#=0200 MP=82 Routine=C3 Step=E1 ErrorCode=C3E1 Detail=0F 00 17 41 ",
                                    "CR#=0201 MP=82 Routine=C3 Step=E1 ErrorCode=C3E1 Detail=0F 00 17 41 " }, Open);

    /* LIP timed out: one time-out report, the row recorded; no row left. */
    Select(3, { 1 }, 0xC1);
    Check("0/4", "1:C1E3", { "CR#=0301 MP=83 Routine=C1 Step=E3 ErrorCode=C1E3 Detail=03 01 " }, Open);
    EXPECT_EQ(BYPASS_FAILED, BypassState(1, 0));

    /* Interactive: Start Inline after the bypass check, End Inline before Set Bypass. */
    mark = TraceMark();
    Configure(DISPLAY_INTERACTIVE);
    Select(0, { 7 }, 0xC1);
    Check("1/0", "", {}, Open);
    Check("1/0", "", {}, Close);
    EXPECT_EQ(Counts(mark, { "MP=0080 STARTINLINE", "MP=0080 ENDINLINE" }), (std::vector<int>{ 1, 1 }));
    EXPECT_EQ(Order(mark, { "Check Bypass Start", "Reset Bypass Start", "Lip Start", "Start Inline Start",
                            "End Inline Start", "Set Bypass Start" }),
              (std::vector<std::string>{ "Check Bypass Start", "Check Bypass Start", "Reset Bypass Start", "Lip Start",
                                         "Start Inline Start", "End Inline Start", "Set Bypass Start" }));

    /* Start Inline refused: every selected row reported, no stop, the trace names the return code. */
    mark = TraceMark();
    Select(3, { 2, 3 }, 0xC1);
    Check("0/0", "2:C1E9 3:C1E9", { "CR#=0302 MP=83 Routine=C1 Step=E9 ErrorCode=C1E9 Detail=0F 00 17 AA ",
                                    "CR#=0303 MP=83 Routine=C1 Step=E9 ErrorCode=C1E9 Detail=0F 00 17 AA " }, Open);
    Configure(DISPLAY_AUTOMATIC);
    EXPECT_EQ(Counts(mark, { "Start Diag was failed.  Return Code : 0f0017aa" }), (std::vector<int>{ 1 }));

    /* D8 opens without a command. */
    mark = TraceMark();
    Select(0, { 7 }, 0xD8);
    Check("1/0", "", {}, Open);
    EXPECT_EQ(Counts(mark, { "Check Bypass Start" }), (std::vector<int>{ 0 }));
}

/* ---- dispatcher, run options, composites ---- */

/* The run options on what a routine gives, in process: without a row C1 fails and C0 (which
 * records and goes on) continues before anything is sent; unknown ids never run nor repeat.
 * The options count only with one unit under test. */
TEST(RunRoutine, RunOptions)
{
    const struct { uint32_t routine, option; uint16_t units, want; } kCases[] = {
        { 0xC1, 8, 1, OUTCOME_FAILED },   { 0xC1, 1, 1, OUTCOME_CONTINUE }, { 0xC1, 3, 1, OUTCOME_REPEAT },
        { 0xC1, 2, 1, OUTCOME_FAILED },   { 0xC1, 5, 1, OUTCOME_FAILED },   { 0xC1, 1, 2, OUTCOME_FAILED },
        { 0xC1, 3, 2, OUTCOME_FAILED },   { 0xC1, 1, 0, OUTCOME_FAILED },   { 0xC0, 8, 1, OUTCOME_CONTINUE },
        { 0xC0, 2, 1, OUTCOME_REPEAT },   { 0xC0, 3, 1, OUTCOME_REPEAT },   { 0xC0, 7, 1, OUTCOME_CONTINUE },
        { 0xC0, 2, 2, OUTCOME_CONTINUE }, { 0xC0, 3, 0, OUTCOME_CONTINUE },
        { 0xC6, 8, 1, OUTCOME_UNKNOWN_ROUTINE }, { 0xC6, 2, 1, OUTCOME_UNKNOWN_ROUTINE },
        { 0xC6, 3, 1, OUTCOME_UNKNOWN_ROUTINE }, { 0xBF, 8, 1, OUTCOME_UNKNOWN_ROUTINE },
        { 0xD9, 8, 1, OUTCOME_UNKNOWN_ROUTINE }, { 0xC0 + 0x100, 8, 1, OUTCOME_UNKNOWN_ROUTINE },
    };
    for (auto &c : kCases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.routine << " option " << c.option << " units " << c.units);
        Select(1, {}, c.routine, c.units);
        g_run.runOption = c.option;
        size_t mark = TraceMark();
        Check(Outcome(c.want), "", {}, Dispatch);
        EXPECT_EQ(c.routine, g_run.routineId);
        EXPECT_EQ(Counts(mark, { "Unit Ready Start", "DkcSim" }), (std::vector<int>{ 0, 0 })) << "nothing is sent";
    }
}

TEST(RunRoutine, CompositesAndStop)
{
    Sims("[Drive.0001]\nSelfTest=05\n[Fault]\n0104.TUR=error:0x02\n0000.TUR=slow:600000*1\n");
    /* C0 whose C1 leaves no row: C2 and C4 do not run; the run goes on with routineId C0. */
    size_t mark = TraceMark();
    Select(1, { 4 }, 0xC0);
    g_run.runOption = 8;
    Check(Outcome(OUTCOME_CONTINUE), "4:C102", { "CR#=0104 MP=81 Routine=C1 Step=02 ErrorCode=C102 Detail=02 " },
          Dispatch);
    EXPECT_EQ((std::vector<uint32_t>{ 0xC0, 1 }), (std::vector<uint32_t>{ g_run.routineId, uint32_t(g_statusCalls) }));
    EXPECT_EQ(Counts(mark, { "C0 Routine Start.", "Inquiry Start" }), (std::vector<int>{ 1, 0 }));

    /* CF on unit 0: sixteen commands, four status refreshes, C4's code for row 1. */
    mark = TraceMark();
    Select(0, { 1, 2 }, 0xCF, 2);
    Check(Outcome(OUTCOME_CONTINUE), "1:C403", { "CR#=0001 MP=80 Routine=C4 Step=03 ErrorCode=C403 Detail=05 " },
          Dispatch);
    EXPECT_EQ((std::vector<uint32_t>{ 0xCF, 4 }), (std::vector<uint32_t>{ g_run.routineId, uint32_t(g_statusCalls) }));
    auto n = Counts(mark, { "Unit Ready Start", "Request Sense Start", "Inquiry Start", "Stop Unit Start",
                            "Start Unit Start", "Self Test Start" });
    EXPECT_EQ(16, std::accumulate(n.begin(), n.end(), 0));
    EXPECT_EQ((std::vector<uint8_t>{ 0xC4, 0x03, 0x05 }), Record());

    /* A user stop (debug mode's Stop button) ends the run whatever the option; nothing is
     * reported or recorded. */
    Configure(DISPLAY_INTERACTIVE, 1);
    Select(0, { 0 }, 0xC1);
    g_run.runOption = 3;
    {
        DialogPresser stop(IDC_COM_STOP);
        Check(Outcome(OUTCOME_STOPPED), "", {}, Dispatch);
        EXPECT_EQ(1u, stop.texts.size());
    }
    Configure(DISPLAY_AUTOMATIC);
}

/* ---- Vestra.exe in automatic runs: the outcome bytes of the launch block, the reports ---- */

/* Drive 0001 fails its self test, 0002 has a foreign vendor, unit 1's self test times out. */
static const char kFaults[] = "[Drive.0001]\nSelfTest=05\n[Drive.0002]\nVendor=OLDVEND1\n"
                              "[Fault]\n0100.SELFTEST=timeout*3\n";

/* Vestra.exe on a launch block of the test's own (the mode, routine CF, the drives); the block's
 * bytes after the run and its drive errors. */
static std::vector<uint8_t> RunVestra(uint8_t mode, const uint32_t *select, std::vector<uint32_t> *errors)
{
    LaunchBlock b(mode, 0xCF, select);
    EXPECT_EQ(0, b.RunVestra(90000));
    *errors = b.Errors();
    return std::vector<uint8_t>(b.view, b.view + LB_LAUNCHER_SIZE);
}

/* An empty request ends at once without an error: the diagnosis of no unit does not open and
 * nothing is sent. Mode 0x10: the outcome bytes, and reports naming the temporary folder. (The
 * launcher has its own tests, tests/launcher.) */
TEST(AutomaticRun, OutcomeBytesAndReports)
{
    CloseCommunication();   /* Vestra.exe is the program now */
    Sims(kFaults);
    size_t mark = TraceMark();
    std::vector<uint32_t> errors;
    std::vector<uint8_t> lb = RunVestra(LAUNCH_AUTOMATIC, nullptr, &errors);
    EXPECT_EQ((std::vector<uint8_t>{ 0, 0 }), std::vector<uint8_t>(&lb[LB_END_STATUS], &lb[LB_ERROR_ROUTINE]));
    EXPECT_EQ(std::vector<uint32_t>(ROW_COUNT), errors);
    EXPECT_EQ(Counts(mark, { "DkcSim REQ" }), std::vector({ 0 }));

    const uint32_t select[ROW_COUNT] = { 0xC0000000u, 0xC0000000u, 0x80000000u, 0x80000000u };
    lb = RunVestra(LAUNCH_AUTOMATIC_TMPDIR, select, &errors);
    /* The last error: unit 1's time-out, unit and row first; the bytes after them still hold the
     * vendor that C2 reported on unit 0. */
    const uint8_t outcome[] = { 0x00, 0xFF, 0xC4, 0xE3, 0x01, 0x00, 'D', 'V', 'E', 'N', 'D', '1' };
    EXPECT_EQ(0, memcmp(&lb[LB_END_STATUS], outcome, sizeof outcome));
    std::vector<uint32_t> want = { 0x40000000u, 0xC0000000u, 0x80000000u };
    want.resize(ROW_COUNT);
    EXPECT_EQ(want, errors);
    ExpectReports({ "CR#=0002 MP=80 Routine=C2 Step=03 ErrorCode=C203 Detail=4F 4C 44 56 45 4E 44 31 ",
                    "CR#=0001 MP=80 Routine=C4 Step=03 ErrorCode=C403 Detail=05 4C 44 ",
                    "CR#=0100 MP=81 Routine=C4 Step=E3 ErrorCode=C4E3 Detail=01 00 44 " });
    for (auto &r : g_sims.Reports())
        EXPECT_EQ("TmpConfig=1 From=0D", r.substr(r.size() - 19)) << r;
}
