/* Messaging layer: process state, the named objects with their World descriptor, AP ids,
 * trace lines, and the payload table of received copies. */
#include "iw/iw.h"
#include "svclib/mtpsvc.h"
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

enum : size_t { TRACE_LEN = 640 };
enum : DWORD { ACL_EXTRA_LEN = 32 };
static const char SOURCE_NAME[] = "Mtp_iw04";

IwState g_iw;

IwRecvProc RecvHandlerTable[IW_ROW_COUNT][3] = {
    { IwDefaultEntry, IwDefaultEntry, IwDefaultEntry },
    { IwDefaultEntry, IwDefaultEntry, IwDefaultEntry },
    { IwDefaultEntry, IwDefaultEntry, IwDefaultEntry },
};

IwLayout IwLayoutTable[IW_LAYOUT_ROWS][IW_LAYOUT_COLS];

/* Formats into a buffer of this call and writes one trace line. Any thread. */
void IwTrace(uint16_t kind, const char *fmt, ...)
{
    char text[TRACE_LEN];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    WriteTraceLog(0, kind, text);
}

/* The system's text for error, the source name, the line and the code. Any thread. */
void IwTraceSysError(uint16_t kind, unsigned line, DWORD error)
{
    char *sys = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&sys, 0,
                   nullptr);
    IwTrace(kind, "%s%s(%u):%d", sys ? sys : "", SOURCE_NAME, line, int(error));
    if (sys)
        LocalFree(sys);
}

/* Descriptor of one creation: World SID, ACL with the deny ACE and the kind's allow ACE. */
struct WorldSd {
    PSID                 sid;
    PACL                 acl;
    SECURITY_DESCRIPTOR  sd;
    SECURITY_ATTRIBUTES  sa;
};

/* Builds the descriptor; 1, or 0 with nothing left to free. */
static int BuildWorldSd(WorldSd *w, DWORD allowMask)
{
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    DWORD aclLen;
    int ok = 0;
    w->sid = nullptr;
    w->acl = nullptr;
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &w->sid))
        goto done;
    aclLen = 2 * GetLengthSid(w->sid) + ACL_EXTRA_LEN;
    w->acl = (PACL)LocalAlloc(LPTR, aclLen);
    if (!w->acl)
        goto done;
    if (!InitializeAcl(w->acl, aclLen, ACL_REVISION) ||
        !AddAccessDeniedAce(w->acl, ACL_REVISION, IW_ACE_DENY, w->sid) ||
        !AddAccessAllowedAce(w->acl, ACL_REVISION, allowMask, w->sid) ||
        !InitializeSecurityDescriptor(&w->sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&w->sd, TRUE, w->acl, FALSE))
        goto done;
    w->sa.nLength = sizeof w->sa;
    w->sa.lpSecurityDescriptor = &w->sd;
    w->sa.bInheritHandle = FALSE;
    ok = 1;
done:
    if (!ok && w->acl)
        LocalFree(w->acl);
    if (!ok && w->sid)
        FreeSid(w->sid);
    return ok;
}

/* Releases the descriptor, keeping the caller's last error. */
static void FreeWorldSd(WorldSd *w)
{
    DWORD err = GetLastError();
    LocalFree(w->acl);
    FreeSid(w->sid);
    SetLastError(err);
}

/* The creation asks only for the rights the open fallback asks for, so that an object that
 * exists already is had in one call: a full-access creation would be refused by the deny ACE
 * every time and cost a second call. */
HANDLE IwCreateMutex(BOOL initialOwner, const char *name)
{
    WorldSd w;
    HANDLE h;
    if (!BuildWorldSd(&w, IW_ACE_MUTEX))
        return nullptr;
    h = CreateMutexExA(&w.sa, name, initialOwner ? CREATE_MUTEX_INITIAL_OWNER : 0, IW_OPEN_MUTEX);
    if (!h)
        h = OpenMutexA(IW_OPEN_MUTEX, FALSE, name);
    FreeWorldSd(&w);
    return h;
}

