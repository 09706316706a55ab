#include "svclib/subsys.h"
#include <windows.h>
#include <stdio.h>
#include <string.h>

/* Bounds of one profile line's parts, NUL included. Longer parts make the line ignored. */
enum : int { SECT_LEN = 64, KEY_LEN = 64, VAL_LEN = 4096, ITEM_LEN = 32 };

static const char kDefaultPath[] = "c:\\trn600\\mp\\pc\\subsystem.ini";

static const uint16_t kDefaultDka[SUBSYS_DKA_COUNT] = { SUBSYS_EQUIPPED, SUBSYS_EQUIPPED,
                                                        SUBSYS_NOT_EQUIPPED, SUBSYS_EQUIPPED };
/* Drive units of the default subsystem: model, location, equipped boxes. */
struct DefaultDku { uint16_t model; const char *location; int boxCount; };
static const DefaultDku kDefaultDku[] = { { 7, "DKU-R0", 4 }, { 5, "DKU-L1", 2 }, { 7, "DKU-R1", 1 } };
static const uint16_t kSpareDkuModel = 7;
static const int kDefaultDrives = 12;          /* positions 0..11 of a box are equipped */

/* ---- numbers and lists ---- */

static int IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

static int DigitValue(char c, int base)
{
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v < base ? v : -1;
}

/* Reads one number at *p (blanks around it skipped; "0x" makes it hex) and moves *p past it.
 * Returns 1 when there were digits and the value is at most max. */
static int ParseNum(const char **p, int base, uint32_t max, uint32_t *out)
{
    const char *s = *p;
    uint32_t v = 0;
    int digits = 0, over = 0;
    while (IsBlank(*s))
        s++;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && DigitValue(s[2], 16) >= 0) {
        base = 16;
        s += 2;
    }
    for (int dv; (dv = DigitValue(*s, base)) >= 0; s++, digits++) {
        if (uint32_t(dv) > max || v > (max - uint32_t(dv)) / uint32_t(base))
            over = 1;
        else
            v = v * uint32_t(base) + uint32_t(dv);
    }
    while (IsBlank(*s))
        s++;
    *p = s;
    if (!digits || over)
        return 0;
    *out = v;
    return 1;
}

/* A value that is one number and nothing else. */
static int ParseWhole(const char *s, int base, uint32_t max, uint32_t *out)
{
    uint32_t v;
    if (!ParseNum(&s, base, max, &v) || *s != '\0')
        return 0;
    *out = v;
    return 1;
}

/* Copies the next comma-separated item of a list into item and moves *p past it. Returns 0 at
 * the end of the list; an item too long for the buffer comes back empty. */
static int NextItem(const char **p, char *item)
{
    const char *s = *p;
    if (*s == '\0')
        return 0;
    const char *end = strchr(s, ',');
    size_t n = end ? size_t(end - s) : strlen(s);
    item[0] = '\0';
    if (n < ITEM_LEN) {
        memcpy(item, s, n);
        item[n] = '\0';
    }
    *p = end ? end + 1 : s + n;
    return 1;
}

/* "a" or "a-b" with a <= b <= max. */
static int ParseRange(const char *item, int base, uint32_t max, uint32_t *lo, uint32_t *hi)
{
    const char *s = item;
    uint32_t a, b;
    if (!ParseNum(&s, base, max, &a))
        return 0;
    b = a;
    if (*s == '-') {
        s++;
        if (!ParseNum(&s, base, max, &b))
            return 0;
    }
    if (*s != '\0' || a > b)
        return 0;
    *lo = a;
    *hi = b;
    return 1;
}

/* "Prefix.n1.n2..." with exactly count numbers, each at most max. */
static int ParseDotted(const char *s, const char *prefix, int base, uint32_t max, uint32_t *n, int count)
{
    size_t len = strlen(prefix);
    if (_strnicmp(s, prefix, len) != 0)
        return 0;
    s += len;
    for (int i = 0; i < count; i++) {
        if (*s != '.' || DigitValue(s[1], base) < 0)
            return 0;
        s++;
        const char *start = s;
        while (DigitValue(*s, base) >= 0)
            s++;
        char part[ITEM_LEN];
        size_t plen = size_t(s - start);
        if (plen >= sizeof part)
            return 0;
        memcpy(part, start, plen);
        part[plen] = '\0';
        if (!ParseWhole(part, base, max, &n[i]))
            return 0;
    }
    return *s == '\0';
}

