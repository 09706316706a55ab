/* Controller simulator: its drives and faults, from the subsystem description and its own
 * sections [Sim], [Drive.XXXX] and [Fault] of the same file. */
#include "sim/sim.h"
#include "svclib/subsys.h"
#include <stdio.h>
#include <string.h>

enum : uint32_t { ITEM_LEN = 64, NAME_LEN = 32 };

const char *const kSimVendors[3] = { "NORDAXIS", "QUILLION", "ZEPHRONA" };

struct CommandName { const char *name; uint8_t cmd; };
static const CommandName kCommands[] = {
    { "TUR", SIM_CMD_TUR },               { "INQUIRY", SIM_CMD_INQUIRY },
    { "SENSE", SIM_CMD_SENSE },           { "STOP", SIM_CMD_STOP },
    { "START", SIM_CMD_START },           { "SELFTEST", SIM_CMD_SELFTEST },
    { "OTHER", SIM_CMD_OTHER },           { "LIP", SIM_CMD_LIP },
    { "RESETBYPASS", SIM_CMD_RESETBYPASS }, { "SETBYPASS", SIM_CMD_SETBYPASS },
    { "CHECKBYPASS", SIM_CMD_CHECKBYPASS }, { "STARTINLINE", SIM_CMD_STARTINLINE },
    { "ENDINLINE", SIM_CMD_ENDINLINE },   { "REJECTLAMP", SIM_CMD_REJECTLAMP },
    { "DRIVEREAD", SIM_CMD_DRIVEREAD },   { "ANY", SIM_CMD_ANY },
};

struct FaultName { const char *name; uint8_t kind; uint8_t argBase; uint32_t argMax; };
static const FaultName kFaults[] = {
    { "timeout", SIM_FAULT_TIMEOUT, 0, 0 },
    { "rc", SIM_FAULT_RC, 16, 0xFFFFFFFFu },
    { "error", SIM_FAULT_ERROR, 16, 0xFF },
    { "wrongrow", SIM_FAULT_WRONGROW, 0, 0 },
    { "missingrow", SIM_FAULT_MISSINGROW, 0, 0 },
    { "slow", SIM_FAULT_SLOW, 10, SIM_MS_MAX },
};

/* The demo's faulty drives of the built-in subsystem. */
enum : uint16_t {
    DEMO_SELFTEST_PDEV = 0x0103, DEMO_VENDOR_PDEV = 0x0207, DEMO_NOT_READY_PDEV = 0x0805,
    DEMO_BYPASS_PDEV = 0x0002, DEMO_VALUE_PDEV = 0x1000,
};
enum : uint8_t { DEMO_SELFTEST = 0x05 };
enum : uint32_t { DEMO_DRIVE_VALUE = 0x00000031 };

int DkcCommandByName(const char *name, uint8_t *cmd)
{
    for (const CommandName &c : kCommands)
        if (_stricmp(c.name, name) == 0) {
            *cmd = c.cmd;
            return 1;
        }
    return 0;
}

const char *DkcCommandName(uint8_t cmd)
{
    for (const CommandName &c : kCommands)
        if (c.cmd == cmd)
            return c.name;
    return "?";
}

/* Copies text[from, to) trimmed into dst; 0 when it is empty or does not fit. */
static int TakeTrimmed(const char *from, const char *to, char *dst, size_t dstLen)
{
    while (from < to && (*from == ' ' || *from == '\t'))
        from++;
    while (to > from && (to[-1] == ' ' || to[-1] == '\t'))
        to--;
    if (to == from || size_t(to - from) >= dstLen)
        return 0;
    memcpy(dst, from, size_t(to - from));
    dst[to - from] = '\0';
    return 1;
}

