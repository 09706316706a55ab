/* Each selected drive's result: the launch block's outcome, the reports the diagnosis log took
 * during the run, and how far the trace log says the run came; written as a table, as JSON
 * (schema 1, docs/launcher.md) and as CSV. Main thread. */
#include "sim/launcher.h"
#include "svclib/mtpsvc.h"
#include <nlohmann/json.hpp>
#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <string>

enum : uint16_t { COMMON_TEXT_BASE = 0xEC00 };
enum : uint8_t { COMMON_STEP_FIRST = 0xE0, COMMON_STEP_LAST = 0xEF, STEP_TIME_OUT = 0xE3 };
enum : size_t { LOG_LINE_MAX = 1024 };

struct Report { uint16_t code; uint8_t mp; uint8_t detail[LB_DETAIL_LEN]; int has; };
static Report g_reports[LAUNCH_UNITS][LAUNCH_ROWS];
static Report g_unitTimeOut[LAUNCH_UNITS];   /* a time-out reported once for the whole unit */

static const char *const kEnds[] = { "completed", "ended-early", "no-outcome", "time-out", "user-stop" };
static const char *const kOutcomes[] = { "passed", "failed", "not-tested" };
static const char *const kReasons[] = { nullptr, "time-out", "user-stop", "run-ended", "not-equipped" };

/* count hex bytes right after key (each followed by a blank or the line's end); 0 when not there. */
static int HexAfter(const char *line, const char *key, unsigned digits, unsigned count, uint8_t *out)
{
    const char *at = strstr(line, key);
    if (!at)
        return 0;
    at += strlen(key);
    for (unsigned i = 0; i < count * digits / 2; i++) {
        unsigned v = 0;
        if (sscanf(at, "%2x", &v) != 1 || !isxdigit((unsigned char)at[0]) || !isxdigit((unsigned char)at[1]))
            return 0;
        out[i] = uint8_t(v);
        at += 2;
        if (digits == 2 && *at == ' ')
            at++;
    }
    return 1;
}

/* The reports since offset `from` (the last one of a drive wins). The log is another program's
 * file: lines that do not read are skipped. */
static void ReadReports(const char *path, long from)
{
    memset(g_reports, 0, sizeof g_reports);
    memset(g_unitTimeOut, 0, sizeof g_unitTimeOut);
    FILE *f = fopen(path, "rb");
    if (!f)
        return;
    char line[LOG_LINE_MAX];
    if (fseek(f, from, SEEK_SET) == 0) {
        while (fgets(line, sizeof line, f)) {
            uint8_t cr[2], code[2];
            Report r = {};
            if (!HexAfter(line, "CR#=", 4, 1, cr) || !HexAfter(line, "ErrorCode=", 4, 1, code) ||
                !HexAfter(line, "MP=", 2, 1, &r.mp) || !HexAfter(line, "Detail=", 2, LB_DETAIL_LEN, r.detail))
                continue;
            r.code = uint16_t(code[0] << 8 | code[1]);
            r.has = 1;
            if (cr[0] >= LAUNCH_UNITS || cr[1] >= LAUNCH_ROWS || r.code == 0)
                continue;
            g_reports[cr[0]][cr[1]] = r;
            if (uint8_t(r.code) == STEP_TIME_OUT)
                g_unitTimeOut[cr[0]] = r;
        }
    }
    fclose(f);
}

/* Text of an error code from the program's string table (the common steps share 0xEC00 | step). */
static void ErrorText(HMODULE program, uint16_t code, char *text, int len)
{
    uint8_t step = uint8_t(code);
    UINT id = step >= COMMON_STEP_FIRST && step <= COMMON_STEP_LAST ? COMMON_TEXT_BASE | step : code;
    if (!program || LoadStringA(program, id, text, len) <= 0)
        text[0] = '\0';
}

/* Index of a unit in the run's list; unitCount when absent. */
static uint32_t UnitIndex(const RunWatch &w, uint32_t unit)
{
    uint32_t i = 0;
    while (i < w.unitCount && w.units[i] != unit)
        i++;
    return i;
}

