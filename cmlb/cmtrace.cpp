/* The communication trace: two fixed-size text files of spaces, a header with the next write
 * offset, and one tagged line after another. Every file operation goes through the
 * exclusive-file library, so writers of several processes take turns line by line. */
#include "cmlb/cmlb.h"
#include "svclib/mtpsvc.h"
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char kHeaderFmt[] = "CMLB_TRACE   Seq=%06d\r\n";
enum : size_t { ID_TEXT_LEN = 8, HEAD_LEN = 64, HEADER_READ = 24, TIME_LEN = 16 };

/* Set at open and close on the main thread; read by any thread. */
static volatile uint16_t g_traceFlags;
static volatile int g_altFiles;
static char g_idText[ID_TEXT_LEN];

void CMTraceFiles(const char **current, const char **previous)
{
    *current = g_altFiles ? CMT_FILE_ALT : CMT_FILE_MAIN;
    *previous = g_altFiles ? CMT_FILE_ALT_PREV : CMT_FILE_MAIN_PREV;
}

static HANDLE OpenTrace(const char *path, DWORD access, DWORD disposition)
{
    return LsOpenFile(path, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

static int WriteAt(HANDLE h, DWORD offset, const void *data, DWORD len)
{
    DWORD put = 0;
    if (SetFilePointer(h, LONG(offset), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return 0;
    return WriteFile(h, data, len, &put, nullptr) && put == len;
}

/* The write offset of the header; anything unreadable or before the first line counts as 25. */
static DWORD ReadOffset(HANDLE h)
{
    char head[HEADER_READ + 1] = "";
    DWORD got = 0;
    if (SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(h, head, HEADER_READ, &got, nullptr) || got < HEADER_READ)
        return CMT_HEADER_LEN;
    head[got] = '\0';
    DWORD offset = 0;
    int digits = 0;
    for (const char *p = head + CMT_SEQ_AT; *p >= '0' && *p <= '9' && digits < 7; p++, digits++)
        offset = offset * 10 + DWORD(*p - '0');
    return digits == 0 || offset < CMT_HEADER_LEN ? DWORD(CMT_HEADER_LEN) : offset;
}

/* Spaces from offset from up to the size of a trace file, which ends there. */
static int FillSpaces(HANDLE h, DWORD from)
{
    DWORD len = CMT_FILE_SIZE - from;
    char *buf = (char *)malloc(len);
    if (!buf)
        return 0;
    memset(buf, ' ', len);
    int ok = WriteAt(h, from, buf, len) && SetEndOfFile(h);
    free(buf);
    return ok;
}

/* Makes the open file a fresh trace file: the header for offset 25, then spaces. */
static int ResetTrace(HANDLE h)
{
    char header[CMT_HEADER_LEN + 1];
    snprintf(header, sizeof header, kHeaderFmt, int(CMT_HEADER_LEN));
    return WriteAt(h, 0, header, CMT_HEADER_LEN) && FillSpaces(h, CMT_HEADER_LEN);
}

/* A file shorter than a trace file (left by a writer that stopped while creating it) is filled up
 * with spaces; one without a whole header starts afresh. */
static int CompleteTrace(HANDLE h)
{
    DWORD size = GetFileSize(h, nullptr);
    if (size == INVALID_FILE_SIZE)
        return 0;
    if (size >= CMT_FILE_SIZE)
        return 1;
    return size < CMT_HEADER_LEN ? ResetTrace(h) : FillSpaces(h, size);
}

/* Rotation under the current file's exclusive open: its bytes become the previous file, then it
 * starts afresh in place. No other writer can see the pair half made. */
static int RotateTrace(HANDLE h, const char *previous)
{
    DWORD size = GetFileSize(h, nullptr);
    if (size == INVALID_FILE_SIZE)
        return 0;
    char *buf = (char *)malloc(size ? size : 1);
    if (!buf)
        return 0;
    DWORD got = 0;
    int ok = SetFilePointer(h, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
             ReadFile(h, buf, size, &got, nullptr) && got == size;
    if (ok) {
        HANDLE p = OpenTrace(previous, GENERIC_WRITE, CREATE_ALWAYS);
        ok = p != INVALID_HANDLE_VALUE && WriteAt(p, 0, buf, size);
        if (p != INVALID_HANDLE_VALUE)
            LsCloseFile(p);
    }
    free(buf);
    return ok && ResetTrace(h);
}

static void TimeText(char out[TIME_LEN])
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    snprintf(out, TIME_LEN, "%02d%02d%02d%02d%02d%02d", t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond, t.wMilliseconds / 10);
}

/* One line; every failure drops it. The whole line, rotation and creation included, happens
 * under one exclusive open of the current file, so writers of all processes and threads take
 * turns. */
static void WriteLine(const char *fmt, va_list ap)
{
    const char *current, *previous;
    CMTraceFiles(&current, &previous);

    HANDLE h = OpenTrace(current, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE)
        return;
    if (!CompleteTrace(h)) {
        LsCloseFile(h);
        return;
    }
    DWORD offset = ReadOffset(h);
    if (offset >= CMT_ROTATE_AT) {
        if (!RotateTrace(h, previous)) {
            LsCloseFile(h);
            return;
        }
        offset = CMT_HEADER_LEN;
    }

    char line[size_t(HEAD_LEN) + size_t(CMT_LINE_MAX) + 2];
    char when[TIME_LEN];
    TimeText(when);
    int head = snprintf(line, HEAD_LEN, "$%s:%03d:%s$", g_idText, 0, when);
    if (head < 0 || head >= int(HEAD_LEN))
        head = HEAD_LEN - 1;
    /* A message longer than the line buffer is cut. */
    int msg = vsnprintf(line + head, CMT_LINE_MAX, fmt, ap);
    if (msg < 0)
        msg = 0;
    if (msg > int(CMT_LINE_MAX) - 1)
        msg = CMT_LINE_MAX - 1;
    memcpy(line + head + msg, "\r\n", 2);
    DWORD len = DWORD(head + msg + 2);
    if (WriteAt(h, offset, line, len)) {
        char header[CMT_HEADER_LEN + 1];
        snprintf(header, sizeof header, kHeaderFmt, int(offset + len));
        WriteAt(h, 0, header, CMT_HEADER_LEN);
    }
    LsCloseFile(h);
}

static void Line(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    WriteLine(fmt, ap);
    va_end(ap);
}

static void Dump(const uint8_t *data, uint32_t len, const char *label, uint32_t limit)
{
    Line("DUMP_START(%s):0x%08x Byte", label ? label : "", unsigned(len));
    if (!data)
        return;
    if (len > limit)
        len = limit;
    char hex[2 * CMT_HEX_PER_LINE + 1];
    for (uint32_t at = 0; at < len; at += CMT_HEX_PER_LINE) {
        uint32_t n = len - at < CMT_HEX_PER_LINE ? len - at : CMT_HEX_PER_LINE;
        for (uint32_t i = 0; i < n; i++)
            snprintf(hex + 2 * i, 3, "%02x", data[at + i]);
        hex[2 * n] = '\0';
        Line("%08x:%s", unsigned(at), hex);
    }
}

/* The one entry: see the modes in cmlb.h. Any thread. */
void CMTrace(int mode, ...)
{
    va_list ap;
    va_start(ap, mode);
    int quiet = (g_traceFlags & CMT_FLAG_QUIET) != 0;
    switch (mode) {
    case CMT_LINE:
    case CMT_LINE_QUIET: {
        const char *fmt = va_arg(ap, const char *);
        if (fmt && !(mode == CMT_LINE_QUIET && quiet))
            WriteLine(fmt, ap);
        break;
    }
    case CMT_DUMP_SHORT:
    case CMT_DUMP: {
        const uint8_t *data = va_arg(ap, const uint8_t *);
        uint32_t len = va_arg(ap, uint32_t);
        const char *label = va_arg(ap, const char *);
        if (mode == CMT_DUMP)
            Dump(data, len, label, len);
        else if (!quiet)
            Dump(data, len, label, CMT_DUMP_SHORT_MAX);
        break;
    }
    case CMT_OPEN: {
        const char *id = va_arg(ap, const char *);
        g_traceFlags = uint16_t(va_arg(ap, int));
        g_altFiles = (g_traceFlags & CMT_FLAG_ALT_FILES) != 0;
        snprintf(g_idText, sizeof g_idText, "%s", id ? id : "");
        CMTrace(CMT_LINE_QUIET, "OPEN");
        break;
    }
    case CMT_CLOSE:
        CMTrace(CMT_LINE_QUIET, "CLOSE");
        g_traceFlags = 0;
        break;
    case CMT_FLAGS: {
        uint32_t *old = va_arg(ap, uint32_t *);
        uint16_t flags = uint16_t(va_arg(ap, int));
        if (old)
            *old = g_traceFlags;
        g_traceFlags = uint16_t((g_traceFlags & ~CMT_FLAG_QUIET) | (flags & CMT_FLAG_QUIET));
        break;
    }
    default:
        break;
    }
    va_end(ap);
}
