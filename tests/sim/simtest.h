/* Helpers of the simulator tests. This process plays the program's side as AP "0D": its
 * receive handlers keep every message, it starts DkcSim.exe / DiagLogSim.exe, sends requests
 * built byte by byte and reassembles the replies. */
#pragma once
#include "sim/sim.h"
#include "tests/support/support.h"
#include <string>
#include <vector>

enum : uint32_t { TEST_DIVISOR = 10, PEER_EXIT_MS = 30000, REPLY_MS = 30000 };
enum : uint16_t { TEST_APNO = 0x0D };

/* Starts exe as apId (see Peer) once what earlier peers sent is dropped. */
bool StartPeer(Peer *p, const char *exe, const char *apId);

struct Received {
    uint16_t             kind, from, func, mpid;
    std::vector<uint8_t> data;
    DWORD                at;     /* tick when the handler took it */
};
bool NextMessage(Received *out, DWORD timeoutMs);
size_t PendingMessages();
void DropMessages();

std::vector<uint8_t> Request83(uint8_t unit, const std::vector<int> &rows, const uint8_t cdb[DREQ_CDB_LEN]);
std::vector<uint8_t> Request89(uint8_t fc, uint8_t sf, uint8_t kind, uint8_t sub, uint16_t mpid,
                               const std::vector<uint16_t> &crs);
/* A drive command to "09" over route 0, mpid as both MP ids. */
bool SendDrive(const std::vector<uint8_t> &req, uint16_t mpid);

/* One reply message taken apart (its prefix checked against its length). */
struct Segment {
    uint16_t             func, mpid;
    uint8_t              flags, p, f;
    std::vector<uint8_t> seg;
    DWORD                at;
};
bool NextSegment(Segment *s, DWORD timeoutMs, std::string *why);

/* An FC 0x83 reply reassembled with every structural rule checked: function word, first and
 * last flags, P in sequence, F, exactly 75 040 bytes. */
struct Reply83 {
    std::vector<uint8_t> head;      /* the first segment's 20 bytes */
    std::vector<uint8_t> data;
    uint32_t             segments;
    uint16_t             mpid;
    DWORD                firstAt;
};
bool Collect83(Reply83 *r, DWORD timeoutMs, std::string *why);
/* FC 0x89 / 0xBE: segments through the end segment or a data segment with a return code. */
bool CollectExchange(std::vector<Segment> *segs, uint8_t fc, DWORD timeoutMs, std::string *why);
const uint8_t *Block(const Reply83 &r, int row);
/* For failure messages: where two byte strings first differ. */
std::string FirstDifference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b);

/* An error report as the error report window sends it. */
std::vector<uint8_t> Report(uint8_t unit, uint8_t row, uint8_t mp, uint8_t routine, uint8_t step,
                            const std::vector<uint8_t> &detail, uint8_t tmpConfig);