static void CopyName(char *dst, const char *src)
{
    snprintf(dst, SUBSYS_NAME_LEN, "%s", src);
}

/* ---- the built-in default ---- */

static void SetDefault(SubsysDesc *d)
{
    memset(d, 0, sizeof *d);
    d->dkcModel = 4;
    d->mtpMode = 1;
    memcpy(d->dkaState, kDefaultDka, sizeof d->dkaState);
    for (int u = 0; u < SUBSYS_DKU_COUNT; u++) {
        SubsysDku &dku = d->dku[u];
        int known = u < int(sizeof kDefaultDku / sizeof kDefaultDku[0]);
        dku.equipped = uint8_t(known);
        dku.model = known ? kDefaultDku[u].model : kSpareDkuModel;
        if (known)
            CopyName(dku.location, kDefaultDku[u].location);
        else
            snprintf(dku.location, SUBSYS_NAME_LEN, "DKU-%d", u);
        for (int b = 0; b < SUBSYS_BOX_COUNT; b++) {
            SubsysBox &box = dku.box[b];
            box.equipped = uint8_t(known && b < kDefaultDku[u].boxCount);
            box.unit = uint16_t(u * SUBSYS_BOX_COUNT + b);
            box.row = 0;
            snprintf(box.location, SUBSYS_NAME_LEN, "HDU-%d%d", u, b);
            for (int h = 0; h < SUBSYS_HDD_COUNT; h++) {
                SubsysDrive &dr = box.drive[h];
                dr.equipped = uint8_t(h < kDefaultDrives);
                dr.pathA[0] = 0;
                dr.pathB[0] = 1;
                dr.pathA[1] = dr.pathB[1] = uint16_t(u);
                dr.pathA[2] = dr.pathB[2] = uint16_t(b % 4);
                snprintf(dr.location, SUBSYS_NAME_LEN, "HDD%d%d-%02X", u, b, h);
            }
        }
    }
    for (int n = 0; n < 64; n++)
        d->ldevEquip[0][n / 32] |= 0x80000000u >> (n % 32);
    for (int g = 0; g < SUBSYS_LDEV_GROUPS; g++)
        for (int n = 0; n < SUBSYS_LDEVS; n++)
            d->ldevStatus[g][n] = SUBSYS_LDEV_BLOCKED;
}

/* Base=empty: every part stays described but none is equipped. */
static void ClearEquipment(SubsysDesc *d)
{
    for (int i = 0; i < SUBSYS_DKA_COUNT; i++)
        d->dkaState[i] = SUBSYS_NOT_EQUIPPED;
    for (SubsysDku &dku : d->dku) {
        dku.equipped = 0;
        for (SubsysBox &box : dku.box) {
            box.equipped = 0;
            for (SubsysDrive &dr : box.drive)
                dr.equipped = 0;
        }
    }
    memset(d->ldevEquip, 0, sizeof d->ldevEquip);
}

/* Gives every position of every existing box its PDEV. Positions whose row passes 255 or whose
 * PDEV an earlier box already took have none. */
static void BuildMap(SubsysDesc *d)
{
    memset(d->pdevSlot, 0, sizeof d->pdevSlot);
    for (int u = 0; u < SUBSYS_DKU_COUNT; u++) {
        for (int b = 0; b < SUBSYS_BOX_COUNT; b++) {
            SubsysBox &box = d->dku[u].box[b];
            int exists = d->dku[u].equipped && box.equipped;
            for (int h = 0; h < SUBSYS_HDD_COUNT; h++) {
                SubsysDrive &dr = box.drive[h];
                uint32_t row = uint32_t(box.row) + uint32_t(h);
                uint32_t pdev = uint32_t(box.unit) << 8 | row;
                dr.mapped = 0;
                dr.pdev = 0;
                if (!exists || box.unit > 0xFF || row > 0xFF || d->pdevSlot[pdev] != 0)
                    continue;
                d->pdevSlot[pdev] = uint16_t(1 + u * 256 + b * 32 + h);
                dr.mapped = 1;
                dr.pdev = uint16_t(pdev);
            }
        }
    }
}

