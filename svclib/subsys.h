/* The simulated subsystem: which controller parts, drive units, HDU boxes, drives and LDEVs
 * exist, where they are and how the drives are reached. A static library linked by
 * MTPCMN32.dll (equipment queries), MTPMSG32.dll and mtp_iw32.dll (their switches) and by the
 * controller simulator.
 *
 * A description is a plain record. SubsysLoad fills one from a profile file (the built-in
 * default when the file is absent); the query functions read it and never change it, so one
 * loaded description may be shared by any number of threads. SubsysCurrent is the process's
 * description, loaded once on first use from MTP_SUBSYSTEM_INI or c:\trn600\mp\pc\subsystem.ini.
 *
 * Queries return 1 when done; on 0 they set *ec (when ec is not null) and leave every data
 * output untouched. */
#pragma once
#include <stdint.h>

enum : uint16_t {
    SUBSYS_EQUIPPED      = 0x1200,   /* state: equipped */
    SUBSYS_NOT_EQUIPPED  = 0x1201,   /* state: not equipped; EC: no such part / no location */
    SUBSYS_EC_NO_DRIVE   = 0x1101,   /* EC: no drive at that PDEV or location */
    SUBSYS_EC_BAD_ARG    = 0x1001,   /* EC: null output, buffer length below 1, path out of range */
    SUBSYS_EC_NO_FILE    = 0x1002,   /* EC of SubsysLoad: description file absent or unreadable */
    SUBSYS_LDEV_BLOCKED  = 0x2002,   /* default state of an equipped LDEV */
    SUBSYS_TRACE_KIND    = 0x0100,   /* trace lines the stand-ins write about themselves */
};

enum : int {
    SUBSYS_DKA_COUNT    = 4,
    SUBSYS_DKU_COUNT    = 8,
    SUBSYS_BOX_COUNT    = 8,         /* HDU boxes per DKU */
    SUBSYS_HDD_COUNT    = 32,        /* drive positions per box */
    SUBSYS_LDEV_GROUPS  = 256,
    SUBSYS_LDEVS        = 256,       /* LDEVs per group */
    SUBSYS_FAIL_MAX     = 64,        /* [Fail] entries kept */
    SUBSYS_NAME_LEN     = 16,        /* stored location texts, NUL included */
    SUBSYS_QUERY_LEN    = 32,        /* query names in [Fail], NUL included */
    SUBSYS_FILE_MAX     = 1 << 20,   /* bytes of a description file read; the rest is ignored */
    SUBSYS_PATH_LEN     = 260,
};

enum SubsysMsgMode : uint8_t { SUBSYS_MSG_SHOW = 0, SUBSYS_MSG_TRACE = 1 };

struct SubsysDrive {
    uint16_t pdev;                  /* valid when mapped */
    uint8_t  mapped;                /* the position has a PDEV (row fits, PDEV not taken) */
    uint8_t  equipped;
    uint16_t pathA[3], pathB[3];
    char     location[SUBSYS_NAME_LEN];
};

struct SubsysBox {
    uint8_t     equipped;
    uint16_t    unit, row;          /* PDEV = unit << 8 | (row + position) */
    char        location[SUBSYS_NAME_LEN];
    SubsysDrive drive[SUBSYS_HDD_COUNT];
};

struct SubsysDku {
    uint8_t   equipped;
    uint16_t  model;
    char      location[SUBSYS_NAME_LEN];
    SubsysBox box[SUBSYS_BOX_COUNT];
};

struct SubsysFail {
    char     query[SUBSYS_QUERY_LEN];
    uint8_t  hasArg;                 /* only calls whose first numeric argument is arg */
    uint16_t arg;
    uint16_t ec;
};

struct SubsysDesc {
    uint16_t   dkcModel, mtpMode;
    uint16_t   dkaState[SUBSYS_DKA_COUNT];
    uint8_t    msgMode;              /* SubsysMsgMode */
    uint8_t    traceCalls;
    uint32_t   historyReject[8];     /* bit per function code */
    SubsysDku  dku[SUBSYS_DKU_COUNT];
    uint16_t   pdevSlot[65536];      /* 0: no drive; else 1 + dku*256 + box*32 + position */
    uint32_t   ldevEquip[SUBSYS_LDEV_GROUPS][SUBSYS_LDEVS / 32];   /* 0x80000000 >> n%32 */
    uint16_t   ldevStatus[SUBSYS_LDEV_GROUPS][SUBSYS_LDEVS];       /* for equipped LDEVs */
    int        failCount;
    SubsysFail fail[SUBSYS_FAIL_MAX];
};

