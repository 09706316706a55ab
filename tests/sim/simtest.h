/* Helpers of the simulator tests. This process plays the program's side as AP "0D" (no
 * description, time divisor TEST_DIVISOR): its receive handlers keep every message, it sends
 * requests built byte by byte and reassembles the replies with every structural rule checked. */
#pragma once
#include "sim/sim.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

enum : uint32_t { TEST_DIVISOR = 10, REPLY_MS = 30000 };
enum : uint16_t { TEST_APNO = 0x0D };
typedef std::vector<uint8_t> Bytes;

/* Starts exe as apId (see Peer) once what earlier peers sent is dropped. */
bool StartPeer(Peer *p, const char *exe, const char *apId);

struct Received {
    uint16_t kind, from, func, mpid;
    Bytes    data;
    DWORD    at;     /* tick when the handler took it */
};
/* Takes the next kept message, waiting timeoutMs at most (0: only one already there). */
bool NextMessage(Received *out, DWORD timeoutMs);
void DropMessages();

Bytes Request83(uint8_t unit, const std::vector<int> &rows, const uint8_t cdb[DREQ_CDB_LEN]);
Bytes Request89(uint8_t fc, uint8_t sf, uint8_t kind, uint8_t sub, uint16_t mpid, const std::vector<uint16_t> &crs);
/* A drive command to "09" over route 0, mpid as both MP ids. */
bool SendDrive(const Bytes &req, uint16_t mpid);

/* One reply message taken apart. */
struct Segment {
    uint16_t func, mpid;
    uint8_t  flags, p, f;
    Bytes    seg;
    DWORD    at;
};
/* An FC 0x83 reply: the first segment's head, 75 040 bytes of data. */
struct Reply83 {
    Bytes    head, data;
    uint32_t segments;
    uint16_t mpid;
    DWORD    firstAt;
};
/* Sends an FC 0x83 request and collects its reply: prefix length, function word, P in
 * sequence, F, first and last flags, one MP, exactly R83_LEN bytes. */
testing::AssertionResult Cmd83(Reply83 *r, uint16_t mpid, uint8_t unit, const std::vector<int> &rows, const uint8_t *cdb);
/* One FC 0x89 exchange (FC 0xBE for SUB_READ) up to its end segment or a refusal. */
testing::AssertionResult CmdPath(std::vector<Segment> *segs, uint8_t sub, uint16_t mpid, const std::vector<uint16_t> &crs);
const uint8_t *Block(const Reply83 &r, int row);
/* The bytes at these offsets. */
Bytes At(const uint8_t *p, std::initializer_list<size_t> offsets);

/* An error report as the error report window sends it. */
Bytes Report(uint8_t unit, uint8_t row, uint8_t mp, uint8_t routine, uint8_t step, const Bytes &detail, uint8_t tmpConfig);
