/* Wire formats of drive commands between this program and the controller communication
 * application, and of error reports to the diagnosis log application: the drive request, the
 * reply message and its segments, the pass-through reply data, the Drive Read record and the
 * error report request with its acknowledgement. Used by the drive command layer, the routines
 * and the simulated peers; each offset is named here only. Multi-byte numbers are big-endian
 * (base/bytes.h).
 *
 * Drives are addressed by unit (0..31, high byte of a PDEV or CR#) and row (0..79, low byte).
 * A drive bitmap is u32[80]: word R holds the units of row R, unit C being bit 0x80000000 >> C. */
#pragma once
#include "base/bytes.h"
#include <stddef.h>
#include <stdint.h>

enum : uint32_t {
    UNIT_COUNT = 32,            /* units 0..31 */
    ROW_COUNT  = 80,            /* rows 0..79 */
};

/* Bit of a unit in a drive bitmap word; 0 for a unit outside the table. */
static inline uint32_t UnitBit(uint32_t unit) { return unit < UNIT_COUNT ? 0x80000000u >> unit : 0; }


/* Request: header, then the parameters of FC 0x83 or of FC 0x89 / 0xBE. */
enum : size_t {
    DREQ_FD = 0, DREQ_FC = 1, DREQ_SF = 2, DREQ_APID = 3,
    DREQ_UNIT = 12, DREQ_ROWCOUNT = 13, DREQ_ROWBITMAP = 20, DREQ_CDBLEN = 32, DREQ_DIR = 33,
    DREQ_CDB = 34, DREQ_DATALEN = 44, DREQ_DATAOUT = 48,
    DREQ83_MIN = 46,               /* bytes the simulator reads of an FC 0x83 request */
    DREQ83_LEN = 1064,
    DREQ_MARK = 16, DREQ_KIND = 17, DREQ_SUB = 18, DREQ_ADAPTER = 19, DREQ_BITMAP = 20,
    DREQ89_MIN = 340,              /* through the 80 bitmap words */
    DREQ89_LEN = 1040,
    DREQ_CDB_LEN = 6, DREQ_ROWWORDS = 3,
};
enum : uint8_t {
    FD_DRIVE = 3,
    FC_PASS = 0x83, FC_PATH = 0x89, FC_READ = 0xBE,
    SF_LAMP = 5, SF_PATH = 6, SF_READ = 10,
    DIR_NONE = 0, DIR_IN = 2,      /* pass-through data direction */
    DREQ_MARK_VALUE = 0x30,
    KIND_PATH = 6, KIND_LAMP = 4, KIND_READ = 8,
    SUB_LIP = 0x13, SUB_RESETBYPASS = 0x14, SUB_SETBYPASS = 0x15, SUB_CHECKBYPASS = 0x16,
    SUB_STARTINLINE = 0x21, SUB_ENDINLINE = 0x22, SUB_REJECTLAMP = 0x02, SUB_READ = 0,
    CDB_TUR = 0x00, CDB_SENSE = 0x03, CDB_INQUIRY = 0x12, CDB_STARTSTOP = 0x1B, CDB_SELFTEST = 0x1D,
    CDB_IMMED = 0x01,              /* descriptor byte 1: reply before the drive is ready */
    CDB_START = 0x01,              /* descriptor byte 4: start (else stop) */
};
enum : uint16_t { MP_ID_BASE = 0x80 };

/* Reply message: 8-byte prefix, then the payload P, F and the segment data. */
enum : size_t { MSG_FLAGS = 1, MSG_PAYLOAD_LEN = 6, MSG_PREFIX = 8, PL_P = 0, PL_F = 1, PL_SEG = 2 };
enum : uint8_t { MSG_FIRST = 0x01, MSG_LAST = 0x02 };

/* Segment data. */
enum : size_t {
    SEG_ID = 0, SEG_FC = 1, SEG_SF = 2, SEG_FLAG = 3, SEG_RC = 4,
    SEG_MIN = 8,                   /* through the return code */
    SEG83_TOTAL = 8, SEG83_COUNT = 12, SEG83_HEAD = 20,     /* first FC 0x83 segment */
    SEG89_CR = 8, SEG89_ANSWER = 12, SEG89_MASK = 16, SEG89_LEN = 20,
    SEGBE_CR = 8, SEGBE_SIZE = 10, SEGBE_RECORDS = 12, SEGBE_RECORD_LEN = 64,
    SEGBE_LEN = 12 + 64 * 32,      /* head and one record per unit */
    SEG_HEAD_LEN = 12,             /* a data segment that carries only its head */
};
enum : uint8_t { SEG_DATA = 1, SEG_END = 2 };

