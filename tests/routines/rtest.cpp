#include "tests/routines/rtest.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <stdio.h>

std::string g_dir, g_diagLog;
HANDLE g_dkc, g_log;
static int g_seq;

HANDLE StartSim(const char *exe, const char *apId) { return StartSimulator(exe, apId); }

int QuitSim(HANDLE *p, const char *apId)
{
    if (!*p)
        return 0;
    int rc = QuitSimulator(*p, apId);
    *p = nullptr;
    return rc;
}

/* Both simulators on a new description (lines joined by CRLF) and a new diagnosis log. */
void UseSims(const std::string &lines)
{
    EXPECT_EQ(0, QuitSim(&g_dkc, "09"));
    EXPECT_EQ(0, QuitSim(&g_log, "05"));
    std::string text = "[Subsystem]\r\nMessageBox=trace\r\n", path;
    for (size_t pos = 0; pos < lines.size();) {
        size_t nl = lines.find('\n', pos);
        if (nl == std::string::npos)
            nl = lines.size();
        text += lines.substr(pos, nl - pos) + "\r\n";
        pos = nl + 1;
    }
    g_seq++;
    path = g_dir + "desc" + std::to_string(g_seq) + ".ini";
    WriteFileBytes(path, text);
    SetEnv("MTP_SUBSYSTEM_INI", path.c_str());
    g_diagLog = g_dir + "diag" + std::to_string(g_seq) + ".txt";
    SetEnv("MTP_DIAG_LOG", g_diagLog.c_str());
    g_dkc = StartSim("DkcSim.exe", "09");
    g_log = StartSim("DiagLogSim.exe", "05");
    ASSERT_NE(nullptr, g_dkc);
    ASSERT_NE(nullptr, g_log);
}

/* Diagnosis log lines from "CR#=" on. */
std::vector<std::string> Reports()
{
    std::vector<std::string> out;
    for (auto &l : ReadLines(g_diagLog)) {
        size_t at = l.find("CR#=");
        out.push_back(at == std::string::npos ? l : l.substr(at));
    }
    return out;
}

int CountPrefix(const std::vector<std::string> &lines, const std::string &prefix)
{
    int n = 0;
    for (auto &l : lines)
        n += l.compare(0, prefix.size(), prefix) == 0;
    return n;
}

