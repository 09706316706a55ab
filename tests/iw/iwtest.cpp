#include "tests/iw/iwtest.h"
#include <string.h>

enum : size_t { LOG_PID_COL = 24, LOG_KIND_COL = 33, LOG_TEXT_COL = 38 };

static std::string LogPath()
{
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("MTP_TRACE_LOG", path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path) : std::string("c:\\trn600\\log\\mtptrace.log");
}

size_t TraceMark() { return ReadFileBytes(LogPath()).size(); }

std::vector<TraceLine> TraceSince(size_t mark)
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

std::vector<std::string> TraceTexts(size_t mark, DWORD pid, int kind)
{
    std::vector<std::string> out;
    for (auto &l : TraceSince(mark))
        if ((!pid || l.pid == pid) && (kind < 0 || l.kind == kind))
            out.push_back(l.text);
    return out;
}

int CountWith(const std::vector<std::string> &texts, const std::string &part)
{
    int n = 0;
    for (auto &t : texts)
        n += t.find(part) != std::string::npos;
    return n;
}
