/* The maintenance trace log of MTPCMN32.dll: one file that every process of the suite writes
 * to, one line per call, lines never torn or interleaved.
 *
 * Wine turns an append write into "size, then write at that size", which lets two writers land
 * on the same offset; a lock around every line would cost two server round trips. Instead the
 * writers of one log file share its end in a small named mapping (named after the file's
 * identity): a line reserves its bytes with one atomic add and is written at that offset with
 * NtWriteFile (WriteFile with an offset costs a server round trip under Wine). Every
 * writer of the log goes through WriteTraceLog; the log is cleared only while no process of the
 * suite runs. */
#include "svclib/mtpsvc.h"
#include <winternl.h>
#include <stdio.h>
#include <string.h>

enum : size_t {
    LINE_HEAD_LEN  = 38,            /* "YYYY/MM/DD hh:mm:ss.mmm PPPPPPPP KKKK " */
    LINE_STACK_LEN = 1024,          /* lines up to this length need no heap */
    TEXT_MAX       = 64 * 1024,     /* longer texts are refused */
};
enum : DWORD { INIT_WAIT_MS = 5000 };

static const char kDefaultLog[] = "c:\\trn600\\log\\mtptrace.log";
static const char kInitLock[] = "Local\\MtpTraceLogInit";

/* The shared end of one log file. */
struct TraceShared {
    volatile LONG64 end;            /* offset of the next line */
    volatile LONG   ready;          /* end was set from the file size */
};

typedef NTSTATUS(NTAPI *NtWriteFileFn)(HANDLE, HANDLE, PIO_APC_ROUTINE, void *, IO_STATUS_BLOCK *, void *, ULONG,
                                       LARGE_INTEGER *, ULONG *);

/* Set once under g_logOnce, then only used. */
static HANDLE g_log = INVALID_HANDLE_VALUE;
static TraceShared *g_shared;
static NtWriteFileFn g_write;
static INIT_ONCE g_logOnce = INIT_ONCE_STATIC_INIT;

/* Maps the shared end of the open log h; the first process to map it sets it from the file size
 * (under a named mutex, once). Returns null on failure. */
static TraceShared *MapSharedEnd(HANDLE h)
{
    BY_HANDLE_FILE_INFORMATION info;
    char name[64];
    HANDLE lock = nullptr, map = nullptr;
    TraceShared *shared = nullptr;
    LARGE_INTEGER size;
    DWORD w = WAIT_FAILED;

    if (!GetFileInformationByHandle(h, &info))
        goto done;
    snprintf(name, sizeof name, "Local\\MtpTraceLog.%08lX.%08lX%08lX", info.dwVolumeSerialNumber,
             info.nFileIndexHigh, info.nFileIndexLow);
    lock = CreateMutexA(nullptr, FALSE, kInitLock);
    if (!lock)
        goto done;
    w = WaitForSingleObject(lock, INIT_WAIT_MS);
    if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED)
        goto done;
    map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(TraceShared), name);
    if (!map)
        goto done;
    shared = static_cast<TraceShared *>(MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(TraceShared)));
    if (shared && !shared->ready) {
        if (GetFileSizeEx(h, &size)) {
            shared->end = size.QuadPart;
            shared->ready = 1;
        } else {
            UnmapViewOfFile(shared);
            shared = nullptr;
        }
    }
done:
    /* The mapping handle stays open: under Wine a view alone does not keep the name alive. */
    if (map && !shared)
        CloseHandle(map);
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED)
        ReleaseMutex(lock);
    if (lock)
        CloseHandle(lock);
    return shared;
}

/* Opens the log (MTP_TRACE_LOG, else the maintenance folder's) and maps its shared end. A failed
 * open is tried again on the next line. */
static BOOL CALLBACK OpenLog(PINIT_ONCE, void *, void **)
{
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("MTP_TRACE_LOG", path, sizeof path);
    NtWriteFileFn write = reinterpret_cast<NtWriteFileFn>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtWriteFile")));
    if (n >= sizeof path || !write)
        return FALSE;
    HANDLE h = CreateFileA(n > 0 ? path : kDefaultLog, FILE_WRITE_DATA | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return FALSE;
    TraceShared *shared = MapSharedEnd(h);
    if (!shared) {
        CloseHandle(h);
        return FALSE;
    }
    g_log = h;
    g_shared = shared;
    g_write = write;
    return TRUE;
}

static char *PutDec(char *p, unsigned v, int width)
{
    for (int i = width - 1; i >= 0; i--, v /= 10)
        p[i] = char('0' + v % 10);
    return p + width;
}

static char *PutHex(char *p, uint32_t v, int width)
{
    static const char digits[] = "0123456789ABCDEF";
    for (int i = width - 1; i >= 0; i--, v >>= 4)
        p[i] = digits[v & 0xF];
    return p + width;
}

/* Fills "YYYY/MM/DD hh:mm:ss.mmm PPPPPPPP KKKK " (LINE_HEAD_LEN characters). */
static char *PutHead(char *p, uint16_t kind)
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    p = PutDec(p, t.wYear, 4);
    *p++ = '/';
    p = PutDec(p, t.wMonth, 2);
    *p++ = '/';
    p = PutDec(p, t.wDay, 2);
    *p++ = ' ';
    p = PutDec(p, t.wHour, 2);
    *p++ = ':';
    p = PutDec(p, t.wMinute, 2);
    *p++ = ':';
    p = PutDec(p, t.wSecond, 2);
    *p++ = '.';
    p = PutDec(p, t.wMilliseconds, 3);
    *p++ = ' ';
    p = PutHex(p, GetCurrentProcessId(), 8);
    *p++ = ' ';
    p = PutHex(p, kind, 4);
    *p++ = ' ';
    return p;
}

/* Appends one line: time, process, kind, text with CR and LF written as \r and \n. Returns TRUE
 * when the whole line was written. Any thread; the line goes out in one write at its own
 * reserved offset. */
BOOL WINAPI WriteTraceLog(int, uint16_t kind, const char *text)
{
    char stack[LINE_STACK_LEN];
    char *line = stack;
    BOOL ok = FALSE;
    IO_STATUS_BLOCK io = {};
    LARGE_INTEGER at;
    size_t textLen = text ? strnlen(text, TEXT_MAX + 1) : 0;
    size_t lineLen = LINE_HEAD_LEN + textLen + 2;
    char *p = nullptr;

    if (textLen > TEXT_MAX || !InitOnceExecuteOnce(&g_logOnce, OpenLog, nullptr, nullptr))
        goto done;
    for (size_t i = 0; i < textLen; i++)
        lineLen += text[i] == '\r' || text[i] == '\n';
    if (lineLen > sizeof stack) {
        line = static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, lineLen));
        if (!line)
            goto done;
    }
    p = PutHead(line, kind);
    for (size_t i = 0; i < textLen; i++) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            *p++ = '\\';
            *p++ = c == '\r' ? 'r' : 'n';
        } else {
            *p++ = c;
        }
    }
    *p++ = '\r';
    *p++ = '\n';
    /* A writer that dies between the two leaves a gap of NULs, never a torn line. */
    at.QuadPart = InterlockedExchangeAdd64(&g_shared->end, LONG64(lineLen));
    ok = NT_SUCCESS(g_write(g_log, nullptr, nullptr, nullptr, &io, line, ULONG(lineLen), &at, nullptr)) &&
         io.Information == lineLen;
done:
    if (line && line != stack)
        HeapFree(GetProcessHeap(), 0, line);
    return ok;
}
