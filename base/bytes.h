/* Byte order of the suite's records: controller records are big-endian, the launch block and the
 * messaging layer's own files little-endian. Every layer and program reads and writes multi-byte
 * numbers of a byte buffer only through these. */
#pragma once
#include <stdint.h>

static inline uint16_t GetBe16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
static inline uint32_t GetBe32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
static inline void PutBe16(uint8_t *p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
static inline void PutBe32(uint8_t *p, uint32_t v)
{
    PutBe16(p, uint16_t(v >> 16));
    PutBe16(p + 2, uint16_t(v));
}

static inline uint16_t GetLe16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
static inline uint32_t GetLe32(const uint8_t *p) { return uint32_t(GetLe16(p)) | uint32_t(GetLe16(p + 2)) << 16; }
static inline void PutLe16(uint8_t *p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
static inline void PutLe32(uint8_t *p, uint32_t v)
{
    PutLe16(p, uint16_t(v));
    PutLe16(p + 2, uint16_t(v >> 16));
}
