#include "tests/routines/rtest.h"
#include "tests/support/support.h"

std::string g_dir, g_diagLog;
static HANDLE g_dkc, g_log;
static int g_seq;

static void QuitSims()
{
    for (auto s : { std::make_pair(&g_dkc, "09"), std::make_pair(&g_log, "05") })
        if (*s.first) {
            EXPECT_EQ(0, QuitSimulator(*s.first, s.second)) << s.second;
            *s.first = nullptr;
        }
}

void SimEnv::SetUp()
{
    g_dir = TempDir();
    SetEnv("MTP_TRACE_LOG", (g_dir + "trace.log").c_str());
    SetEnv("MTP_TIME_DIVISOR", std::to_string(DIVISOR).c_str());
}

void SimEnv::TearDown() { QuitSims(); }

void UseSims(const std::string &lines)
{
    QuitSims();
    g_seq++;
    std::string path = g_dir + "desc" + std::to_string(g_seq) + ".ini";
    WriteFileBytes(path, "[Subsystem]\nMessageBox=trace\n" + lines + "\n");
    SetEnv("MTP_SUBSYSTEM_INI", path.c_str());
    g_diagLog = g_dir + "diag" + std::to_string(g_seq) + ".txt";
    SetEnv("MTP_DIAG_LOG", g_diagLog.c_str());
    g_dkc = StartSimulator("DkcSim.exe", "09");
    g_log = StartSimulator("DiagLogSim.exe", "05");
    ASSERT_NE(nullptr, g_dkc);
    ASSERT_NE(nullptr, g_log);
}

std::vector<std::string> Reports()
{
    std::vector<std::string> out;
    for (auto &l : ReadLines(g_diagLog)) {
        size_t at = l.find("CR#=");
        out.push_back(at == std::string::npos ? l : l.substr(at));
    }
    return out;
}
