/* Helpers of the messaging layer's tests: the trace log and this process's AP id. */
#pragma once
#include "iw/iw.h"
#include "tests/support/support.h"
#include <string>
#include <vector>

/* Current end of the trace log; LogSince gives the lines written after it. */
size_t LogMark();
std::vector<TraceLine> LogSince(size_t mark);
/* Lines whose text contains part (and whose kind is kind, unless kind is -1). */
int CountLines(const std::vector<TraceLine> &lines, const std::string &part, int kind = -1);
/* Sets this process's own AP id as mtp1_iwini would, without starting a thread. */
void BeApId(const char *apId);
