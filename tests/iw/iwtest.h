/* Shared by the messaging layer's tests: the trace log and this process's AP id. */
#pragma once
#include "iw/iw.h"
#include "tests/support/support.h"
#include <string>
#include <vector>

struct TraceLine { uint32_t pid; uint16_t kind; std::string text; };
/* Current end of the trace log; TraceSince gives the lines written after it. */
size_t TraceMark();
std::vector<TraceLine> TraceSince(size_t mark);
std::vector<std::string> TraceTexts(size_t mark, DWORD pid = 0, int kind = -1);
int CountWith(const std::vector<std::string> &texts, const std::string &part);

/* Lines since mark whose text contains part (and whose kind is kind, unless -1). */
inline int Count(size_t mark, const std::string &part, int kind = -1) { return CountWith(TraceTexts(mark, 0, kind), part); }
/* Sets this process's own AP id as mtp1_iwini would, without starting a thread. */
inline void BeApId(const char *apId) { IwNormaliseApId(apId, g_iw.ownApId, &g_iw.ownApNo); }
