/* Shared by the messaging layer's tests. */
#pragma once
#include "iw/iw.h"
#include "tests/support/support.h"

/* Lines since mark whose text contains part (and whose kind is kind, unless -1). */
inline int Count(size_t mark, const std::string &part, int kind = -1) { return int(GrepLines(TraceTexts(mark, 0, kind), part).size()); }
/* Sets this process's own AP id as mtp1_iwini would, without starting a thread. */
inline void BeApId(const char *apId) { IwNormaliseApId(apId, g_iw.ownApId, &g_iw.ownApNo); }