/* One item "name[:arg][*count]" into f (drive and command already set). */
static int ParseFaultItem(const char *item, SimFault *f)
{
    char name[NAME_LEN], arg[NAME_LEN];
    const char *star = strchr(item, '*');
    const char *end = star ? star : item + strlen(item);
    const char *colon = (const char *)memchr(item, ':', size_t(end - item));
    uint32_t v = 0, count;
    int hasArg = colon != nullptr;

    if (!TakeTrimmed(item, colon ? colon : end, name, sizeof name))
        return 0;
    if (hasArg && !TakeTrimmed(colon + 1, end, arg, sizeof arg))
        return 0;
    f->remaining = -1;
    if (star) {
        if (!SimParseNum(star + 1, 10, SIM_COUNT_MAX, &count) || count == 0)
            return 0;
        f->remaining = int32_t(count);
    }
    for (const FaultName &k : kFaults) {
        if (_stricmp(k.name, name) != 0)
            continue;
        if (hasArg != (k.argBase != 0))
            return 0;
        /* A fault that changes nothing (rc 0, error byte 0) is a mistake in the file. */
        if (hasArg && (!SimParseNum(arg, k.argBase, k.argMax, &v) ||
                       (v == 0 && k.kind != SIM_FAULT_SLOW)))
            return 0;
        f->kind = k.kind;
        f->arg = v;
        return 1;
    }
    return 0;
}

int DkcAddFaults(DkcConfig *c, const char *key, const char *value)
{
    char k[NAME_LEN], item[ITEM_LEN];
    SimFault f, parsed[SIM_FAULT_MAX];
    const char *p, *comma;
    char *dot, *cmdName, *at;
    uint32_t pdev = 0;
    int n = 0, added = 0;

    memset(&f, 0, sizeof f);
    if (!TakeTrimmed(key, key + strlen(key), k, sizeof k))
        return 0;
    dot = strchr(k, '.');
    cmdName = k;
    f.anyDrive = 1;
    if (dot) {
        char drive[NAME_LEN];
        if (!TakeTrimmed(k, dot, drive, sizeof drive) || !SimParseNum(drive, 16, 0xFFFF, &pdev))
            return 0;
        f.anyDrive = 0;
        f.pdev = uint16_t(pdev);
        cmdName = dot + 1;
    }
    /* "COMMAND@A" / "COMMAND@B": only commands that arrive over that path of the drive. */
    at = strchr(cmdName, '@');
    if (at) {
        if (_stricmp(at + 1, "A") == 0)
            f.path = SIM_PATH_A;
        else if (_stricmp(at + 1, "B") == 0)
            f.path = SIM_PATH_B;
        else
            return 0;
        *at = '\0';
    }
    if (!DkcCommandByName(cmdName, &f.cmd))
        return 0;
    /* Every item must read; a line with a bad one is left out whole. */
    for (p = value; n < SIM_FAULT_MAX; p = comma + 1) {
        comma = strchr(p, ',');
        const char *end = comma ? comma : p + strlen(p);
        if (!TakeTrimmed(p, end, item, sizeof item))
            return 0;
        parsed[n] = f;
        if (!ParseFaultItem(item, &parsed[n]))
            return 0;
        n++;
        if (!comma)
            break;
    }
    for (int i = 0; i < n && c->faultCount < SIM_FAULT_MAX; i++, added++)
        c->fault[c->faultCount++] = parsed[i];
    return added;
}

/* Drives of the subsystem description that the controller can address. */
static void TakeDrives(DkcConfig *c, const SubsysDesc *d)
{
    uint16_t state, ec, a[3], b[3], mp;
    for (int u = 0; u < SIM_UNITS; u++) {
        for (int r = 0; r < SIM_ROWS; r++) {
            SimDrive &dr = c->drive[u][r];
            const uint16_t pdev = uint16_t(u << 8 | r);
            memset(&dr, 0, sizeof dr);
            dr.mpA = dr.mpB = SIM_MP_NONE;
            memcpy(dr.vendor, kSimVendors[(u + r) % 3], SIM_VENDOR_LEN);
            dr.spinUpMs = c->spinUpMs;
            if (!SubsysGetPdevState(d, pdev, &state, &ec) || state != SUBSYS_EQUIPPED)
                continue;
            if (!SubsysGetPdevPaths(d, pdev, a, b, &ec))
                continue;
            dr.present = 1;
            c->driveCount++;
            if (SubsysGetMpOfPath(a[0], a[1], a[2], &mp, &ec))
                dr.mpA = uint8_t(mp);
            if (SubsysGetMpOfPath(b[0], b[1], b[2], &mp, &ec))
                dr.mpB = uint8_t(mp);
        }
    }
}

