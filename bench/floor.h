/* The floor of the benchmarks: a bare handshake between two processes over the messaging
 * layer's kinds of objects, without trace or history. */
#pragma once
#include "iw/iw.h"
#include <vector>

#define FLOOR_AP "2A"

/* The bare receiver of FLOOR_AP, as a thread of the peer process; ends when stop is set. */
DWORD WINAPI FloorReceiver(void *stop);
/* One bare transfer of len bytes to FLOOR_AP; 0 when confirmed. */
int FloorSend(const uint8_t *data, uint32_t len);
double NowUs();
double Median(std::vector<double> v);
