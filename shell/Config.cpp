/* Equipment configuration through the service library: models, DKA pairs, maintenance mode,
 * drive equip states and locations, logical-device states, MP ids. Main thread. */
#include "shell/shell.h"
#include "svclib/mtpsvc.h"
#include <stdio.h>
#include <string.h>

enum : uint16_t { MTP_MODE_DEBUG = 2, MTP_MODE_SECOND = 7, MTP_MODE_DEFAULT = 1 };
enum : uint16_t { HDD_POSITIONS = 32, LDEV_GROUPS_EXAMINED = 255,
                  BOX_STATE_UNKNOWN = 0x1100 };

static const char kNoLocation[] = "------";

void ReadConfiguration()
{
    uint16_t ec = 0, model = 0;
    g_app.dkcModel = 0;
    if (!mtp_GetDkcModel(&model, 0, &ec))
        AppTrace("mtp_GetDkcModel failed.");
    else if (model == SVC_MODEL_LT)
        g_app.dkcModel = 1;
    AppTrace("DKC Model(0:HV ; 1:LT) = %d", g_app.dkcModel);

    for (uint16_t dku = 0; dku < 8; dku++) {
        g_app.dkuModel[dku] = 0;
        if (dku < 4) {
            model = 0;
            if (!GetDkuModel(dku, &model, 0, &ec))
                AppTrace("GetDkuModel failed. EC = %04x", ec);
            else if (model == SVC_MODEL_QX5)
                g_app.dkuModel[dku] = 1;
        }
        AppTrace("No.%d DKU Model(0:QX7 ; 1:QX5) = %d", dku, g_app.dkuModel[dku]);
    }

    DkaPareConf(&g_app.conKind);
    AppTrace("2Pare DKF? (0:1Pare ; 1:2Pare) = %d", g_app.conKind);

    uint16_t mode = 0;
    if (!mtp_GetMtpMode(&mode, &ec)) {
        AppTrace("mtp_GetMtpMode failed.");
        mode = MTP_MODE_DEFAULT;
    }
    g_app.debugMode = mode == MTP_MODE_DEBUG ? 1 : mode == MTP_MODE_SECOND ? 2 : 0;
    ConfigureLayers();
}

/* 1 in *conKind when DKA 2 or 3 is equipped. Always returns 1. */
int DkaPareConf(uint16_t *conKind)
{
    *conKind = 0;
    for (uint16_t dka = 2; dka <= 3; dka++) {
        uint16_t state = 0, ec = 0;
        if (!GetDkaEquipStatus(0, dka, g_app.configDir, &state, &ec)) {
            AppTrace("DkaPareConf -> GetDkaEquipStatus Failed. EC=%04x DKA#:%d", ec, dka);
            continue;
        }
        if (state == SVC_EQUIPPED) {
            *conKind = 1;
            break;
        }
    }
    AppTrace("%s", *conKind == 1 ? "2DKA Pair Configuration!" : "1DKA Pair Configuration!");
    return 1;
}

/* Equip state of a drive; a PDEV outside the table is not equipped without a query. */
int GetPdevEquipState(uint16_t pdev, uint16_t *state, uint16_t *ec)
{
    if ((pdev >> 8) >= UNIT_COUNT || (pdev & 0xFF) >= ROW_COUNT) {
        *state = SVC_NOT_EQUIPPED;
        return 1;
    }
    if (!GetPdevEquipStatus(pdev, 0, state, ec)) {
        AppTrace("GetPdevEquipStatus Function failed. EC = %04x", *ec);
        return 0;
    }
    return 1;
}

/* Unit and row of an HDD position; 1 only for a valid drive number. */
int GetPdevOfLocation(uint16_t dku, uint16_t box, uint16_t hdd, uint8_t *unit, uint8_t *row)
{
    uint16_t pdev = 0, ec = 0;
    if (!GetPdevByLocation(dku, uint32_t(box) * 65536u + hdd, &pdev, &ec)) {
        *unit = 0;
        *row = 0;
        return 0;
    }
    *unit = uint8_t(pdev >> 8);
    *row = uint8_t(pdev);
    return (pdev >> 8) < UNIT_COUNT && (pdev & 0xFF) < ROW_COUNT;
}

/* 0x1200 when any drive of the box is equipped, 0x1201 when none, 0x1100 when the box has no
 * valid position. Returns 0 after a failed equip query. */