/* The drive position that has this PDEV, or null. */
static SubsysDrive *FindDrive(SubsysDesc *d, uint16_t pdev)
{
    int slot = d->pdevSlot[pdev] - 1;
    if (slot < 0)
        return nullptr;
    return &d->dku[slot / 256].box[(slot / 32) % 8].drive[slot % 32];
}

static const SubsysDrive *FindDrive(const SubsysDesc *d, uint16_t pdev)
{
    return FindDrive(const_cast<SubsysDesc *>(d), pdev);
}

/* ---- applying the file ---- */

typedef void (*EntryFn)(SubsysDesc *d, const char *sect, const char *key, const char *val);

/* Copies text[from, to) trimmed into dst; 0 when it does not fit. */
static int TakeTrimmed(const char *from, const char *to, char *dst, int dstLen)
{
    while (from < to && (IsBlank(*from)))
        from++;
    while (to > from && IsBlank(to[-1]))
        to--;
    if (to - from >= dstLen)
        return 0;
    memcpy(dst, from, size_t(to - from));
    dst[to - from] = '\0';
    return 1;
}

/* Calls fn for every "key=value" line with its section. Comment lines start with ';' or '#'. */
static void ForEachEntry(const char *text, size_t len, SubsysDesc *d, EntryFn fn)
{
    char sect[SECT_LEN] = "", key[KEY_LEN], val[VAL_LEN];
    const char *p = text, *end = text + len;
    if (len >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0)
        p += 3;
    while (p < end) {
        const char *eol = static_cast<const char *>(memchr(p, '\n', size_t(end - p)));
        if (!eol)
            eol = end;
        const char *s = p;
        p = eol + 1;
        while (s < eol && IsBlank(*s))
            s++;
        if (s == eol || *s == ';' || *s == '#')
            continue;
        if (*s == '[') {
            const char *close = static_cast<const char *>(memchr(s, ']', size_t(eol - s)));
            if (!close || !TakeTrimmed(s + 1, close, sect, sizeof sect))
                sect[0] = '\0';   /* keys of a bad section go nowhere */
            continue;
        }
        const char *eq = static_cast<const char *>(memchr(s, '=', size_t(eol - s)));
        if (!eq || sect[0] == '\0')
            continue;
        if (!TakeTrimmed(s, eq, key, sizeof key) || !TakeTrimmed(eq + 1, eol, val, sizeof val))
            continue;
        /* A NUL inside the line ends the text early; that only shortens it. */
        fn(d, sect, key, val);
    }
}

static int Is(const char *a, const char *b) { return _stricmp(a, b) == 0; }

/* First pass: only the base. */
static void ApplyBase(SubsysDesc *d, const char *sect, const char *key, const char *val)
{
    if (Is(sect, "Subsystem") && Is(key, "Base") && Is(val, "empty"))
        ClearEquipment(d);
}

static void ApplySubsystem(SubsysDesc *d, const char *key, const char *val)
{
    uint32_t v, lo, hi;
    char item[ITEM_LEN];
    if (Is(key, "DkcModel") && ParseWhole(val, 10, 0xFFFF, &v))
        d->dkcModel = uint16_t(v);
    else if (Is(key, "MtpMode") && ParseWhole(val, 10, 0xFFFF, &v))
        d->mtpMode = uint16_t(v);
    else if (Is(key, "MessageBox") && (Is(val, "show") || Is(val, "trace")))
        d->msgMode = Is(val, "trace") ? SUBSYS_MSG_TRACE : SUBSYS_MSG_SHOW;
    else if (Is(key, "TraceCalls") && ParseWhole(val, 10, 1, &v))
        d->traceCalls = uint8_t(v);
    else if (Is(key, "HistoryReject")) {
        memset(d->historyReject, 0, sizeof d->historyReject);
        for (const char *p = val; NextItem(&p, item);)
            if (ParseRange(item, 16, 0xFF, &lo, &hi))
                for (uint32_t f = lo; f <= hi; f++)
                    d->historyReject[f / 32] |= 1u << (f % 32);
    } else if (_strnicmp(key, "Dka", 3) == 0 && key[3] >= '0' && key[3] < '0' + SUBSYS_DKA_COUNT &&
               key[4] == '\0' && ParseWhole(val, 16, 0xFFFF, &v))
        d->dkaState[key[3] - '0'] = uint16_t(v);
}

