/* The maintenance processor's service libraries as the program sees them.
 *
 * MTPCMN32.dll  trace log, configuration and equipment queries (by ordinal)
 * MTPMSG32.dll  mtp_MessageBox
 * LockStore.dll exclusive file operations of the communication trace (by ordinal)
 * mtp_iw32.dll  history filter (ordinal 14), placeholder receive entry (ordinal 5)
 * mtp_dd32.dll  mtp_ClearBitmapMP
 *
 * Queries return non-zero when done and set the 16-bit EC on failure.
 * All entries may be called from any thread. */
#pragma once
#include <windows.h>
#include <stdint.h>

#ifdef MTPSVC_BUILD
#define MTPSVC_API extern "C" __declspec(dllexport)
#else
#define MTPSVC_API extern "C" __declspec(dllimport)
#endif

enum : uint16_t {
    SVC_EQUIPPED      = 0x1200,   /* state: equipped */
    SVC_NOT_EQUIPPED  = 0x1201,   /* state: not equipped; EC: no location text */
    SVC_EC_NO_DRIVE   = 0x1101,   /* EC of GetPdevEquipStatus: no such drive */
    SVC_MODEL_LT      = 5,        /* mtp_GetDkcModel: LT controller */
    SVC_MODEL_QX5     = 5,        /* GetDkuModel: QX5 unit */
    SVC_LOCATION_LEN  = 16,       /* location text buffers */
};

/* ---- MTPCMN32.dll ---- */
MTPSVC_API BOOL WINAPI WriteTraceLog(int zero, uint16_t kind, const char *text);                 /* @97   */
MTPSVC_API BOOL WINAPI mtp_GetMtpMode(uint16_t *mode, uint16_t *ec);                             /* @95   */
MTPSVC_API BOOL WINAPI mtp_GetDkcModel(uint16_t *model, int zero, uint16_t *ec);                 /* @2518 */
MTPSVC_API BOOL WINAPI GetDkuModel(uint16_t dku, uint16_t *model, int zero, uint16_t *ec);       /* @9101 */
MTPSVC_API BOOL WINAPI GetDkaEquipStatus(int zero, uint16_t dka, const char *configDir,
                                         uint16_t *state, uint16_t *ec);                         /* @1201 */
MTPSVC_API BOOL WINAPI GetHduEquipStatus(uint16_t dku, int zero, uint16_t *state, uint16_t *ec); /* @1210 */
MTPSVC_API BOOL WINAPI GetPdevEquipStatus(uint16_t pdev, int zero, uint16_t *state, uint16_t *ec); /* @1225 */
MTPSVC_API BOOL WINAPI GetAllLdevEquipStatus(uint32_t map[256][8], uint32_t *ignored, int zero,
                                             uint16_t *ec);                                      /* @1276 */
MTPSVC_API BOOL WINAPI GetAllLdevStatus(uint16_t status[256][256], int zero, uint16_t *ec);      /* @2217 */
MTPSVC_API BOOL WINAPI mtp_GetDkuLocation(uint16_t dku, int zero, char *buf, int bufLen,
                                          uint16_t *ec);                                         /* @1845 */
MTPSVC_API BOOL WINAPI mtp_GetHduBoxLocation(uint16_t dku, uint16_t box, int zero, char *buf,
                                             int bufLen, uint16_t *ec);                          /* @1846 */
MTPSVC_API BOOL WINAPI mtp_GetPdevLocation(uint16_t pdev, int zero, char *buf, int bufLen,
                                           uint16_t *ec);                                        /* @1848 */
MTPSVC_API BOOL WINAPI GetPdevByLocation(uint16_t dku, uint32_t boxHdd, uint16_t *pdev,
                                         uint16_t *ec);                                          /* @1902 */
MTPSVC_API BOOL WINAPI GetPdevPaths(uint16_t pdev, const char *configDir,
                                    uint16_t *a1, uint16_t *a2, uint16_t *a3, uint16_t *x,
                                    uint16_t *b1, uint16_t *b2, uint16_t *b3, uint32_t *y,
                                    uint16_t *ec);                                               /* @1406 */
MTPSVC_API BOOL WINAPI GetMpOfPath(uint16_t p1, uint16_t p2, uint16_t p3, uint16_t *mp,
                                   uint16_t *ec);                                                /* @2003 */

/* ---- MTPMSG32.dll ---- */
/* Every caller passes owner, 12, 2631, 20173, 0, 16 and a location code such as "DC3-01". */
MTPSVC_API int WINAPI mtp_MessageBox(HWND owner, int a, int b, int c, int d, int e, const char *text);

/* ---- LockStore.dll ---- */
/* @100: CreateFile arguments; returns the file handle or INVALID_HANDLE_VALUE. A file that another
 * writer holds exclusively is waited for a short while before the open fails. */
MTPSVC_API HANDLE WINAPI LsOpenFile(const char *path, DWORD access, DWORD share, SECURITY_ATTRIBUTES *sa,
                                    DWORD disposition, DWORD attributes, HANDLE templ);          /* @100 */
MTPSVC_API BOOL WINAPI LsCloseFile(HANDLE h);                                                    /* @102 */
MTPSVC_API BOOL WINAPI LsDeleteFile(const char *path);                                           /* @103 */
MTPSVC_API BOOL WINAPI LsRenameFile(const char *from, const char *to);                           /* @107 */

/* ---- mtp_iw32.dll ---- */
struct IwMsgDesc;
/* @5: placeholder receive entry kept in the outer columns of receive tables; consumes and returns 0x8000. */
MTPSVC_API uint32_t WINAPI IwDefaultEntry(IwMsgDesc *msg);                                       /* @5  */
/* @14: history filter: non-zero when a transfer with this function code is to be recorded. */
MTPSVC_API int WINAPI IwHistoryFilter(uint8_t func);                                             /* @14 */

/* ---- mtp_dd32.dll ---- */
/* Clears a 34-byte MP bitmap record (bitmap and MPID). */
MTPSVC_API void WINAPI mtp_ClearBitmapMP(void *bitmapMp);
