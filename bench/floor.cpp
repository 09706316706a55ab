/* The floor of a message between two processes: a bare handshake over the same kinds of objects
 * as the messaging layer (SEND mutex, RECV, SEND and RECV_OK events, a named mapping of the
 * message's size, the receiver's heap copy), with no trace and no history. */
#include "bench/floor.h"
#include <stdio.h>
#include <string.h>
#include <algorithm>

enum : DWORD { WAIT_MS = 10000 };

/* Bare receiver of FLOOR_AP: copy the block to the heap, confirm. Peer's second thread. */
DWORD WINAPI FloorReceiver(void *stop)
{
    char n[IW_NAME_LEN];
    IwFormatName(n, IW_FMT_RECV, FLOOR_AP);
    HANDLE recv = CreateEventA(nullptr, TRUE, TRUE, n);
    IwFormatName(n, IW_FMT_SEND, FLOOR_AP);
    HANDLE send = CreateEventA(nullptr, TRUE, FALSE, n);
    IwFormatName(n, IW_FMT_RECV_OK, FLOOR_AP);
    HANDLE recvOk = CreateEventA(nullptr, TRUE, FALSE, n);
    char data[IW_NAME_LEN];
    IwFormatName(data, IW_FMT_DATA, FLOOR_AP);
    HANDLE waits[2] = { send, (HANDLE)stop };
    HANDLE heap = GetProcessHeap();
    SetEvent(recv);
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        ResetEvent(send);
        HANDLE map = OpenFileMappingA(FILE_MAP_READ, TRUE, data);
        const uint8_t *view = map ? (const uint8_t *)MapViewOfFile(map, FILE_MAP_READ, 0, 0, 0) : nullptr;
        if (view) {
            IwHeader h;
            memcpy(&h, view, HDR_SIZE);
            uint8_t *head = (uint8_t *)HeapAlloc(heap, HEAP_ZERO_MEMORY, HDR_SIZE + h.extraLen);
            uint8_t *body = (uint8_t *)HeapAlloc(heap, HEAP_ZERO_MEMORY, h.dataLen);
            memcpy(head, view, HDR_SIZE + h.extraLen);
            memcpy(body, view + HDR_SIZE + h.extraLen, h.dataLen);
            UnmapViewOfFile(view);
            CloseHandle(map);
            SetEvent(recvOk);
            HeapFree(heap, 0, head);
            HeapFree(heap, 0, body);
        } else if (map) {
            CloseHandle(map);
        }
    }
    ResetEvent(recv);
    return 0;
}

/* One bare transfer to FLOOR_AP; 0 when confirmed. Main thread. */
int FloorSend(const uint8_t *data, uint32_t len)
{
    char n[IW_NAME_LEN];
    int rc = -1;
    IwFormatName(n, IW_FMT_MUTEX, FLOOR_AP);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, n);
    WaitForSingleObject(mutex, WAIT_MS);
    IwFormatName(n, IW_FMT_RECV, FLOOR_AP);
    HANDLE recv = CreateEventA(nullptr, TRUE, FALSE, n);
    WaitForSingleObject(recv, WAIT_MS);
    IwFormatName(n, IW_FMT_RECV_OK, FLOOR_AP);
    HANDLE recvOk = CreateEventA(nullptr, TRUE, FALSE, n);
    IwFormatName(n, IW_FMT_DATA, FLOOR_AP);
    HANDLE map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, HDR_SIZE + len, n);
    uint8_t *view = (uint8_t *)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    IwHeader h;
    memset(&h, 0, sizeof h);
    h.dataLen = len;
    memset(view, 0, HDR_SIZE + len);
    memcpy(view, &h, HDR_SIZE);
    memcpy(view + HDR_SIZE, data, len);
    IwFormatName(n, IW_FMT_SEND, FLOOR_AP);
    HANDLE send = CreateEventA(nullptr, TRUE, FALSE, n);
    SetEvent(send);
    CloseHandle(send);
    if (WaitForSingleObject(recvOk, WAIT_MS) == WAIT_OBJECT_0)
        rc = 0;
    ResetEvent(recvOk);
    UnmapViewOfFile(view);
    CloseHandle(map);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    CloseHandle(recvOk);
    CloseHandle(recv);
    return rc;
}

double NowUs()
{
    LARGE_INTEGER c, f;
    QueryPerformanceCounter(&c);
    QueryPerformanceFrequency(&f);
    return double(c.QuadPart) * 1e6 / double(f.QuadPart);
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}