static void ApplyDku(SubsysDku &dku, const char *key, const char *val)
{
    uint32_t v;
    if (Is(key, "Equip") && ParseWhole(val, 10, 1, &v))
        dku.equipped = uint8_t(v);
    else if (Is(key, "Model") && ParseWhole(val, 10, 0xFFFF, &v))
        dku.model = uint16_t(v);
    else if (Is(key, "Location") && val[0])
        CopyName(dku.location, val);
}

static void ApplyBox(SubsysBox &box, const char *key, const char *val)
{
    uint32_t v, lo, hi;
    char item[ITEM_LEN];
    if (Is(key, "Equip") && ParseWhole(val, 10, 1, &v))
        box.equipped = uint8_t(v);
    else if (Is(key, "Location") && val[0])
        CopyName(box.location, val);
    else if (Is(key, "Unit") && ParseWhole(val, 10, 0xFF, &v))
        box.unit = uint16_t(v);
    else if (Is(key, "Row") && ParseWhole(val, 10, 0xFF, &v))
        box.row = uint16_t(v);
    else if (Is(key, "Drives")) {
        for (SubsysDrive &dr : box.drive)
            dr.equipped = 0;
        for (const char *p = val; NextItem(&p, item);)
            if (ParseRange(item, 10, SUBSYS_HDD_COUNT - 1, &lo, &hi))
                for (uint32_t h = lo; h <= hi; h++)
                    box.drive[h].equipped = 1;
    }
}

static void ApplyLdevEquip(SubsysDesc *d, const char *val)
{
    char item[ITEM_LEN];
    memset(d->ldevEquip, 0, sizeof d->ldevEquip);
    for (const char *p = val; NextItem(&p, item);) {
        const char *s = item;
        uint32_t g, lo, hi;
        if (!ParseNum(&s, 10, SUBSYS_LDEV_GROUPS - 1, &g) || *s != ':')
            continue;
        if (!ParseRange(s + 1, 10, SUBSYS_LDEVS - 1, &lo, &hi))
            continue;
        for (uint32_t n = lo; n <= hi; n++)
            d->ldevEquip[g][n / 32] |= 0x80000000u >> (n % 32);
    }
}

static void AddFail(SubsysDesc *d, const char *key, const char *val)
{
    SubsysFail f = {};
    uint32_t arg = 0, ec;
    const char *dot = strchr(key, '.');
    size_t nameLen = dot ? size_t(dot - key) : strlen(key);
    if (nameLen == 0 || nameLen >= SUBSYS_QUERY_LEN || !ParseWhole(val, 16, 0xFFFF, &ec))
        return;
    if (dot && !ParseWhole(dot + 1, 16, 0xFFFF, &arg))
        return;
    memcpy(f.query, key, nameLen);
    f.hasArg = dot != nullptr;
    f.arg = uint16_t(arg);
    f.ec = uint16_t(ec);
    for (int i = 0; i < d->failCount; i++) {
        SubsysFail &e = d->fail[i];
        if (Is(e.query, f.query) && e.hasArg == f.hasArg && e.arg == f.arg) {
            e.ec = f.ec;
            return;
        }
    }
    if (d->failCount < SUBSYS_FAIL_MAX)
        d->fail[d->failCount++] = f;
}

/* Second pass: everything that decides which drives exist, and the tables. */
static void ApplyParts(SubsysDesc *d, const char *sect, const char *key, const char *val)
{
    uint32_t n[2], v;
    if (Is(sect, "Subsystem"))
        ApplySubsystem(d, key, val);
    else if (ParseDotted(sect, "DKU", 10, SUBSYS_DKU_COUNT - 1, n, 1))
        ApplyDku(d->dku[n[0]], key, val);
    else if (ParseDotted(sect, "Box", 10, SUBSYS_DKU_COUNT - 1, n, 2) && n[1] < SUBSYS_BOX_COUNT)
        ApplyBox(d->dku[n[0]].box[n[1]], key, val);
    else if (Is(sect, "LDEV") && Is(key, "Equip"))
        ApplyLdevEquip(d, val);
    else if (Is(sect, "LDEV") && Is(key, "Status") && ParseWhole(val, 16, 0xFFFF, &v)) {
        for (auto &group : d->ldevStatus)
            for (uint16_t &s : group)
                s = uint16_t(v);
    } else if (Is(sect, "Fail"))
        AddFail(d, key, val);
}

