/* MTPCMN32.dll's configuration and equipment queries, answered from the process's subsystem
 * description. Each query first asks [Fail] whether it is to fail, and with TraceCalls=1 leaves
 * one trace line "svc Name(args) -> ret EC=xxxx" (arguments in hex). Any thread. */
#include "svclib/mtpsvc.h"
#include "svclib/subsys.h"
#include <stdarg.h>
#include <stdio.h>

static_assert(int(SVC_EQUIPPED) == int(SUBSYS_EQUIPPED) && int(SVC_NOT_EQUIPPED) == int(SUBSYS_NOT_EQUIPPED) &&
              int(SVC_EC_NO_DRIVE) == int(SUBSYS_EC_NO_DRIVE) && int(SVC_LOCATION_LEN) == int(SUBSYS_NAME_LEN),
              "codes of the description and the exports agree");

enum : int { CALL_TEXT_LEN = 600, CONFIG_DIR_SHOWN = 260 };

/* Ends a query: hands out the EC on failure, traces the call when asked. fmt describes
 * "Name(args)". Returns the query's result as BOOL. */
static BOOL Finish(const SubsysDesc *d, int ok, uint16_t e, uint16_t *ec, const char *fmt, ...)
{
    if (!ok && ec)
        *ec = e;
    if (d->traceCalls) {
        char line[CALL_TEXT_LEN];
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(line, sizeof line - 32, fmt, ap);
        va_end(ap);
        if (n < 0)
            n = 0;
        if (n > int(sizeof line) - 33)
            n = int(sizeof line) - 33;
        snprintf(line + n, sizeof line - size_t(n), " -> %d EC=%04X", ok ? 1 : 0, ok ? 0u : unsigned(e));
        WriteTraceLog(0, SUBSYS_TRACE_KIND, line);
    }
    return ok ? TRUE : FALSE;
}

static const char *Shown(const char *configDir) { return configDir ? configDir : "(null)"; }

BOOL WINAPI mtp_GetMtpMode(uint16_t *mode, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = 0;
    int ok = !SubsysCheckFail(d, "mtp_GetMtpMode", 0, 0, &e) && SubsysGetMtpMode(d, mode, &e);
    return Finish(d, ok, e, ec, "svc mtp_GetMtpMode()");
}

BOOL WINAPI mtp_GetDkcModel(uint16_t *model, int, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = 0;
    int ok = !SubsysCheckFail(d, "mtp_GetDkcModel", 0, 0, &e) && SubsysGetDkcModel(d, model, &e);
    return Finish(d, ok, e, ec, "svc mtp_GetDkcModel()");
}

BOOL WINAPI GetDkuModel(uint16_t dku, uint16_t *model, int, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = 0;
    int ok = !SubsysCheckFail(d, "GetDkuModel", 1, dku, &e) && SubsysGetDkuModel(d, dku, model, &e);
    return Finish(d, ok, e, ec, "svc GetDkuModel(%04X)", dku);
}

BOOL WINAPI GetDkaEquipStatus(int, uint16_t dka, const char *configDir, uint16_t *state, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = 0;
    int ok = !SubsysCheckFail(d, "GetDkaEquipStatus", 1, dka, &e) && SubsysGetDkaState(d, dka, state, &e);
    return Finish(d, ok, e, ec, "svc GetDkaEquipStatus(%04X, %.*s)", dka, CONFIG_DIR_SHOWN, Shown(configDir));
}

BOOL WINAPI GetHduEquipStatus(uint16_t dku, int, uint16_t *state, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = 0;
    int ok = !SubsysCheckFail(d, "GetHduEquipStatus", 1, dku, &e) && SubsysGetHduState(d, dku, state, &e);
    return Finish(d, ok, e, ec, "svc GetHduEquipStatus(%04X)", dku);
}

BOOL WINAPI GetPdevEquipStatus(uint16_t pdev, int, uint16_t *state, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = 0;
    int ok = !SubsysCheckFail(d, "GetPdevEquipStatus", 1, pdev, &e) && SubsysGetPdevState(d, pdev, state, &e);
    return Finish(d, ok, e, ec, "svc GetPdevEquipStatus(%04X)", pdev);
}