/* subsys.cpp */
/* Fills d with the built-in default, then applies the file at path (null: no file). Returns 1
 * when the file was read, 0 with SUBSYS_EC_NO_FILE when it was not (d then holds the default).
 * Values out of range are ignored one by one. Any thread; d is the caller's. */
int SubsysLoad(SubsysDesc *d, const char *path, uint16_t *ec);
/* The description file of this process: MTP_SUBSYSTEM_INI, else the maintenance folder's.
 * Returns 1, or 0 with SUBSYS_EC_BAD_ARG when it does not fit in len. */
int SubsysGetPath(char *buf, int len, uint16_t *ec);
/* The process's description, loaded once on first call (thread-safe); never null. */
const SubsysDesc *SubsysCurrent();

/* Returns 1 and sets *ec when [Fail] makes this call fail: an entry for the query with this
 * first numeric argument, else one for the query without argument (hasArg 0: only the latter). */
int SubsysCheckFail(const SubsysDesc *d, const char *query, int hasArg, uint16_t arg, uint16_t *ec);
/* Non-zero when a transfer with this function code is to be recorded. */
int SubsysHistoryAccepts(const SubsysDesc *d, uint8_t func);

int SubsysGetMtpMode(const SubsysDesc *d, uint16_t *mode, uint16_t *ec);
int SubsysGetDkcModel(const SubsysDesc *d, uint16_t *model, uint16_t *ec);
/* DKA state; a DKA out of range is reported not equipped. */
int SubsysGetDkaState(const SubsysDesc *d, uint16_t dka, uint16_t *state, uint16_t *ec);
/* Model of an equipped DKU; SUBSYS_NOT_EQUIPPED otherwise. */
int SubsysGetDkuModel(const SubsysDesc *d, uint16_t dku, uint16_t *model, uint16_t *ec);
/* Whether a DKU's HDU is equipped; a DKU out of range is not. */
int SubsysGetHduState(const SubsysDesc *d, uint16_t dku, uint16_t *state, uint16_t *ec);
/* Drive state of a mapped PDEV; SUBSYS_EC_NO_DRIVE when no drive position has it. */
int SubsysGetPdevState(const SubsysDesc *d, uint16_t pdev, uint16_t *state, uint16_t *ec);
/* Location texts: at most bufLen-1 characters and a NUL; bufLen below 1 fails. A part that is
 * not equipped has none (SUBSYS_NOT_EQUIPPED); a PDEV without drive gives SUBSYS_EC_NO_DRIVE. */
int SubsysGetDkuLocation(const SubsysDesc *d, uint16_t dku, char *buf, int bufLen, uint16_t *ec);
int SubsysGetBoxLocation(const SubsysDesc *d, uint16_t dku, uint16_t box, char *buf, int bufLen,
                         uint16_t *ec);
int SubsysGetPdevLocation(const SubsysDesc *d, uint16_t pdev, char *buf, int bufLen, uint16_t *ec);
/* PDEV of any position 0..31 of an existing box; SUBSYS_EC_NO_DRIVE otherwise. */
int SubsysFindPdev(const SubsysDesc *d, uint16_t dku, uint16_t box, uint16_t hdd, uint16_t *pdev,
                   uint16_t *ec);
/* Path triples A and B of a mapped PDEV. */
int SubsysGetPdevPaths(const SubsysDesc *d, uint16_t pdev, uint16_t a[3], uint16_t b[3], uint16_t *ec);
/* MP that serves a path: p1*16 + p2*4 + p3 for p1 < 2, p2 < 8, p3 < 4. */
int SubsysGetMpOfPath(uint16_t p1, uint16_t p2, uint16_t p3, uint16_t *mp, uint16_t *ec);
/* Whole tables: equipped LDEV bits, and LDEV states (0 where not equipped). */
int SubsysGetLdevEquipMap(const SubsysDesc *d, uint32_t map[256][8], uint16_t *ec);
int SubsysGetLdevStatus(const SubsysDesc *d, uint16_t status[256][256], uint16_t *ec);