static int ParsePath(const char *val, uint16_t out[3])
{
    uint32_t v[3];
    const char *s = val;
    for (int i = 0; i < 3; i++) {
        if (!ParseNum(&s, 10, 0xFFFF, &v[i]) || *s != (i < 2 ? ',' : '\0'))
            return 0;
        s += i < 2;
    }
    for (int i = 0; i < 3; i++)
        out[i] = uint16_t(v[i]);
    return 1;
}

/* Third pass, once the PDEVs are known: single drives and single LDEV states. */
static void ApplySingles(SubsysDesc *d, const char *sect, const char *key, const char *val)
{
    uint32_t n[2], v;
    if (ParseDotted(sect, "Drive", 16, 0xFFFF, n, 1)) {
        SubsysDrive *dr = FindDrive(d, uint16_t(n[0]));
        if (!dr)
            return;
        if (Is(key, "Equip") && ParseWhole(val, 10, 1, &v))
            dr->equipped = uint8_t(v);
        else if (Is(key, "Location") && val[0])
            CopyName(dr->location, val);
        else if (Is(key, "PathA"))
            ParsePath(val, dr->pathA);
        else if (Is(key, "PathB"))
            ParsePath(val, dr->pathB);
    } else if (Is(sect, "LDEV") && ParseDotted(key, "Status", 16, 0xFF, n, 2) &&
               ParseWhole(val, 16, 0xFFFF, &v)) {
        d->ldevStatus[n[0]][n[1]] = uint16_t(v);
    }
}

/* Reads at most SUBSYS_FILE_MAX bytes; returns a heap block (NUL added) or null. */
static char *ReadDescFile(const char *path, DWORD *len)
{
    char *buf = nullptr;
    DWORD got = 0, n = 0;
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        goto done;
    buf = static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, SUBSYS_FILE_MAX + 1));
    if (!buf)
        goto done;
    while (got < DWORD(SUBSYS_FILE_MAX) && ReadFile(h, buf + got, SUBSYS_FILE_MAX - got, &n, nullptr) && n > 0)
        got += n;
    buf[got] = '\0';
    *len = got;
done:
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return buf;
}

int SubsysLoad(SubsysDesc *d, const char *path, uint16_t *ec)
{
    DWORD len = 0;
    char *text = path ? ReadDescFile(path, &len) : nullptr;
    SetDefault(d);
    if (!text) {
        if (ec)
            *ec = SUBSYS_EC_NO_FILE;
        BuildMap(d);
        return 0;
    }
    ForEachEntry(text, len, d, ApplyBase);
    ForEachEntry(text, len, d, ApplyParts);
    BuildMap(d);
    ForEachEntry(text, len, d, ApplySingles);
    HeapFree(GetProcessHeap(), 0, text);
    return 1;
}

int SubsysGetPath(char *buf, int len, uint16_t *ec)
{
    char path[SUBSYS_PATH_LEN];
    DWORD n = GetEnvironmentVariableA("MTP_SUBSYSTEM_INI", path, sizeof path);
    const char *use = n > 0 && n < sizeof path ? path : kDefaultPath;
    if (n >= sizeof path || len < 1 || strlen(use) >= size_t(len)) {
        if (ec)
            *ec = SUBSYS_EC_BAD_ARG;
        return 0;
    }
    memcpy(buf, use, strlen(use) + 1);
    return 1;
}

static SubsysDesc g_desc;                     /* written once under g_descOnce, then only read */
static INIT_ONCE g_descOnce = INIT_ONCE_STATIC_INIT;

