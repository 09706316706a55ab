/* Helpers of the messaging layer's tests: the trace log, and a bare receiver that confirms
 * whatever arrives for one AP id. */
#pragma once
#include "iw/iw.h"
#include <string>
#include <vector>

struct TraceLine {
    uint32_t    pid;
    uint16_t    kind;
    std::string text;
};

/* Current end of the trace log; LogSince gives the lines written after it. */
size_t LogMark();
std::vector<TraceLine> LogSince(size_t mark);
/* Lines whose text contains part (and whose kind is kind, unless kind is -1). */
int CountLines(const std::vector<TraceLine> &lines, const std::string &part, int kind = -1);
/* Lines of one process, in order. */
std::vector<TraceLine> LinesOf(const std::vector<TraceLine> &lines, uint32_t pid);
/* Text against a pattern in which '*' stands for any run of characters. */
bool Matches(const char *pattern, const char *text);
/* The log cannot be waited on: looks every 10 ms, up to timeoutMs. True when found. */
bool WaitForLogLine(size_t mark, const std::string &part, DWORD timeoutMs);
/* Sets this process's own AP id as mtp1_iwini would, without starting a thread. */
void BeApId(const char *apId);

/* A bare receiver thread for one AP id: RECV signalled, confirms every block. */
struct Catcher {
    char     apId[IW_APID_LEN];
    HANDLE   recv, send, recvOk, stop, thread;
    LONG     count;
    IwHeader last;
};
void StartCatcher(Catcher *c, const char *apId);
void StopCatcher(Catcher *c);