/* The addressable drive of a PDEV, or null. */
static SimDrive *DriveOf(DkcConfig *c, uint32_t pdev)
{
    uint32_t u = pdev >> 8, r = pdev & 0xFF;
    if (u >= uint32_t(SIM_UNITS) || r >= uint32_t(SIM_ROWS))
        return nullptr;
    return &c->drive[u][r];
}

static void ApplyDemo(DkcConfig *c)
{
    SimDrive *d;
    if ((d = DriveOf(c, DEMO_SELFTEST_PDEV)) != nullptr)
        d->selfTest = DEMO_SELFTEST;
    if ((d = DriveOf(c, DEMO_VENDOR_PDEV)) != nullptr)
        memcpy(d->vendor, SIM_DEMO_VENDOR, SIM_VENDOR_LEN);
    if ((d = DriveOf(c, DEMO_NOT_READY_PDEV)) != nullptr)
        d->neverReady = 1;
    if ((d = DriveOf(c, DEMO_BYPASS_PDEV)) != nullptr)
        d->bypassed = SIM_PATH_B;
    if ((d = DriveOf(c, DEMO_VALUE_PDEV)) != nullptr)
        d->driveValue = DEMO_DRIVE_VALUE;
}

/* "key,asc,ascq", hex bytes. */
static int ParseSense(const char *text, uint8_t out[SIM_SENSE_LEN])
{
    char part[NAME_LEN];
    uint32_t v[SIM_SENSE_LEN];
    const char *p = text;
    for (int i = 0; i < SIM_SENSE_LEN; i++) {
        const char *comma = strchr(p, ',');
        const char *end = comma ? comma : p + strlen(p);
        if ((i < SIM_SENSE_LEN - 1) != (comma != nullptr))
            return 0;
        if (!TakeTrimmed(p, end, part, sizeof part) || !SimParseNum(part, 16, 0xFF, &v[i]))
            return 0;
        p = end + 1;
    }
    for (int i = 0; i < SIM_SENSE_LEN; i++)
        out[i] = uint8_t(v[i]);
    return 1;
}

/* One [Drive.XXXX] section. Values that do not read leave the setting as it was. */
static void ApplyDriveSection(const char *path, const char *sect, SimDrive *d)
{
    char v[SIM_VALUE_LEN];
    uint32_t n;
    if (SimIniText(path, sect, "Vendor", v, sizeof v) && strlen(v) <= SIM_VENDOR_LEN) {
        memset(d->vendor, ' ', SIM_VENDOR_LEN);
        memcpy(d->vendor, v, strlen(v));
    }
    if (SimIniText(path, sect, "SelfTest", v, sizeof v) && SimParseNum(v, 16, 0xFF, &n))
        d->selfTest = uint8_t(n);
    if (SimIniText(path, sect, "Sense", v, sizeof v))
        ParseSense(v, d->sense);
    if (SimIniText(path, sect, "StoppedSense", v, sizeof v) && ParseSense(v, d->stoppedSense))
        d->hasStoppedSense = 1;
    if (SimIniText(path, sect, "StartSense", v, sizeof v) && ParseSense(v, d->startSense))
        d->hasStartSense = 1;
    if (SimIniText(path, sect, "Bypassed", v, sizeof v)) {
        if (_stricmp(v, "A") == 0)
            d->bypassed = SIM_PATH_A;
        else if (_stricmp(v, "B") == 0)
            d->bypassed = SIM_PATH_B;
        else if (_stricmp(v, "AB") == 0)
            d->bypassed = SIM_PATH_A | SIM_PATH_B;
        else if (_stricmp(v, "none") == 0)
            d->bypassed = 0;
    }
    if (SimIniText(path, sect, "DriveValue", v, sizeof v) && SimParseNum(v, 16, 0xFFFFFFFFu, &n))
        d->driveValue = n;
    if (SimIniText(path, sect, "Stopped", v, sizeof v) && SimParseNum(v, 10, 1, &n))
        d->stopped = uint8_t(n);
    if (SimIniText(path, sect, "NeverReady", v, sizeof v) && SimParseNum(v, 10, 1, &n))
        d->neverReady = uint8_t(n);
    if (SimIniText(path, sect, "IgnoreStop", v, sizeof v) && SimParseNum(v, 10, 1, &n))
        d->ignoreStop = uint8_t(n);
    if (SimIniText(path, sect, "SpinUpMs", v, sizeof v) && SimParseNum(v, 10, SIM_MS_MAX, &n))
        d->spinUpMs = n;
}