HANDLE IwCreateEvent(BOOL manualReset, BOOL initialState, const char *name)
{
    WorldSd w;
    HANDLE h;
    DWORD flags = (manualReset ? CREATE_EVENT_MANUAL_RESET : 0) |
                  (initialState ? CREATE_EVENT_INITIAL_SET : 0);
    if (!BuildWorldSd(&w, IW_ACE_EVENT))
        return nullptr;
    h = CreateEventExA(&w.sa, name, flags, IW_OPEN_EVENT);
    if (!h)
        h = OpenEventA(IW_OPEN_EVENT, FALSE, name);
    FreeWorldSd(&w);
    return h;
}

HANDLE IwCreateMapping(HANDLE file, DWORD protect, DWORD sizeHigh, DWORD sizeLow, const char *name)
{
    WorldSd w;
    HANDLE h;
    if (!BuildWorldSd(&w, IW_ACE_MAPPING))
        return nullptr;
    h = CreateFileMappingA(file, &w.sa, protect, sizeHigh, sizeLow, name);
    if (!h)
        h = OpenFileMappingA(IW_OPEN_MAPPING, FALSE, name);
    FreeWorldSd(&w);
    return h;
}

static int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

int IwNormaliseApId(const char *text, char out[IW_APID_LEN], uint16_t *apNo)
{
    static const char digits[] = "0123456789ABCDEF";
    int hi, lo;
    if (!text || HexDigit(text[0]) < 0)
        return 0;
    if (text[1] == '\0') {
        hi = 0;
        lo = HexDigit(text[0]);
    } else if (HexDigit(text[1]) >= 0 && text[2] == '\0') {
        hi = HexDigit(text[0]);
        lo = HexDigit(text[1]);
    } else {
        return 0;
    }
    out[0] = digits[hi];
    out[1] = digits[lo];
    out[2] = '\0';
    *apNo = uint16_t(hi << 4 | lo);
    return 1;
}

void IwFormatName(char name[IW_NAME_LEN], const char *fmt, const char *apId)
{
    snprintf(name, IW_NAME_LEN, fmt, apId);
}

int32_t IwFillLayoutTable()
{
    static const uint16_t first[IW_LAYOUT_ROWS][4] = {
        { 8, 6, 2, 1 },
        { 3, 2, 1, 0 },
        { 0, 0, 0, 0 },
        { 4, 2, 2, 0 },
    };
    /* The table step has always taken and given back a small block; its failure is the one
     * way mtp1_iwini reports no memory. */
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 100);
    void *p = block ? GlobalLock(block) : nullptr;
    if (!p) {
        if (block)
            GlobalFree(block);
        return int32_t(IW_TABLE_NO_MEMORY);
    }
    GlobalUnlock(block);
    GlobalFree(block);
    memset(IwLayoutTable, 0, sizeof IwLayoutTable);
    for (size_t r = 0; r < IW_LAYOUT_ROWS; r++) {
        IwLayoutTable[r][0].prefixLen = first[r][0];
        for (size_t i = 0; i < 3; i++)
            IwLayoutTable[r][0].value[i] = first[r][i + 1];
    }
    return IW_OK;
}

uint8_t *IwGetData(uint16_t row, uint16_t col, uint8_t *copy)
{
    if (!copy || row >= IW_LAYOUT_ROWS || col >= IW_LAYOUT_COLS)
        return nullptr;
    return copy + IwLayoutTable[row][col].prefixLen;
}

uint8_t *IwGetDataLen(uint16_t row, uint16_t col, uint8_t *copy, uint32_t *len)
{
    uint8_t *p = IwGetData(row, col, copy);
    SIZE_T size;
    *len = 0;
    if (!p)
        return nullptr;
    size = HeapSize(GetProcessHeap(), 0, copy);
    if (size != SIZE_T(-1) && size >= IwLayoutTable[row][col].prefixLen)
        *len = uint32_t(size - IwLayoutTable[row][col].prefixLen);
    return p;
}

int IwReleaseData(uint8_t *)
{
    return 1;
}