static BOOL CALLBACK LoadCurrent(PINIT_ONCE, void *, void **)
{
    char path[SUBSYS_PATH_LEN];
    uint16_t ec;
    SubsysLoad(&g_desc, SubsysGetPath(path, sizeof path, &ec) ? path : nullptr, &ec);
    return TRUE;
}

const SubsysDesc *SubsysCurrent()
{
    InitOnceExecuteOnce(&g_descOnce, LoadCurrent, nullptr, nullptr);
    return &g_desc;
}

/* ---- queries ---- */

static int Fail(uint16_t *ec, uint16_t code)
{
    if (ec)
        *ec = code;
    return 0;
}

static int Put(uint16_t *out, uint16_t v)
{
    *out = v;
    return 1;
}

static int CopyOut(const char *src, char *buf, int bufLen, uint16_t *ec)
{
    if (!buf || bufLen < 1)
        return Fail(ec, SUBSYS_EC_BAD_ARG);
    size_t n = strlen(src);
    if (n > size_t(bufLen - 1))
        n = size_t(bufLen - 1);
    memcpy(buf, src, n);
    buf[n] = '\0';
    return 1;
}

int SubsysCheckFail(const SubsysDesc *d, const char *query, int hasArg, uint16_t arg, uint16_t *ec)
{
    const SubsysFail *any = nullptr, *exact = nullptr;
    for (int i = 0; i < d->failCount && i < SUBSYS_FAIL_MAX; i++) {
        const SubsysFail &f = d->fail[i];
        if (!Is(f.query, query))
            continue;
        if (f.hasArg && hasArg && f.arg == arg)
            exact = &f;
        else if (!f.hasArg)
            any = &f;
    }
    const SubsysFail *hit = exact ? exact : any;
    if (hit && ec)
        *ec = hit->ec;
    return hit != nullptr;
}

int SubsysHistoryAccepts(const SubsysDesc *d, uint8_t func)
{
    return !(d->historyReject[func / 32] & (1u << (func % 32)));
}

int SubsysGetMtpMode(const SubsysDesc *d, uint16_t *mode, uint16_t *ec)
{
    return mode ? Put(mode, d->mtpMode) : Fail(ec, SUBSYS_EC_BAD_ARG);
}

int SubsysGetDkcModel(const SubsysDesc *d, uint16_t *model, uint16_t *ec)
{
    return model ? Put(model, d->dkcModel) : Fail(ec, SUBSYS_EC_BAD_ARG);
}

int SubsysGetDkaState(const SubsysDesc *d, uint16_t dka, uint16_t *state, uint16_t *ec)
{
    if (!state)
        return Fail(ec, SUBSYS_EC_BAD_ARG);
    return Put(state, dka < SUBSYS_DKA_COUNT ? d->dkaState[dka] : uint16_t(SUBSYS_NOT_EQUIPPED));
}

int SubsysGetDkuModel(const SubsysDesc *d, uint16_t dku, uint16_t *model, uint16_t *ec)
{
    if (!model)
        return Fail(ec, SUBSYS_EC_BAD_ARG);
    if (dku >= SUBSYS_DKU_COUNT || !d->dku[dku].equipped)
        return Fail(ec, SUBSYS_NOT_EQUIPPED);
    return Put(model, d->dku[dku].model);
}

int SubsysGetHduState(const SubsysDesc *d, uint16_t dku, uint16_t *state, uint16_t *ec)
{
    if (!state)
        return Fail(ec, SUBSYS_EC_BAD_ARG);
    int on = dku < SUBSYS_DKU_COUNT && d->dku[dku].equipped;
    return Put(state, on ? SUBSYS_EQUIPPED : SUBSYS_NOT_EQUIPPED);
}

int SubsysGetPdevState(const SubsysDesc *d, uint16_t pdev, uint16_t *state, uint16_t *ec)
{
    const SubsysDrive *dr = FindDrive(d, pdev);
    if (!state)
        return Fail(ec, SUBSYS_EC_BAD_ARG);
    if (!dr)
        return Fail(ec, SUBSYS_EC_NO_DRIVE);
    return Put(state, dr->equipped ? SUBSYS_EQUIPPED : SUBSYS_NOT_EQUIPPED);
}

