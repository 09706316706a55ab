/* Vestra.exe as its own process in automatic runs against the simulators: the outcome bytes of
 * the launch block, the reports the diagnosis log received, and the launcher's table. */
#include "tests/routines/rtest.h"
#include "base/launch.h"
#include <stdio.h>
#include <string.h>

enum : DWORD { RUN_MS = 90000 };
enum : size_t { BLOCK_LEN = 1024 };

/* Drive 0001 fails its self test, 0002 has a foreign vendor, unit 1's self test times out. */
static const char kFaults[] = "[Drive.0001]\nSelfTest=05\n[Drive.0002]\nVendor=OLDVEND1\n"
                              "[Fault]\n0100.SELFTEST=timeout*3\n";

static testing::Environment *const g_env = testing::AddGlobalTestEnvironment(new SimEnv);

TEST(AutomaticRun, OutcomeBytesAndReportsInBothLaunchModes)
{
    for (uint8_t mode : { uint8_t(LAUNCH_AUTOMATIC), uint8_t(LAUNCH_AUTOMATIC_TMPDIR) }) {
        SCOPED_TRACE(int(mode));
        UseSims(kFaults);
        char name[32];
        unsigned long number = (GetCurrentProcessId() << 8) + mode;
        snprintf(name, sizeof name, "DIAGAPI%08lx", number);
        HANDLE map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, BLOCK_LEN, name);
        uint8_t *lb = map ? (uint8_t *)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
        ASSERT_NE(nullptr, lb);
        memset(lb, 0, BLOCK_LEN);
        lb[LB_LAUNCH_MODE] = mode;
        lb[LB_ROUTINE] = 0xCF;
        lb[LB_END_STATUS] = 0xEE;
        const uint32_t select[ROW_COUNT] = { 0xC0000000u, 0xC0000000u, 0x80000000u, 0x80000000u };
        LaunchPutSelect(lb, select);
        EXPECT_EQ(0, WaitExit(StartProgram("Vestra.exe", name + 7), RUN_MS));

        EXPECT_EQ(0, lb[LB_END_STATUS]);
        EXPECT_EQ(0xFF, lb[LB_ERROR_FLAG]);
        /* The last error: unit 1's time-out, unit and row first; the bytes after them still
         * hold the vendor that C2 reported on unit 0. */
        const uint8_t lastError[] = { 0xC4, 0xE3, 0x01, 0x00, 'D', 'V', 'E', 'N', 'D', '1' };
        EXPECT_EQ(0, memcmp(lb + LB_ERROR_ROUTINE, lastError, sizeof lastError));
        uint32_t errors[ROW_COUNT], want[ROW_COUNT] = { 0x40000000u, 0xC0000000u, 0x80000000u };
        LaunchGetErrors(lb, errors);
        EXPECT_EQ(std::vector<uint32_t>(want, want + ROW_COUNT), std::vector<uint32_t>(errors, errors + ROW_COUNT));

        std::string tmp = mode == LAUNCH_AUTOMATIC_TMPDIR ? "TmpConfig=1 From=0D" : "TmpConfig=0 From=0D";
        auto rep = Reports();
        ASSERT_EQ(3u, rep.size());
        EXPECT_EQ(0u, rep[0].find("CR#=0002 MP=80 Routine=C2 Step=03 ErrorCode=C203 "
                                  "Detail=4F 4C 44 56 45 4E 44 31 ")) << rep[0];
        EXPECT_EQ(0u, rep[1].find("CR#=0001 MP=80 Routine=C4 Step=03 ErrorCode=C403 Detail=05 4C 44 ")) << rep[1];
        EXPECT_EQ(0u, rep[2].find("CR#=0100 MP=81 Routine=C4 Step=E3 ErrorCode=C4E3 Detail=01 00 44 ")) << rep[2];
        for (auto &r : rep)
            EXPECT_EQ(tmp, r.substr(r.size() - tmp.size()));
        UnmapViewOfFile(lb);
        CloseHandle(map);
    }
}

TEST(AutomaticRun, LauncherTableShowsCodesAndTexts)
{
    UseSims(kFaults);
    /* A diagnosis log line of an earlier run, and a line that does not read, change nothing. */
    WriteFileBytes(g_diagLog, "2024/01/01 00:00:00.000 CR#=0003 MP=80 Routine=C1 Step=02 ErrorCode=C102\r\n");
    int rc = -1;
    std::string out = RunCapture("Launcher.exe", "--drives 0:0-3,1:0-1", &rc);
    EXPECT_EQ(1, rc) << out;
    for (const char *line : { "HDD00-00         pass   0000\r\n",
                              "HDD00-01         FAIL   0001 C403   SELF TEST failed.",
                              "HDD00-02         FAIL   0002 C203   Data compare error(Vendor ID).",
                              "HDD00-03         pass   0003",
                              "HDD01-00         FAIL   0100 C4E3   Communication of between DKC and MTP was TIME OUT.",
                              "HDD01-01         FAIL   0101 C4E3*  Communication of between DKC and MTP was TIME OUT." })
        EXPECT_NE(std::string::npos, out.find(line)) << line << "\n" << out;
}