static void Judge(RunInfo *run, DriveResult *d, HMODULE program, int outcomeWritten, int allUnitsDone)
{
    const RunWatch &w = run->watch;
    uint32_t bit = UnitBit(d->unit), i = UnitIndex(w, d->unit);
    const Report &own = g_reports[d->unit][d->row];
    const Report *rep = own.has ? &own : g_unitTimeOut[d->unit].has ? &g_unitTimeOut[d->unit] : nullptr;
    int failed = outcomeWritten ? (GetLe32(run->lb + LB_DRIVE_ERROR + 4 * d->row) & bit) != 0 : rep != nullptr;
    /* A unit is done once the next one began, or it was the last begun and the program wrote
     * its outcome after the unit's routine started. */
    int done = allUnitsDone || i + 1 < w.unitsBegun ||
               (i + 1 == w.unitsBegun && w.routineOfUnit && outcomeWritten);
    if (!(run->tested[d->row] & bit)) {
        d->outcome = OUT_NOT_TESTED, d->reason = WHY_NOT_EQUIPPED;
    } else if (failed) {
        d->outcome = OUT_FAILED;
        d->shared = rep != &own;
        if (rep) {
            d->hasReport = 1;
            d->code = rep->code;
            d->mp = rep->mp;
            memcpy(d->detail, rep->detail, LB_DETAIL_LEN);
        } else {
            d->code = uint16_t(run->lb[LB_ERROR_ROUTINE] << 8 | run->lb[LB_ERROR_STEP]);
            memcpy(d->detail, run->lb + LB_ERROR_DETAIL, LB_DETAIL_LEN);
        }
        ErrorText(program, d->code, d->text, sizeof d->text);
        d->hasSense = SenseOfError(d->code, d->detail, &d->sense);
    } else if (done) {
        d->outcome = OUT_PASSED;
    } else {
        d->outcome = OUT_NOT_TESTED;
        d->reason = run->how == END_TIME_OUT ? WHY_TIME_OUT : run->how == END_USER_STOP ? WHY_USER_STOP : WHY_RUN_ENDED;
    }
}

void JudgeRun(RunInfo *run, const char *diagLog, long logFrom, HMODULE program)
{
    ReadReports(diagLog, logFrom);
    int killed = run->how == END_TIME_OUT || run->how == END_USER_STOP;
    int outcomeWritten = !killed && run->lb[LB_END_STATUS] != LB_END_STATUS_UNSET;
    /* A trace log that told nothing (unreadable elsewhere): the written outcome alone counts. */
    int allUnitsDone = outcomeWritten && run->watch.unitsBegun == 0 && !run->watch.ended;
    int failed = 0, untested = 0;
    run->driveCount = 0;
    for (uint32_t u = 0; u < LAUNCH_UNITS; u++)
        for (uint32_t r = 0; r < LAUNCH_ROWS; r++) {
            if (!(run->args.select[r] & UnitBit(u)))
                continue;
            DriveResult *d = &run->drives[run->driveCount++];
            memset(d, 0, sizeof *d);
            d->unit = uint8_t(u), d->row = uint8_t(r);
            uint16_t ec = 0;
            if (!mtp_GetPdevLocation(uint16_t(u << 8 | r), 0, d->location, sizeof d->location, &ec))
                d->location[0] = '\0';
            d->location[sizeof d->location - 1] = '\0';
            Judge(run, d, program, outcomeWritten, allUnitsDone);
            failed |= d->outcome == OUT_FAILED;
            untested |= d->outcome == OUT_NOT_TESTED && d->reason != WHY_NOT_EQUIPPED;
        }
    if (!killed)
        run->how = !outcomeWritten ? END_NO_OUTCOME : untested ? END_EARLY : END_COMPLETED;
    run->exitCode = failed ? EXIT_FAILED : untested ? EXIT_NOT_TESTED : EXIT_PASSED;
}

const char *ExitMeaning(int exitCode)
{
    static const char *const k[] = { "every selected drive passed", "at least one drive failed",
                                     "not every selected drive was tested", "usage or launch error" };
    return exitCode >= 0 && exitCode <= EXIT_USAGE ? k[exitCode] : "unknown";
}