int SubsysGetDkuLocation(const SubsysDesc *d, uint16_t dku, char *buf, int bufLen, uint16_t *ec)
{
    if (!buf || bufLen < 1)
        return Fail(ec, SUBSYS_EC_BAD_ARG);
    if (dku >= SUBSYS_DKU_COUNT || !d->dku[dku].equipped)
        return Fail(ec, SUBSYS_NOT_EQUIPPED);
    return CopyOut(d->dku[dku].location, buf, bufLen, ec);
}

int SubsysGetBoxLocation(const SubsysDesc *d, uint16_t dku, uint16_t box, char *buf, int bufLen,
                         uint16_t *ec)
{
    if (!buf || bufLen < 1)
        return Fail(ec, SUBSYS_EC_BAD_ARG);
    if (dku >= SUBSYS_DKU_COUNT || box >= SUBSYS_BOX_COUNT || !d->dku[dku].equipped ||
        !d->dku[dku].box[box].equipped)
        return Fail(ec, SUBSYS_NOT_EQUIPPED);
    return CopyOut(d->dku[dku].box[box].location, buf, bufLen, ec);
}

int SubsysGetPdevLocation(const SubsysDesc *d, uint16_t pdev, char *buf, int bufLen, uint16_t *ec)
{
    const SubsysDrive *dr = FindDrive(d, pdev);
    if (!buf || bufLen < 1)
        return Fail(ec, SUBSYS_EC_BAD_ARG);
    if (!dr)
        return Fail(ec, SUBSYS_EC_NO_DRIVE);
    if (!dr->equipped)
        return Fail(ec, SUBSYS_NOT_EQUIPPED);
    return CopyOut(dr->location, buf, bufLen, ec);
}

int SubsysFindPdev(const SubsysDesc *d, uint16_t dku, uint16_t box, uint16_t hdd, uint16_t *pdev,
                   uint16_t *ec)
{
    if (!pdev)
        return Fail(ec, SUBSYS_EC_BAD_ARG);
    if (dku >= SUBSYS_DKU_COUNT || box >= SUBSYS_BOX_COUNT || hdd >= SUBSYS_HDD_COUNT)
        return Fail(ec, SUBSYS_EC_NO_DRIVE);
    const SubsysDrive &dr = d->dku[dku].box[box].drive[hdd];
    if (!dr.mapped)
        return Fail(ec, SUBSYS_EC_NO_DRIVE);
    return Put(pdev, dr.pdev);
}

int SubsysGetPdevPaths(const SubsysDesc *d, uint16_t pdev, uint16_t a[3], uint16_t b[3], uint16_t *ec)
{
    const SubsysDrive *dr = FindDrive(d, pdev);
    if (!a || !b)
        return Fail(ec, SUBSYS_EC_BAD_ARG);
    if (!dr)
        return Fail(ec, SUBSYS_EC_NO_DRIVE);
    memcpy(a, dr->pathA, sizeof dr->pathA);
    memcpy(b, dr->pathB, sizeof dr->pathB);
    return 1;
}

int SubsysGetMpOfPath(uint16_t p1, uint16_t p2, uint16_t p3, uint16_t *mp, uint16_t *ec)
{
    if (!mp || p1 >= 2 || p2 >= SUBSYS_DKU_COUNT || p3 >= 4)
        return Fail(ec, SUBSYS_EC_BAD_ARG);
    return Put(mp, uint16_t(p1 * 16 + p2 * 4 + p3));
}

int SubsysGetLdevEquipMap(const SubsysDesc *d, uint32_t map[256][8], uint16_t *ec)
{
    if (!map)
        return Fail(ec, SUBSYS_EC_BAD_ARG);
    memcpy(map, d->ldevEquip, sizeof d->ldevEquip);
    return 1;
}

int SubsysGetLdevStatus(const SubsysDesc *d, uint16_t status[256][256], uint16_t *ec)
{
    if (!status)
        return Fail(ec, SUBSYS_EC_BAD_ARG);
    for (int g = 0; g < SUBSYS_LDEV_GROUPS; g++)
        for (int n = 0; n < SUBSYS_LDEVS; n++)
            status[g][n] = (d->ldevEquip[g][n / 32] & (0x80000000u >> (n % 32))) ? d->ldevStatus[g][n] : 0;
    return 1;
}