/* Last entry of a list of NUL-ended strings of n characters when the list filled its buffer
 * (that entry may be cut), else null. */
static const char *CutEntry(char *buf, DWORD n)
{
    const char *last = nullptr;
    buf[n] = '\0';
    if (n < SIM_SECTIONS_LEN - 2)
        return nullptr;
    for (const char *s = buf; *s && s < buf + n; s += strlen(s) + 1)
        last = s;
    return last;
}

/* Every [Drive.XXXX] section of an addressable, present drive. */
static void ApplyDriveSections(DkcConfig *c, const char *path, char *buf)
{
    static const char prefix[] = "Drive.";
    const size_t prefixLen = sizeof prefix - 1;
    DWORD n = GetPrivateProfileSectionNamesA(buf, SIM_SECTIONS_LEN, path);
    const char *cut = CutEntry(buf, n);
    uint32_t pdev;
    for (const char *s = buf; *s && s < buf + n; s += strlen(s) + 1) {
        if (s == cut || _strnicmp(s, prefix, prefixLen) != 0 ||
            !SimParseNum(s + prefixLen, 16, 0xFFFF, &pdev))
            continue;
        SimDrive *d = DriveOf(c, pdev);
        if (!d || !d->present) {
            SimTrace("DkcSim description: [%.40s] names no addressable drive, ignored", s);
            continue;
        }
        ApplyDriveSection(path, s, d);
    }
}

/* Every line of [Fault]; a cut last line is left out. */
static void ApplyFaultSection(DkcConfig *c, const char *path, char *buf)
{
    DWORD n = GetPrivateProfileSectionA("Fault", buf, SIM_SECTIONS_LEN, path);
    const char *cut = CutEntry(buf, n);
    for (const char *s = buf; *s && s < buf + n; s += strlen(s) + 1) {
        char key[NAME_LEN];
        const char *eq = strchr(s, '=');
        if (s == cut || *s == ';' || *s == '#' || !eq)
            continue;
        if (!TakeTrimmed(s, eq, key, sizeof key) || DkcAddFaults(c, key, eq + 1) == 0)
            SimTrace("DkcSim description: [Fault] %.80s ignored", s);
    }
}

int DkcLoadConfig(DkcConfig *c, const char *path)
{
    SubsysDesc *d = nullptr;
    char *buf = nullptr;
    char v[SIM_VALUE_LEN];
    uint32_t n;
    uint16_t ec;
    int ok = 0;

    memset(c, 0, sizeof *c);
    c->segmentLen = SIM_SEGMENT_DEFAULT;
    c->spinUpMs = SIM_SPINUP_DEFAULT;
    d = (SubsysDesc *)HeapAlloc(GetProcessHeap(), 0, sizeof(SubsysDesc));
    buf = (char *)HeapAlloc(GetProcessHeap(), 0, SIM_SECTIONS_LEN + 1);
    if (!d || !buf)
        goto done;
    c->fileRead = uint8_t(SubsysLoad(d, path, &ec));
    /* The demo's faults belong to the built-in subsystem; a description asks for them. */
    c->demoFaults = uint8_t(!c->fileRead);
    if (c->fileRead) {
        if (SimIniText(path, "Sim", "SegmentSize", v, sizeof v) &&
            SimParseNum(v, 10, SIM_SEGMENT_MAX, &n) && n > 0)
            c->segmentLen = n;
        if (SimIniText(path, "Sim", "SpinUpMs", v, sizeof v) && SimParseNum(v, 10, SIM_MS_MAX, &n))
            c->spinUpMs = n;
        if (SimIniText(path, "Sim", "DemoFaults", v, sizeof v) && SimParseNum(v, 10, 1, &n))
            c->demoFaults = uint8_t(n);
    }
    TakeDrives(c, d);
    if (c->demoFaults)
        ApplyDemo(c);
    if (c->fileRead) {
        ApplyDriveSections(c, path, buf);
        ApplyFaultSection(c, path, buf);
    }
    ok = 1;
done:
    if (buf)
        HeapFree(GetProcessHeap(), 0, buf);
    if (d)
        HeapFree(GetProcessHeap(), 0, d);
    return ok;
}
