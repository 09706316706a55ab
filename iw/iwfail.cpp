/* Messaging layer: the failure record left by an end of the messaging without a matching start,
 * a 140-byte file in the log folder stamped with the serial number SEQNO.INI keeps. The constant
 * bytes belong to the reader of these files and are written as it expects them. Main thread. */
#include "iw/iw.h"
#include "base/bytes.h"
#include <stdio.h>
#include <string.h>

/* FailureRecord offsets: a 12-byte head, then the 128-byte body. */
enum : size_t {
    FR_R          = 1,
    FR_TYPE       = 2,
    FR_FLAGS      = 8,     /* u32 LE */
    FR_BODY       = 12,
    FR_FF1        = 16,
    FR_FF2        = 17,
    FR_LEN        = 18,
    FR_MARK1      = 25,
    FR_CLASS1     = 26,
    FR_SERIAL     = 34,    /* u16 LE */
    FR_SUB        = 44,
    FR_ONE        = 50,
    FR_LEN2       = 51,
    FR_APP_CLASS  = 52,
    FR_APP_CODE   = 53,
    FR_MARK2      = 59,
    FR_EVENT      = 60,    /* u16 BE */
    FR_DETAIL     = 62,    /* u32 BE */
    FR_FF3        = 66,
    FR_LEN3       = 67,
    FR_MARK3      = 71,
    FR_TEXT       = 84,    /* FAIL_TEXT_LEN characters, no terminator */
    FR_VALUE      = 108,   /* u16 LE */
    FR_DETAIL2    = 110,   /* u32 LE */
    FR_TAIL       = 114,   /* 26 bytes */
    FR_OLD_EVENT  = 114,   /* no temporary name: the event code moves here */
    FR_SYS_ERROR  = 116,   /* no temporary name: u32 BE */
    FR_TAIL_LEN   = 26,
};
static_assert(FR_BODY + 128 == size_t(FAIL_REC_LEN), "FailureRecord body");
static_assert(FR_TEXT + size_t(FAIL_TEXT_LEN) == FR_VALUE, "FailureRecord text");
static_assert(FR_DETAIL2 + 4 == FR_TAIL, "FailureRecord detail");
static_assert(FR_TAIL + FR_TAIL_LEN == size_t(FAIL_REC_LEN), "FailureRecord tail");
static_assert(FR_SYS_ERROR + 4 <= size_t(FAIL_REC_LEN), "FailureRecord error");

enum : uint8_t {
    FR_V_R = 0x52, FR_V_TYPE = 0x10, FR_V_FF = 0xFF, FR_V_LEN = 0x8C, FR_V_MARK = 0x80,
    FR_V_CLASS1 = 0x20, FR_V_SUB = 0x10, FR_V_ONE = 0x01, FR_V_NO_NAME = 0x05,
    FR_DETAIL_BIT = 0x80, APP_CLASS_11 = 11,
};
enum : uint32_t { FR_V_FLAGS = 0x80000000u, APP_NAME_LEN = 32 };
enum : UINT { SERIAL_DEFAULT = FAIL_SERIAL_DEF };
enum : DWORD { LOGOFF_REASON = 0xFFFFFFFF };

#define SEQ_SECTION "MTPFAILURE"
#define SEQ_KEY     "SerialNumber"
#define TEMP_PREFIX "sbt"
#define FIXED_NAME  "sbXXXXXX"

/* Application ids of the suite that this program knows, with their codes. */
struct AppCode {
    const char *name;
    uint8_t     code;
};
static const AppCode kAppCodes[] = {
    { FAIL_APP_NAME, 1  },
    { "logout",      4  },
    { "WAIT_WINDOW", 12 },
};

uint8_t FailureAppCode(const char *name)
{
    if (!name)
        return FAIL_APP_NONE;
    for (const AppCode &a : kAppCodes)
        if (strncmp(name, a.name, APP_NAME_LEN) == 0)
            return a.code;
    return FAIL_APP_NONE;
}

