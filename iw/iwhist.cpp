/* Messaging layer: the history ring file, the last 2000 starts, ends and qualifying transfers as
 * 640-byte text records behind an 8-byte header naming the record written last. Every process
 * of the suite writes the same file; nothing locks it between the counter and the record. */
#include "iw/iw.h"
#include "base/bytes.h"
#include "svclib/mtpsvc.h"
#include <stdio.h>
#include <string.h>

enum : size_t { TIME_TEXT_LEN = 26, HEAD_DIGITS = 4 };

/* An open ring file positioned at the record to write. */
struct HistWork {
    HANDLE file;
    int    number;
    char   head[HIST_HEAD_LEN];
};

/* Header digits: "%04d" and a zero over the first five bytes, the rest as it was. */
static void PutNumber(char head[HIST_HEAD_LEN], int number)
{
    char digits[HEAD_DIGITS + 1];
    snprintf(digits, sizeof digits, "%04d", number);
    memcpy(head, digits, sizeof digits);
}

/* Leading decimal digits of the header; 0 when there are none. */
static int ReadNumber(const char head[HIST_HEAD_LEN])
{
    int n = 0;
    for (size_t i = 0; i < HIST_HEAD_LEN && head[i] >= '0' && head[i] <= '9'; i++)
        n = n * 10 + (head[i] - '0');
    return n;
}

static int WriteAt(HANDLE f, DWORD offset, const void *p, DWORD len)
{
    DWORD put = 0;
    if (SetFilePointer(f, LONG(offset), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return 0;
    return WriteFile(f, p, len, &put, nullptr) && put == len;
}

/* Opens (or creates) the file, advances the header to the next record and positions the file
 * there. 0, or -1 when the file can be neither opened nor created. Any thread. */
static int HistOpen(HistWork *w)
{
    DWORD got = 0;
    memset(w->head, ' ', sizeof w->head);
    w->number = 0;
    w->file = CreateFileA(HIST_PATH, GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (w->file == INVALID_HANDLE_VALUE) {
        w->file = CreateFileA(HIST_PATH, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (w->file == INVALID_HANDLE_VALUE)
            return -1;
        PutNumber(w->head, 0);
        WriteAt(w->file, 0, w->head, HIST_HEAD_LEN);
    }
    SetFilePointer(w->file, 0, nullptr, FILE_BEGIN);
    ReadFile(w->file, w->head, HIST_HEAD_LEN, &got, nullptr);
    /* A header that does not read as a record number starts the ring again at 1. */
    w->number = ReadNumber(w->head) + 1;
    if (w->number < 1 || w->number > int(HIST_RECORDS))
        w->number = 1;
    PutNumber(w->head, w->number);
    WriteAt(w->file, 0, w->head, HIST_HEAD_LEN);
    SetFilePointer(w->file, LONG(HIST_HEAD_LEN + HIST_REC_LEN * (w->number - 1)), nullptr,
                   FILE_BEGIN);
    return 0;
}

/* "Www Mmm dd hh:mm:ss yyyy\n" of the local time now. */
static void TimeText(char out[TIME_TEXT_LEN])
{
    static const char days[7][4] = { "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat" };
    static const char months[12][4] = { "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
    SYSTEMTIME t;
    GetLocalTime(&t);
    snprintf(out, TIME_TEXT_LEN, "%s %s %02u %02u:%02u:%02u %04u\n", days[t.wDayOfWeek % 7],
             months[(t.wMonth + 11) % 12], unsigned(t.wDay), unsigned(t.wHour),
             unsigned(t.wMinute), unsigned(t.wSecond), unsigned(t.wYear));
}

/* Fills a record with spaces and its body's leading newline. */
static void BlankRecord(char rec[HIST_REC_LEN])
{
    memset(rec, ' ', HIST_REC_LEN);
    rec[HIST_LINE_LEN] = '\n';
}

/* Writes the record at the position HistOpen left and closes the file. */
static int WriteRecord(HistWork *w, const char rec[HIST_REC_LEN])
{
    DWORD put = 0;
    WriteFile(w->file, rec, HIST_REC_LEN, &put, nullptr);
    CloseHandle(w->file);
    return 0;
}

/* Body of start and end records: the current-thread value as the system gives it. */
static void PutTask(char rec[HIST_REC_LEN])
{
    snprintf(rec + HIST_LINE_LEN + 1, HIST_BODY_LEN - 1, "htask = %04hx",
             (unsigned short)(uintptr_t)GetCurrentThread());
}

int HistTrn(const BitmapMP *target1, uint16_t func, const void *data, uint32_t len)
{
    static const char hex[] = "0123456789abcdef";
    HistWork w;
    char rec[HIST_REC_LEN], now[TIME_TEXT_LEN];
    const uint8_t *p = (const uint8_t *)data;
    char *body = rec + HIST_LINE_LEN + 1;
    uint32_t shown = len < HIST_DATA_MAX ? len : HIST_DATA_MAX;

    if (!IwHistoryFilter(uint8_t(func)))
        return 0;
    if (HistOpen(&w) < 0)
        return -1;
    TimeText(now);
    BlankRecord(rec);
    snprintf(rec, HIST_LINE_LEN, "\n\n%sProc = %08lx%08lx Func = %02x", now,
             (unsigned long)GetLe32(target1->bits), (unsigned long)GetLe32(target1->bits + 4),
             unsigned(func & 0xFF));
    for (uint32_t i = 0; i < shown; i++) {
        body[2 * i] = hex[p[i] >> 4];
        body[2 * i + 1] = hex[p[i] & 0xF];
    }
    body[2 * shown] = '\0';
    return WriteRecord(&w, rec);
}

int HistIni(uintptr_t instance, uintptr_t window)
{
    HistWork w;
    char rec[HIST_REC_LEN], now[TIME_TEXT_LEN];
    if (HistOpen(&w) < 0)
        return -1;
    TimeText(now);
    BlankRecord(rec);
    snprintf(rec, HIST_LINE_LEN, "\n\n%shInstance = %04hx hWnd = %04hx", now,
             (unsigned short)instance, (unsigned short)window);
    PutTask(rec);
    return WriteRecord(&w, rec);
}

int HistEnd()
{
    HistWork w;
    char rec[HIST_REC_LEN], now[TIME_TEXT_LEN];
    if (HistOpen(&w) < 0)
        return -1;
    TimeText(now);
    BlankRecord(rec);
    snprintf(rec, HIST_LINE_LEN, "\n\n%s", now);
    PutTask(rec);
    return WriteRecord(&w, rec);
}
