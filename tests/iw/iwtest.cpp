#include "tests/iw/iwtest.h"
#include "tests/support/support.h"
#include <string.h>

enum : size_t { LOG_PID_COL = 24, LOG_KIND_COL = 33, LOG_TEXT_COL = 38 };

static std::string LogPath()
{
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("MTP_TRACE_LOG", path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path) : std::string("c:\\trn600\\log\\mtptrace.log");
}

size_t LogMark() { return ReadFileBytes(LogPath()).size(); }

std::vector<TraceLine> LogSince(size_t mark)
{
    std::vector<TraceLine> out;
    std::string all = ReadFileBytes(LogPath());
    for (size_t pos = mark, nl; pos < all.size() && (nl = all.find("\r\n", pos)) != std::string::npos; pos = nl + 2) {
        std::string line = all.substr(pos, nl - pos);
        if (line.size() >= LOG_TEXT_COL)
            out.push_back({ uint32_t(strtoul(line.substr(LOG_PID_COL, 8).c_str(), nullptr, 16)),
                            uint16_t(strtoul(line.substr(LOG_KIND_COL, 4).c_str(), nullptr, 16)),
                            line.substr(LOG_TEXT_COL) });
    }
    return out;
}

int CountLines(const std::vector<TraceLine> &lines, const std::string &part, int kind)
{
    int n = 0;
    for (auto &l : lines)
        n += l.text.find(part) != std::string::npos && (kind < 0 || l.kind == kind);
    return n;
}

void BeApId(const char *apId) { IwNormaliseApId(apId, g_iw.ownApId, &g_iw.ownApNo); }