uint16_t NextFailureSerial()
{
    char text[16];
    uint16_t serial = uint16_t(GetPrivateProfileIntA(SEQ_SECTION, SEQ_KEY, SERIAL_DEFAULT,
                                                     FAIL_SEQ_PATH));
    serial = uint16_t(serial + 1);
    if (serial == 0)
        serial = FAIL_SERIAL_FIRST;
    snprintf(text, sizeof text, "%d", int(serial));
    WritePrivateProfileStringA(SEQ_SECTION, SEQ_KEY, text, FAIL_SEQ_PATH);
    return serial;
}

void FillFailureRecord(uint8_t rec[FAIL_REC_LEN], const char *text, uint16_t value,
                       uint16_t event, uint32_t detail, uint16_t serial)
{
    const uint8_t app = FailureAppCode(FAIL_APP_NAME);
    memset(rec, 0, FAIL_REC_LEN);
    rec[FR_R] = FR_V_R;
    rec[FR_TYPE] = FR_V_TYPE;
    PutLe32(rec + FR_FLAGS, FR_V_FLAGS);
    rec[FR_FF1] = FR_V_FF;
    rec[FR_FF2] = FR_V_FF;
    rec[FR_LEN] = FR_V_LEN;
    rec[FR_MARK1] = FR_V_MARK;
    rec[FR_CLASS1] = FR_V_CLASS1;
    PutLe16(rec + FR_SERIAL, serial);
    rec[FR_SUB] = FR_V_SUB;
    rec[FR_ONE] = FR_V_ONE;
    rec[FR_LEN2] = FR_V_LEN;
    rec[FR_APP_CLASS] = app == APP_CLASS_11 ? APP_CLASS_11 : 0;
    rec[FR_APP_CODE] = app;
    rec[FR_MARK2] = FR_V_MARK;
    PutBe16(rec + FR_EVENT, event);
    PutBe32(rec + FR_DETAIL, detail);
    rec[FR_FF3] = FR_V_FF;
    rec[FR_LEN3] = FR_V_LEN;
    rec[FR_MARK3] = FR_V_MARK;
    for (size_t i = 0; i < FAIL_TEXT_LEN && text[i]; i++)
        rec[FR_TEXT + i] = uint8_t(text[i]);
    PutLe16(rec + FR_VALUE, value);
    PutLe32(rec + FR_DETAIL2, detail);
}

void MarkNoTempName(uint8_t rec[FAIL_REC_LEN], DWORD error)
{
    rec[FR_OLD_EVENT] = rec[FR_EVENT];
    rec[FR_OLD_EVENT + 1] = rec[FR_EVENT + 1];
    rec[FR_EVENT] = 0x00;
    rec[FR_EVENT + 1] = FR_V_NO_NAME;
    rec[FR_DETAIL] &= uint8_t(~FR_DETAIL_BIT);
    PutBe32(rec + FR_SYS_ERROR, error);
}

void WriteFailureRecord(const char *text, uint16_t value, uint16_t event, uint32_t detail)
{
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, FAIL_REC_LEN);
    uint8_t *rec = mem ? (uint8_t *)GlobalLock(mem) : nullptr;
    char path[MAX_PATH];
    HANDLE f;
    DWORD put = 0;

    if (!rec) {
        /* A session that cannot even hold this record is ended: the user logs on afresh. */
        ExitWindowsEx(EWX_LOGOFF, LOGOFF_REASON);
        goto done;
    }
    FillFailureRecord(rec, text, value, event, detail, NextFailureSerial());
    if (!GetTempFileNameA(FAIL_DIR, TEMP_PREFIX, 0, path)) {
        MarkNoTempName(rec, GetLastError());
        snprintf(path, sizeof path, FAIL_DIR "\\%s", FIXED_NAME);
    }
    /* A file that cannot be written loses the record; nothing else is to be done here. */
    f = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
        WriteFile(f, rec, FAIL_REC_LEN, &put, nullptr);
        CloseHandle(f);
    }
done:
    if (rec)
        GlobalUnlock(mem);
    if (mem)
        GlobalFree(mem);
}