static std::string Hex(unsigned v, int digits)
{
    char b[12];
    snprintf(b, sizeof b, "%0*X", digits, v);
    return b;
}

static std::string DetailHex(const uint8_t *d)
{
    char s[LB_DETAIL_LEN * 3] = "";
    for (size_t i = 0; i < LB_DETAIL_LEN; i++)
        snprintf(s + 3 * i, 4, i + 1 < LB_DETAIL_LEN ? "%02X " : "%02X", d[i]);
    return s;
}

static std::string SenseLine(const DriveResult &d)
{
    char t[SENSE_TEXT_LEN];
    SenseText(d.sense, t, sizeof t);
    return t;
}

static const char *Location(const DriveResult &d) { return d.location[0] ? d.location : "------"; }

static int Count(const RunInfo *run, Outcome o)
{
    int n = 0;
    for (uint32_t i = 0; i < run->driveCount; i++)
        n += run->drives[i].outcome == o;
    return n;
}

void PrintTable(const RunInfo *run)
{
    const uint8_t *lb = run->lb;
    printf("%-16s %-10s %-4s %-6s %s\n", "HDD", "Result", "PDEV", "Code", "Contents");
    for (uint32_t i = 0; i < run->driveCount; i++) {
        const DriveResult &d = run->drives[i];
        if (d.outcome == OUT_PASSED) {
            printf("%-16s %-10s %02X%02X\n", Location(d), "pass", d.unit, d.row);
        } else if (d.outcome == OUT_NOT_TESTED) {
            printf("%-16s %-10s %02X%02X        %s\n", Location(d), "not tested", d.unit, d.row, kReasons[d.reason]);
        } else {
            /* A code reported once for the unit (a time-out) or taken from the run's last error is
             * marked '*'. */
            printf("%-16s %-10s %02X%02X %04X%c  %s\n", Location(d), "FAIL", d.unit, d.row, d.code,
                   d.shared ? '*' : ' ', d.text[0] ? d.text : " ");
            if (d.hasSense)
                printf("%-16s %-10s      sense  %s\n", "", "", SenseLine(d).c_str());
        }
    }
    printf("Last error: routine %02X step %02X detail %s\n", lb[LB_ERROR_ROUTINE], lb[LB_ERROR_STEP],
           DetailHex(lb + LB_ERROR_DETAIL).c_str());
    printf("End status %02X, error flag %02X (%s)\n", lb[LB_END_STATUS], lb[LB_ERROR_FLAG], kEnds[run->how]);
    printf("%lu selected: %d passed, %d failed, %d not tested; exit %d: %s\n", (unsigned long)run->driveCount,
           Count(run, OUT_PASSED), Count(run, OUT_FAILED), Count(run, OUT_NOT_TESTED), run->exitCode,
           ExitMeaning(run->exitCode));
}

static std::string Time(const SYSTEMTIME &t)
{
    char b[32];
    snprintf(b, sizeof b, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond, t.wMilliseconds);
    return b;
}

typedef nlohmann::ordered_json Json;

static Json DriveJson(const DriveResult &d)
{
    int f = d.outcome == OUT_FAILED;
    Json s = nullptr;
    if (d.hasSense)
        s = { { "key", Hex(d.sense.key, 2) },
              { "asc", d.sense.hasAsc ? Json(Hex(d.sense.asc, 2)) : Json(nullptr) },
              { "ascq", d.sense.hasAscq ? Json(Hex(d.sense.ascq, 2)) : Json(nullptr) },
              { "text", SenseLine(d) } };
    return { { "location", d.location[0] ? Json(d.location) : Json(nullptr) },
             { "pdev", Hex(d.unit << 8 | d.row, 4) }, { "unit", d.unit }, { "row", d.row },
             { "outcome", kOutcomes[d.outcome] },
             { "reason", d.reason ? Json(kReasons[d.reason]) : Json(nullptr) },
             { "errorCode", f ? Json(Hex(d.code, 4)) : Json(nullptr) },
             { "errorText", f && d.text[0] ? Json(d.text) : Json(nullptr) },
             { "sharedReport", f ? Json(bool(d.shared)) : Json(nullptr) },
             { "mpId", f && d.hasReport ? Json(Hex(d.mp, 2)) : Json(nullptr) },
             { "detail", f ? Json(DetailHex(d.detail)) : Json(nullptr) }, { "sense", s } };
}