/* FC 0x83 reply data: head, then one block per row. */
enum : size_t {
    R83_LEN = 75040, R83_HEAD = 2080, R83_BLOCK = 912,
    HEAD_UNIT = 0, HEAD_VALID_ROWS = 1, HEAD_MPID = 2, HEAD_ROWBITMAP = 4, HEAD_CDB = 16,
    HEAD_STATUS = 1058, HEAD_RC = 1183,
    BLK_FLAG = 0, BLK_ERROR = 1, BLK_CDEV = 2, BLK_RDEV = 3,
    BLK_DATA = 16,                 /* data from the drive (INQUIRY, REQUEST SENSE) */
    BLK_SELFTEST = 16, BLK_TUR = 18, BLK_INQ_RESULT = 22, BLK_VENDOR = 24, BLK_PRODUCT = 32,
    BLK_REVISION = 48, BLK_SENSE = 143,
    PRODUCT_LEN = 16, REVISION_LEN = 4,
    /* Inside the data from the drive: standard INQUIRY data, fixed-format sense data. */
    INQ_VERSION_AT = 2, INQ_FORMAT_AT = 3, INQ_ADD_LEN_AT = 4, INQ_DATA_LEN = 36,
    SENSE_KEY_AT = 2, SENSE_ADD_LEN_AT = 7, SENSE_ASC_AT = 12, SENSE_ASCQ_AT = 13,
};
enum : uint8_t { HEAD_STATUS_OK = 0, HEAD_STATUS_NO_ROW = 1, HEAD_STATUS_RC = 2 };

/* Drive Read record, one per unit. */
enum : size_t {
    REC_FLAG = 0, REC_CDEV = 1, REC_RDEV = 2, REC_ERROR = 3, REC_VALUE = 4, REC_PDEV = 8,
    REC_STATE = 10, REC_COUNTERS = 12, REC_SELFTEST = 44,
};
enum : uint16_t {
    STATE_READY = 0x0001, STATE_STOPPED = 0x0002, STATE_SPINNING = 0x0004,
    STATE_BYPASS_A = 0x0010, STATE_BYPASS_B = 0x0020, STATE_LAMP = 0x0100, STATE_INLINE = 0x0200,
};

/* Drive answers. */
enum : uint8_t {
    STATUS_GOOD = 0x00, STATUS_CHECK = 0x02,          /* error byte */
    TUR_READY = 0x00, TUR_NOT_READY = 0x17,           /* TEST UNIT READY result byte */
    SENSE_NOT_READY = 0x02, ASC_NOT_READY = 0x04,
    ASCQ_BECOMING_READY = 0x01, ASCQ_START_NEEDED = 0x02,
    SENSE_ILLEGAL = 0x05, ASC_BAD_OPCODE = 0x20,
    SENSE_FIXED = 0x70, SENSE_ADD_LEN = 10,
    INQ_VERSION = 0x05, INQ_FORMAT = 0x02, INQ_ADD_LEN = INQ_DATA_LEN - 5,
};

/* Controller return codes. */
enum : uint32_t { RC_OK = 0, RC_NO_DRIVE = 0x0F001750, RC_BAD_REQUEST = 0x0F0017FF };

/* Error report request and its acknowledgement. */
enum : size_t {
    DIAG_REQ_KIND = 0, DIAG_REQ_OP = 1, DIAG_REQ_UNIT = 12, DIAG_REQ_ROW = 13, DIAG_REQ_MP = 15,
    DIAG_REQ_ROUTINE = 20, DIAG_REQ_STEP = 21, DIAG_REQ_DETAIL = 22, DIAG_REQ_TMPCFG = 43,
    DIAG_REQ_LEN = 1064,
    DIAG_ACK_APNO = 0, DIAG_ACK_BYTE1 = 1, DIAG_ACK_SEQ = 4, DIAG_ACK_UNIT = 12, DIAG_ACK_ROW = 13,
    DIAG_ACK_CODE = 14,
    DIAG_RECORD_LEN = 18,          /* routine, step and 16 detail bytes */
};
enum : uint8_t { DIAG_KIND_REPORT = 5, DIAG_OP_REPORT = 1, DIAG_ACK_OK = 1, DIAG_ACK_REFUSED = 0 };
