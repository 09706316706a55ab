/* Helpers of the simulator tests. This process plays the program's side as AP "0D" (no
 * description, time divisor TEST_DIVISOR): its receive handlers keep every message. */
#pragma once
#include "sim/sim.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <vector>

enum : uint32_t { TEST_DIVISOR = 10, REPLY_MS = 30000 };
enum : uint16_t { TEST_APNO = 0x0D };
typedef std::vector<uint8_t> Bytes;

struct Received {
    uint16_t kind, from, func, mpid;
    Bytes    data;
};
/* Starts exe as apId (see Peer) once what earlier peers sent is dropped. */
bool StartPeer(Peer *p, const char *exe, const char *apId);
/* Takes the next kept message, waiting timeoutMs at most (0: only one already there). */
bool NextMessage(Received *out, DWORD timeoutMs);