void PrintJson(const RunInfo *run)
{
    const uint8_t *lb = run->lb;
    const LaunchArgs &a = run->args;
    int automatic = a.mode == LAUNCH_AUTOMATIC || a.mode == LAUNCH_AUTOMATIC_TMPDIR;
    int ran = run->watch.routineSeen || run->how == END_COMPLETED || run->how == END_EARLY;
    Json raw = { { "endStatus", lb[LB_END_STATUS] }, { "errorFlag", lb[LB_ERROR_FLAG] },
                 { "errorRoutine", lb[LB_ERROR_ROUTINE] }, { "errorStep", lb[LB_ERROR_STEP] },
                 { "errorDetail", Json::array() }, { "driveError", Json::array() } };
    for (size_t i = 0; i < LB_DETAIL_LEN; i++)
        raw["errorDetail"].push_back(lb[LB_ERROR_DETAIL + i]);
    for (uint32_t r = 0; r < LAUNCH_ROWS; r++)
        raw["driveError"].push_back(GetLe32(lb + LB_DRIVE_ERROR + 4 * r));
    Json drives = Json::array();
    for (uint32_t i = 0; i < run->driveCount; i++)
        drives.push_back(DriveJson(run->drives[i]));
    Json j = { { "schema", 1 },
               { "routine", { { "asked", Hex(a.routine, 2) }, { "run", ran ? Json(Hex(run->watch.routineRun, 2)) : Json(nullptr) } } },
               /* The block carries no run option; an automatic run always uses 8. */
               { "runOption", { { "asked", nullptr }, { "run", ran && automatic ? Json(8) : Json(nullptr) } } },
               { "launchMode", Hex(a.mode, 2) },
               { "start", Time(run->start) }, { "end", Time(run->end) },
               { "elapsedSeconds", double(long(run->elapsedS * 1000)) / 1000 },
               { "endStatus", kEnds[run->how] },
               { "exitStatus", run->exitCode }, { "exitMeaning", ExitMeaning(run->exitCode) },
               { "programExitCode", run->programExit },
               { "summary", { { "selected", run->driveCount }, { "passed", Count(run, OUT_PASSED) },
                              { "failed", Count(run, OUT_FAILED) }, { "notTested", Count(run, OUT_NOT_TESTED) } } },
               { "launchBlock", raw }, { "drives", drives } };
    printf("%s\n", j.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
}

/* One CSV field, quoted when it holds a comma, quote or line end. */
static std::string Csv(const std::string &v)
{
    if (v.find_first_of(",\"\r\n") == std::string::npos)
        return v;
    std::string q = "\"";
    for (char c : v)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

int WriteCsv(const RunInfo *run, const char *path)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        return 0;
    fputs("location,pdev,unit,row,outcome,reason,errorCode,errorText,sharedReport,mpId,detail,"
          "senseKey,senseAsc,senseAscq,senseText\r\n", f);
    for (uint32_t i = 0; i < run->driveCount; i++) {
        Json j = DriveJson(run->drives[i]), s = j["sense"];
        std::string line;
        for (const char *k : { "location", "pdev", "unit", "row", "outcome", "reason", "errorCode", "errorText",
                               "sharedReport", "mpId", "detail" }) {
            const Json &v = j[k];
            line += Csv(v.is_null() ? "" : v.is_string() ? v.get<std::string>() : v.dump()) + ",";
        }
        for (const char *k : { "key", "asc", "ascq", "text" }) {
            const Json v = s.is_null() ? Json(nullptr) : s[k];
            line += Csv(v.is_null() ? "" : v.get<std::string>()) + (strcmp(k, "text") ? "," : "\r\n");
        }
        fputs(line.c_str(), f);
    }
    return fclose(f) == 0;
}
