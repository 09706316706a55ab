/* The launcher: starts Vestra.exe for an automatic run through a launch block, follows the run
 * in the maintenance trace log and reports each selected drive (table, JSON, CSV). One thread
 * (the main one) apart from the console's stop handler, which only sets an event. */
#pragma once
#include "base/launch.h"
#include "sim/sense.h"
#include <windows.h>
#include <stdint.h>

enum : uint32_t { LAUNCH_UNITS = UNIT_COUNT, LAUNCH_ROWS = ROW_COUNT };
enum : size_t { DRIVE_TEXT_MAX = 128, LOCATION_MAX = 16 };

/* Exit status by class. */
enum : int { EXIT_PASSED = 0, EXIT_FAILED = 1, EXIT_NOT_TESTED = 2, EXIT_USAGE = 3 };

/* How the run came to its end. */
enum RunEnd : uint8_t { END_COMPLETED, END_EARLY, END_NO_OUTCOME, END_TIME_OUT, END_USER_STOP };
enum Outcome : uint8_t { OUT_PASSED, OUT_FAILED, OUT_NOT_TESTED };
enum Reason : uint8_t { WHY_NONE, WHY_TIME_OUT, WHY_USER_STOP, WHY_RUN_ENDED, WHY_NOT_EQUIPPED };

struct LaunchArgs {
    uint8_t  mode = 0xFF;
    uint8_t  routine = 0xCF;
    uint32_t select[LAUNCH_ROWS] = {};      /* as asked, equipped or not */
    unsigned long number = 0;
    DWORD    timeoutMs = INFINITE;
    int      json = 0, quiet = 0, all = 0;  /* all: every equipped drive */
    const char *csv = nullptr;
};

/* What the trace log told of the run so far. */
struct RunWatch {
    uint8_t  units[LAUNCH_UNITS];           /* units to be tested, ascending */
    uint8_t  firstRow[LAUNCH_UNITS];        /* their first drive */
    uint32_t unitCount;
    uint32_t unitsBegun;                    /* units whose diagnosis opened */
    int      routineOfUnit;                 /* the begun unit's routine has started */
    uint8_t  routineRun;                    /* CF or C0 as the program runs it (from the request
                                             * until the trace says) */
    int      routineSeen;
    uint8_t  subRoutine;                    /* C1..C4 under way */
    uint16_t drive;                         /* PDEV of the drive under test */
    uint32_t pausesSeen;                    /* C3 passes started in the begun unit */
    DWORD    unitStartMs, doneUnitsMs;      /* for the estimate: the begun unit's start, whole units */
    int      ended;                         /* "VESTRA END" */
};

/* One selected drive's result. */
struct DriveResult {
    char     location[LOCATION_MAX];
    uint8_t  unit, row;
    Outcome  outcome;
    Reason   reason;
    uint16_t code;                          /* error code, 0 when none */
    int      shared;                        /* the code came from a report for the whole unit */
    uint8_t  mp;                            /* path of the report */
    int      hasReport;
    uint8_t  detail[LB_DETAIL_LEN];
    int      hasSense;
    SenseBytes sense;
    char     text[DRIVE_TEXT_MAX];
};

struct RunInfo {
    LaunchArgs args;
    uint32_t   tested[LAUNCH_ROWS];         /* the request: selected and equipped */
    SYSTEMTIME start, end;
    double     elapsedS;
    DWORD      programExit;
    RunEnd     how;
    RunWatch   watch;
    const uint8_t *lb;
    DriveResult drives[LAUNCH_UNITS * LAUNCH_ROWS];
    uint32_t   driveCount;
    int        exitCode;
};

/* launchwatch.cpp */
/* Starts following the trace log of the program with process id pid from its current end;
 * routine: the one asked for. */
void WatchBegin(RunWatch *w, const uint32_t *tested, uint8_t routine, DWORD pid);
/* Reads the lines written since the last call; shows progress on stderr unless quiet. */
void WatchPoll(RunWatch *w, int quiet, DWORD elapsedMs);
/* Ends the progress line. */
void WatchEnd(int quiet);

/* launchresult.cpp */
/* Judges every selected drive from the launch block, the diagnosis log written since offset
 * logFrom and what the watch saw; sets how, drives and exitCode. */
void JudgeRun(RunInfo *run, const char *diagLog, long logFrom, HMODULE program);
void PrintTable(const RunInfo *run);
void PrintJson(const RunInfo *run);
/* 1 when the CSV file was written whole. */
int WriteCsv(const RunInfo *run, const char *path);
const char *ExitMeaning(int exitCode);
