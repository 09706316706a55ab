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
    size_t pos = mark;
    while (pos < all.size()) {
        size_t nl = all.find("\r\n", pos);
        if (nl == std::string::npos)
            break;
        std::string line = all.substr(pos, nl - pos);
        pos = nl + 2;
        if (line.size() < LOG_TEXT_COL)
            continue;
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

std::vector<TraceLine> LinesOf(const std::vector<TraceLine> &lines, uint32_t pid)
{
    std::vector<TraceLine> out;
    for (auto &l : lines)
        if (l.pid == pid)
            out.push_back(l);
    return out;
}

bool Matches(const char *pattern, const char *text)
{
    if (*pattern == '\0')
        return *text == '\0';
    if (*pattern == '*')
        return Matches(pattern + 1, text) || (*text && Matches(pattern, text + 1));
    return *pattern == *text && Matches(pattern + 1, text + 1);
}

bool WaitForLogLine(size_t mark, const std::string &part, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (CountLines(LogSince(mark), part) > 0)
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(10);
    }
}

void BeApId(const char *apId)
{
    IwNormaliseApId(apId, g_iw.ownApId, &g_iw.ownApNo);
}

static DWORD WINAPI CatcherThread(void *arg)
{
    Catcher *c = (Catcher *)arg;
    char dataName[IW_NAME_LEN];
    HANDLE waits[2] = { c->send, c->stop };
    IwFormatName(dataName, IW_FMT_DATA, c->apId);
    while (WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0) {
        ResetEvent(c->send);
        HANDLE map = OpenFileMappingA(FILE_MAP_READ, FALSE, dataName);
        const void *view = map ? MapViewOfFile(map, FILE_MAP_READ, 0, 0, 0) : nullptr;
        if (view)
            memcpy(&c->last, view, HDR_SIZE);
        if (view)
            UnmapViewOfFile(view);
        if (map)
            CloseHandle(map);
        /* Closed before the confirmation, as the receive thread does: the sender's next
         * block needs a fresh mapping. */
        if (view) {
            InterlockedIncrement(&c->count);
            SetEvent(c->recvOk);
        }
    }
    return 0;
}

void StartCatcher(Catcher *c, const char *apId)
{
    char name[IW_NAME_LEN];
    memset(c, 0, sizeof *c);
    strcpy(c->apId, apId);
    IwFormatName(name, IW_FMT_RECV, apId);
    IwFormatName(name, IW_FMT_SEND, apId);
    c->send = IwCreateEvent(TRUE, FALSE, name);
    IwFormatName(name, IW_FMT_RECV_OK, apId);
    c->recvOk = IwCreateEvent(TRUE, FALSE, name);
    c->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    c->thread = CreateThread(nullptr, 0, CatcherThread, c, 0, nullptr);
    IwFormatName(name, IW_FMT_RECV, apId);
    c->recv = IwCreateEvent(TRUE, TRUE, name);
    SetEvent(c->recv);
}

void StopCatcher(Catcher *c)
{
    SetEvent(c->stop);
    WaitForSingleObject(c->thread, 10000);
    ResetEvent(c->recv);
    for (HANDLE h : { c->thread, c->stop, c->recvOk, c->send, c->recv })
        CloseHandle(h);
}
