/* LockStore.dll: file operations of the communication trace that wait while another opener
 * holds the file exclusively. A sharing violation is retried with short sleeps for up to
 * LOCK_WAIT_MS (scaled by MTP_TIME_DIVISOR); any other error fails at once. Any thread. */
#include "svclib/mtpsvc.h"
#include "svclib/mtptime.h"

enum : uint32_t { LOCK_WAIT_MS = 3000, LOCK_RETRY_MS = 20 };

/* After a failed attempt started at start: sleeps and returns 1 when the attempt is worth
 * repeating, 0 when err is final. */
static int WaitToRetry(DWORD err, ULONGLONG start)
{
    ULONGLONG waited = GetTickCount64() - start;
    ULONGLONG limit = MtpScaleMs(LOCK_WAIT_MS);
    if (err != ERROR_SHARING_VIOLATION || waited >= limit)
        return 0;
    ULONGLONG nap = MtpScaleMs(LOCK_RETRY_MS);
    Sleep(DWORD(nap < limit - waited ? nap : limit - waited));
    return 1;
}

/* CreateFileA that waits for an exclusive holder. Returns the handle or INVALID_HANDLE_VALUE
 * with the last error of the final attempt. */
HANDLE WINAPI LsOpenFile(const char *path, DWORD access, DWORD share, SECURITY_ATTRIBUTES *sa,
                         DWORD disposition, DWORD attributes, HANDLE templ)
{
    ULONGLONG start = GetTickCount64();
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD err = ERROR_INVALID_PARAMETER;
    if (!path)
        goto done;
    do {
        h = CreateFileA(path, access, share, sa, disposition, attributes, templ);
        err = GetLastError();
    } while (h == INVALID_HANDLE_VALUE && WaitToRetry(err, start));
done:
    if (h == INVALID_HANDLE_VALUE)
        SetLastError(err);
    return h;
}

BOOL WINAPI LsCloseFile(HANDLE h)
{
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(h);
}

/* Deletes a file, waiting like LsOpenFile while it is held without delete sharing. */
BOOL WINAPI LsDeleteFile(const char *path)
{
    ULONGLONG start = GetTickCount64();
    BOOL ok = FALSE;
    DWORD err = ERROR_INVALID_PARAMETER;
    if (!path)
        goto done;
    while (!(ok = DeleteFileA(path)) && WaitToRetry(err = GetLastError(), start)) {
    }
done:
    if (!ok)
        SetLastError(err);
    return ok;
}

/* Renames from to to, replacing an existing to; waits like LsOpenFile. */
BOOL WINAPI LsRenameFile(const char *from, const char *to)
{
    ULONGLONG start = GetTickCount64();
    BOOL ok = FALSE;
    DWORD err = ERROR_INVALID_PARAMETER;
    if (!from || !to)
        goto done;
    while (!(ok = MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) && WaitToRetry(err = GetLastError(), start)) {
    }
done:
    if (!ok)
        SetLastError(err);
    return ok;
}