BOOL WINAPI GetAllLdevEquipStatus(uint32_t map[256][8], uint32_t *, int, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = 0;
    int ok = !SubsysCheckFail(d, "GetAllLdevEquipStatus", 0, 0, &e) && SubsysGetLdevEquipMap(d, map, &e);
    return Finish(d, ok, e, ec, "svc GetAllLdevEquipStatus()");
}

BOOL WINAPI GetAllLdevStatus(uint16_t status[256][256], int, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = 0;
    int ok = !SubsysCheckFail(d, "GetAllLdevStatus", 0, 0, &e) && SubsysGetLdevStatus(d, status, &e);
    return Finish(d, ok, e, ec, "svc GetAllLdevStatus()");
}

BOOL WINAPI mtp_GetDkuLocation(uint16_t dku, int, char *buf, int bufLen, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = 0;
    int ok = !SubsysCheckFail(d, "mtp_GetDkuLocation", 1, dku, &e) &&
             SubsysGetDkuLocation(d, dku, buf, bufLen, &e);
    return Finish(d, ok, e, ec, "svc mtp_GetDkuLocation(%04X)", dku);
}

BOOL WINAPI mtp_GetHduBoxLocation(uint16_t dku, uint16_t box, int, char *buf, int bufLen, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = 0;
    int ok = !SubsysCheckFail(d, "mtp_GetHduBoxLocation", 1, dku, &e) &&
             SubsysGetBoxLocation(d, dku, box, buf, bufLen, &e);
    return Finish(d, ok, e, ec, "svc mtp_GetHduBoxLocation(%04X, %04X)", dku, box);
}

BOOL WINAPI mtp_GetPdevLocation(uint16_t pdev, int, char *buf, int bufLen, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = 0;
    int ok = !SubsysCheckFail(d, "mtp_GetPdevLocation", 1, pdev, &e) &&
             SubsysGetPdevLocation(d, pdev, buf, bufLen, &e);
    return Finish(d, ok, e, ec, "svc mtp_GetPdevLocation(%04X)", pdev);
}

/* boxHdd carries the box in its upper half and the drive position in its lower half. */
BOOL WINAPI GetPdevByLocation(uint16_t dku, uint32_t boxHdd, uint16_t *pdev, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = 0;
    int ok = !SubsysCheckFail(d, "GetPdevByLocation", 1, dku, &e) &&
             SubsysFindPdev(d, dku, uint16_t(boxHdd >> 16), uint16_t(boxHdd & 0xFFFF), pdev, &e);
    return Finish(d, ok, e, ec, "svc GetPdevByLocation(%04X, %08X)", dku, unsigned(boxHdd));
}

/* x and y are not read by the program; they come back 0. */
BOOL WINAPI GetPdevPaths(uint16_t pdev, const char *configDir, uint16_t *a1, uint16_t *a2, uint16_t *a3,
                         uint16_t *x, uint16_t *b1, uint16_t *b2, uint16_t *b3, uint32_t *y, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = SUBSYS_EC_BAD_ARG, a[3], b[3];
    int ok = a1 && a2 && a3 && x && b1 && b2 && b3 && y && !SubsysCheckFail(d, "GetPdevPaths", 1, pdev, &e) &&
             SubsysGetPdevPaths(d, pdev, a, b, &e);
    if (ok) {
        *a1 = a[0], *a2 = a[1], *a3 = a[2], *x = 0;
        *b1 = b[0], *b2 = b[1], *b3 = b[2], *y = 0;
    }
    return Finish(d, ok, e, ec, "svc GetPdevPaths(%04X, %.*s)", pdev, CONFIG_DIR_SHOWN, Shown(configDir));
}

BOOL WINAPI GetMpOfPath(uint16_t p1, uint16_t p2, uint16_t p3, uint16_t *mp, uint16_t *ec)
{
    const SubsysDesc *d = SubsysCurrent();
    uint16_t e = 0;
    int ok = !SubsysCheckFail(d, "GetMpOfPath", 1, p1, &e) && SubsysGetMpOfPath(p1, p2, p3, mp, &e);
    return Finish(d, ok, e, ec, "svc GetMpOfPath(%04X, %04X, %04X)", p1, p2, p3);
}
