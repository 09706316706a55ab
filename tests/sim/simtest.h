/* Helpers of the simulator tests. The test process plays the program's side: it runs the
 * messaging as AP "0D" with its own receive handlers, which keep every message that arrives,
 * starts DkcSim.exe / DiagLogSim.exe, sends them requests built byte by byte, and reassembles
 * what comes back. */
#pragma once
#include "sim/sim.h"
#include <string>
#include <vector>

enum : uint32_t { TEST_DIVISOR = 10, PEER_START_MS = 30000, PEER_EXIT_MS = 30000, REPLY_MS = 30000 };
enum : uint16_t { TEST_APNO = 0x0D };

struct TestFiles {
    std::string dir, trace, diagLog;
};
/* Once per process: temporary folder, trace log, diagnosis log, time divisor, and the own
 * messaging as "0D" with the keeping handlers. */
const TestFiles &Files();
/* Points the peers started next at a new description with this text (CRLF added per line). */
std::string UseDescription(const std::string &text);
/* Points them at an absent description (built-in subsystem). */
void UseNoDescription();

struct Peer {
    HANDLE      process;
    HANDLE      recv;           /* the peer's RECV event */
    std::string apId, quit;
};
/* Starts exe of bin/ as apId and waits (bounded) for its RECV event. */
bool StartPeer(Peer *p, const char *exe, const char *apId, const std::string &extraArgs = "");
/* Sets its quit event and returns its exit code (-1 when it did not end in time). */
int StopPeer(Peer *p);

/* A message this process received. */
struct Received {
    uint16_t             kind, from, func, mpid;
    std::vector<uint8_t> data;
    DWORD                at;     /* tick when the handler took it */
};
/* Oldest message not yet taken; false when none comes within timeoutMs. */
bool NextMessage(Received *out, DWORD timeoutMs);
size_t PendingMessages();
void DropMessages();

/* Requests, byte by byte as the program builds them. */
std::vector<uint8_t> Request83(uint8_t unit, const std::vector<int> &rows, const uint8_t cdb[DREQ_CDB_LEN]);
std::vector<uint8_t> Request89(uint8_t fc, uint8_t sf, uint8_t kind, uint8_t sub, uint16_t mpid,
                               const std::vector<uint16_t> &crs);
/* Sends a drive command to "09" over route 0 with mpid as both MP ids. */
bool SendDrive(const std::vector<uint8_t> &req, uint16_t mpid);

/* One reply message taken apart: flags of the prefix, P, F, segment data. */
struct Segment {
    uint16_t             func, mpid;     /* of the message's header */
    uint8_t              flags, p, f;
    std::vector<uint8_t> seg;
    DWORD                at;
};
/* Takes the next message apart, checking its prefix against its length; false with why. */
bool NextSegment(Segment *s, DWORD timeoutMs, std::string *why);

/* An FC 0x83 reply reassembled as the program does, with every structural rule checked: first
 * and last flags, P in sequence, F 0x83, payload length = copy length, exactly 75 040 bytes. */
struct Reply83 {
    std::vector<uint8_t> head;      /* the first segment's 20 bytes */
    std::vector<uint8_t> data;      /* 75 040 bytes */
    uint32_t             segments;
    DWORD                firstAt;
};
bool Collect83(Reply83 *r, DWORD timeoutMs, std::string *why);
/* FC 0x89 / 0xBE: segments up to and including the end segment, or up to a data segment with a
 * non-zero return code. */
bool CollectExchange(std::vector<Segment> *segs, uint8_t fc, DWORD timeoutMs, std::string *why);

/* Row block R of an FC 0x83 reply. */
const uint8_t *Block(const Reply83 &r, int row);
/* Trace log lines (text from column 38) of one kind written since mark (a byte offset). */
size_t TraceMark();
std::vector<std::string> TraceSince(size_t mark, uint16_t kind);
