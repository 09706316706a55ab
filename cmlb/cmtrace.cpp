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

/* A new trace file: all spaces with the header for offset 25. CREATE_NEW, so that a writer
 * that comes second keeps the lines of the first. Returns the handle (open read-write) or
 * INVALID_HANDLE_VALUE; an existing file counts as success when keepOpen is 0. */
static HANDLE CreateTrace(const char *path, int keepOpen)
{
    HANDLE h = INVALID_HANDLE_VALUE;
    char *buf = (char *)malloc(CMT_FILE_SIZE);
    if (!buf)
        return INVALID_HANDLE_VALUE;
    memset(buf, ' ', CMT_FILE_SIZE);
    char header[CMT_HEADER_LEN + 1];
    snprintf(header, sizeof header, kHeaderFmt, int(CMT_HEADER_LEN));
    memcpy(buf, header, CMT_HEADER_LEN);
    h = OpenTrace(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
    if (h != INVALID_HANDLE_VALUE) {
        DWORD put = 0;
        if (!WriteFile(h, buf, CMT_FILE_SIZE, &put, nullptr) || put != CMT_FILE_SIZE) {
            LsCloseFile(h);
            h = INVALID_HANDLE_VALUE;
        }
    }
    free(buf);
    if (h != INVALID_HANDLE_VALUE && !keepOpen) {
        LsCloseFile(h);
        return nullptr;
    }
    return h;
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

static void TimeText(char out[TIME_LEN])
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    snprintf(out, TIME_LEN, "%02d%02d%02d%02d%02d%02d", t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond, t.wMilliseconds / 10);
}

/* One line; every failure drops it. */
static void WriteLine(const char *fmt, va_list ap)
{
    const char *current, *previous;
    CMTraceFiles(&current, &previous);

    HANDLE h = OpenTrace(current, GENERIC_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) {
        if (CreateTrace(current, 0) == INVALID_HANDLE_VALUE && GetFileAttributesA(current) == INVALID_FILE_ATTRIBUTES)
            return;
    } else {
        LsCloseFile(h);
    }
    h = OpenTrace(current, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD offset = ReadOffset(h);
    if (offset >= CMT_ROTATE_AT) {
        LsCloseFile(h);
        LsDeleteFile(previous);
        LsRenameFile(current, previous);
        h = CreateTrace(current, 1);
        if (h == INVALID_HANDLE_VALUE)
            return;
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
