/* The suite-wide time divisor, linked into every program, DLL and tool of the suite.
 * MTP_TIME_DIVISOR (a whole number from 1, default 1) divides every timer period, pumped-wait
 * limit and sleep; counts (ticks, attempts, passes) stay as they are. */
#pragma once
#include <stdint.h>

/* Read once, on first use; any thread. Anything but a whole number from 1 counts as 1. */
uint32_t MtpTimeDivisor();
/* Milliseconds divided by the divisor, at least 1 for a non-zero input. */
uint32_t MtpScaleMs(uint32_t ms);