int GetHddBoxEquipStatus(uint16_t dku, uint16_t box, uint16_t *state, uint16_t *ec)
{
    *state = BOX_STATE_UNKNOWN;
    for (uint16_t hdd = 0; hdd < HDD_POSITIONS; hdd++) {
        uint8_t unit = 0, row = 0;
        if (!GetPdevOfLocation(dku, box, hdd, &unit, &row))
            continue;
        uint16_t drive = 0;
        if (!GetPdevEquipState(uint16_t(unit << 8 | row), &drive, ec))
            return 0;
        if (drive == SVC_EQUIPPED) {
            *state = SVC_EQUIPPED;
            return 1;
        }
        *state = SVC_NOT_EQUIPPED;
    }
    return 1;
}

/* 11 when every equipped logical device of groups 0..254 is blocked, else 12. */
int GetLdevStatus(uint16_t *result, uint16_t *ec)
{
    static uint32_t equip[256][8];
    static uint16_t status[256][256];
    static const uint16_t kBlocked[] = { 0x2002, 0x2004, 0x2008, 0x2010, 0x2020 };
    uint32_t ignored = 0;

    *result = LDEV_NOT_BLOCKED;
    if (!GetAllLdevEquipStatus(equip, &ignored, 0, ec)) {
        AppTrace("GetAllLdevEquipStatus failed. EC=%04x", *ec);
        return 0;
    }
    if (!GetAllLdevStatus(status, 0, ec)) {
        AppTrace("GetAllLdevStatus failed. EC=%04x", *ec);
        return 0;
    }
    for (uint32_t group = 0; group < LDEV_GROUPS_EXAMINED; group++) {
        for (uint32_t ldev = 0; ldev < 256; ldev++) {
            if (!(equip[group][ldev / 32] & (0x80000000u >> (ldev % 32))))
                continue;
            int blocked = 0;
            for (uint16_t s : kBlocked)
                blocked |= status[group][ldev] == s;
            if (!blocked)
                return 1;
        }
    }
    *result = LDEV_ALL_BLOCKED;
    return 1;
}

/* A failed location query leaves "------"; EC 0x1201 (no location) is not worth a line. */
static int LocationFailed(const char *query, uint16_t ec, char *buf)
{
    snprintf(buf, DRIVE_NAME_LEN, "%s", kNoLocation);
    if (ec != SVC_NOT_EQUIPPED)
        AppTrace("%s Function failed. EC = %04x", query, ec);
    return 1;
}

int GetDkuLocationText(uint16_t dku, char *buf)
{
    uint16_t ec = 0;
    if (!mtp_GetDkuLocation(dku, 0, buf, DRIVE_NAME_LEN, &ec))
        return LocationFailed("mtp_GetDkuLocation", ec, buf);
    buf[DRIVE_NAME_LEN - 1] = '\0';
    return 1;
}

int GetHduBoxLocationText(uint16_t dku, uint16_t box, char *buf)
{
    uint16_t ec = 0;
    if (!mtp_GetHduBoxLocation(dku, box, 0, buf, DRIVE_NAME_LEN, &ec))
        return LocationFailed("mtp_GetHduBoxLocation", ec, buf);
    buf[DRIVE_NAME_LEN - 1] = '\0';
    return 1;
}

int GetPdevLocationText(uint16_t pdev, char *buf)
{
    uint16_t ec = 0;
    if (!mtp_GetPdevLocation(pdev, 0, buf, DRIVE_NAME_LEN, &ec))
        return LocationFailed("mtp_GetPdevLocation", ec, buf);
    buf[DRIVE_NAME_LEN - 1] = '\0';
    return 1;
}

/* Location names of every equipped drive. Always 1. */
int RenewInformation()
{
    for (uint32_t unit = 0; unit < UNIT_COUNT; unit++) {
        for (uint32_t row = 0; row < ROW_COUNT; row++) {
            uint16_t pdev = uint16_t(unit << 8 | row), state = 0, ec = 0;
            if (!GetPdevEquipState(pdev, &state, &ec) || state != SVC_EQUIPPED)
                continue;
            GetPdevLocationText(pdev, g_run.driveTable[unit][row].name);
        }
    }
    return 1;
}

/* MP ids of the two paths to a drive; 1 when both were set. */
int GetMpIds(uint16_t pdev)
{
    uint16_t a1 = 0, a2 = 0, a3 = 0, x = 0, b1 = 0, b2 = 0, b3 = 0, mp = 0, ec = 0;
    uint32_t y = 0;
    if (!GetPdevPaths(pdev, g_app.configDir, &a1, &a2, &a3, &x, &b1, &b2, &b3, &y, &ec))
        return 0;
    if (!GetMpOfPath(a1, a2, a3, &mp, &ec))
        return 0;
    g_run.mpIdMain = uint16_t(mp + MP_ID_BASE);
    if (!GetMpOfPath(b1, b2, b3, &mp, &ec))
        return 0;
    g_run.mpIdAlt = uint16_t(mp + MP_ID_BASE);
    return 1;
}
