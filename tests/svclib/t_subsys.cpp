/* The subsystem description read straight through the subsys library: what overrides reach,
 * Base=empty, [Fail] matching and hostile files. Each description is loaded into its own record. */
#include "svclib/subsys.h"
#include "tests/support/support.h"
#include <gtest/gtest.h>
#include <memory>
#include <string>

static std::unique_ptr<SubsysDesc> Load(const std::string &text)
{
    std::unique_ptr<SubsysDesc> d(new SubsysDesc);
    std::string path = TestDir() + "subsystem.ini";
    uint16_t ec = 0;
    EXPECT_TRUE(WriteFileBytes(path, text));
    EXPECT_EQ(SubsysLoad(d.get(), path.c_str(), &ec), 1);
    return d;
}

/* A query's answer, or 0xE0000 | EC when it fails. */
static uint32_t Q(int (*f)(const SubsysDesc *, uint16_t, uint16_t *, uint16_t *), const SubsysDesc *d, int arg)
{
    uint16_t v = 0, ec = 0;
    return f(d, uint16_t(arg), &v, &ec) ? v : 0xE0000u | ec;
}

static uint16_t PdevAt(const SubsysDesc *d, int dku, int box, int hdd)
{
    uint16_t pdev = 0xFFFF, ec = 0;
    return SubsysFindPdev(d, uint16_t(dku), uint16_t(box), uint16_t(hdd), &pdev, &ec) ? pdev : 0xFFFF;
}

/* Location text of a DKU or a drive, or "EC n" when the query fails. */
static std::string Loc(const SubsysDesc *d, bool drive, uint16_t id)
{
    char buf[SUBSYS_NAME_LEN] = "";
    uint16_t ec = 0;
    int ok = drive ? SubsysGetPdevLocation(d, id, buf, sizeof buf, &ec) : SubsysGetDkuLocation(d, id, buf, sizeof buf, &ec);
    return ok ? buf : "EC " + std::to_string(ec);
}

/* Path A and B of a drive as six digits. */
static int Paths(const SubsysDesc *d, uint16_t pdev)
{
    uint16_t a[3] = {}, b[3] = {}, ec = 0;
    return SubsysGetPdevPaths(d, pdev, a, b, &ec) ? a[0] * 100000 + a[1] * 10000 + a[2] * 1000 + b[0] * 100 + b[1] * 10 + b[2] : -1;
}

TEST(Subsys, AbsentFileAndOnlyTheFirstMegabyte)
{
    std::unique_ptr<SubsysDesc> d(new SubsysDesc);
    uint16_t ec = 0;
    EXPECT_EQ(SubsysLoad(d.get(), (TestDir() + "none.ini").c_str(), &ec), 0);
    EXPECT_EQ(ec, SUBSYS_EC_NO_FILE);
    ec = 0;
    EXPECT_EQ(SubsysLoad(d.get(), nullptr, &ec), 0);
    EXPECT_EQ(ec, SUBSYS_EC_NO_FILE);

    std::string t = "[DKU.0]\nModel=3\n";
    while (t.size() < size_t(SUBSYS_FILE_MAX))
        t += ";" + std::string(1022, '-') + "\n";
    d = Load(t + "[DKU.1]\nModel=4\n");
    EXPECT_EQ(Q(SubsysGetDkuModel, d.get(), 0), 3u);
    EXPECT_EQ(Q(SubsysGetDkuModel, d.get(), 1), 5u);
}

TEST(Subsys, OverridesApply)
{
    auto d = Load("; maintenance description\r\n[Subsystem]\r\nDka2=1200\r\nDka3=0x1201\r\n"
                  "[DKU.1]\r\nLocation=DKU-LEFT-ONE\r\n[DKU.3]\r\nEquip=1\r\nLocation=A-very-long-location-text\r\n"
                  "[Box.3.2]\r\nEquip=1\r\nDrives=0-3,14\r\nUnit=0x40\r\nRow=16\r\nLocation=HDU-X\r\n"
                  "[box.0.1]\r\nequip=0\r\n[Box.0.2]\r\nUnit=0\r\n[Box.2.0]\r\nRow=250\r\n"
                  "[Drive.0002]\r\nEquip=0\r\nPathA=0,5,2\r\n[Drive.0003]\r\nLocation=SPARE\r\n[Drive.4014]\r\nEquip=1\r\n"
                  "[LDEV]\r\nEquip=0:0-3, 2:250-255\r\nStatus=1000\r\nStatus.02.FF=2002\r\n");
    const SubsysDesc *s = d.get();
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(Q(SubsysGetDkaState, s, i), i == 3 ? 0x1201u : 0x1200u) << "DKA " << i;
    EXPECT_EQ(Loc(s, false, 1), "DKU-LEFT-ONE");
    EXPECT_EQ(Loc(s, false, 3), "A-very-long-loc");
    EXPECT_EQ(Q(SubsysGetHduState, s, 3), 0x1200u);

    /* Box 3.2 on unit 0x40 from row 16; only its listed positions (and [Drive.4014]) are
     * equipped. A removed box has no drives; a box on a taken unit gets none; rows stop at 255. */
    const struct { int dku, box, hdd; uint16_t pdev; } kFound[] = {
        { 3, 2, 0, 0x4010 }, { 3, 2, 31, 0x402F }, { 3, 1, 0, 0xFFFF }, { 0, 1, 5, 0xFFFF },
        { 0, 2, 0, 0xFFFF }, { 2, 0, 5, 0x10FF },  { 2, 0, 6, 0xFFFF },
    };
    for (auto &f : kFound)
        EXPECT_EQ(PdevAt(s, f.dku, f.box, f.hdd), f.pdev) << f.dku << "." << f.box << "." << f.hdd;
    const struct { uint16_t pdev; uint32_t state; } kStates[] = {
        { 0x4013, 0x1200 }, { 0x4014, 0x1200 }, { 0x4015, 0x1201 }, { 0x401E, 0x1200 },
        { 0x0105, 0xE1101 }, { 0x0200, 0xE1101 }, { 0x0002, 0x1201 },
    };
    for (auto &k : kStates)
        EXPECT_EQ(Q(SubsysGetPdevState, s, k.pdev), k.state) << std::hex << k.pdev;
    EXPECT_EQ(Loc(s, true, 0x401E), "HDD32-0E");
    EXPECT_EQ(Loc(s, true, 0x0002), "EC " + std::to_string(0x1201));
    EXPECT_EQ(Loc(s, true, 0x0003), "SPARE");
    EXPECT_EQ(Paths(s, 0x0002), 52100);

    /* LDEVs: the list replaces the default; the state applies to equipped LDEVs only. */
    static uint32_t map[256][8];
    static uint16_t status[256][256];
    uint16_t ec = 0;
    ASSERT_TRUE(SubsysGetLdevEquipMap(s, map, &ec) && SubsysGetLdevStatus(s, status, &ec));
    EXPECT_EQ(std::vector<uint32_t>({ map[0][0], map[0][1], map[2][7] }), std::vector<uint32_t>({ 0xF0000000u, 0, 0x3F }));
    EXPECT_EQ(std::vector<uint16_t>({ status[0][0], status[0][4], status[2][250], status[2][255] }),
              std::vector<uint16_t>({ 0x1000, 0, 0x1000, 0x2002 }));
}

TEST(Subsys, EmptyBaseEquipsOnlyWhatIsListed)
{
    auto d = Load("[Subsystem]\nBase=empty\n[DKU.1]\nEquip=1\n[Box.1.1]\nEquip=1\nDrives=3\n[LDEV]\nStatus.00.00=1234\n");
    const SubsysDesc *s = d.get();
    static uint32_t map[256][8];
    static uint16_t status[256][256];
    uint16_t ec = 0;
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(Q(SubsysGetDkaState, s, i), 0x1201u) << "DKA " << i;
    EXPECT_EQ(Q(SubsysGetDkuModel, s, 0), 0xE1201u);
    EXPECT_EQ(Q(SubsysGetDkuModel, s, 1), 5u);
    for (uint16_t pdev : { 0x0903, 0x0900, 0x0800, 0x0000 })
        EXPECT_EQ(Q(SubsysGetPdevState, s, pdev), pdev == 0x0903 ? 0x1200u : pdev == 0x0900 ? 0x1201u : 0xE1101u);
    ASSERT_TRUE(SubsysGetLdevEquipMap(s, map, &ec) && SubsysGetLdevStatus(s, status, &ec));
    uint32_t any = 0;
    for (int g = 0; g < 256; g++)
        for (int n = 0; n < 256; n++)
            any |= map[g][n / 32] | status[g][n];
    EXPECT_EQ(any, 0u);
}

TEST(Subsys, FailEntriesMatchByQueryAndArgument)
{
    /* The entry for the argument wins over the general one; a repeated key replaces; argument
     * 0 is not the general entry. */
    auto d = Load("[Fail]\nGetPdevEquipStatus.0105=4321\nmtp_GetDkcModel=4444\n"
                  "GetDkuModel=1111\nGetDkuModel.1=2222\nGetDkuModel.1=2223\nGetDkuModel.0=3333\n");
    const struct { const char *query; int hasArg; uint16_t arg, ec; } kCalls[] = {
        { "GetPdevEquipStatus", 1, 0x0105, 0x4321 }, { "getpdevequipstatus", 1, 0x0105, 0x4321 },
        { "GetPdevEquipStatus", 1, 0x0106, 0 },      { "GetPdevEquipStatus", 0, 0, 0 },
        { "mtp_GetDkcModel", 0, 0, 0x4444 },         { "GetDkuModel", 1, 1, 0x2223 },
        { "GetDkuModel", 1, 2, 0x1111 },            { "GetDkuModel", 1, 0, 0x3333 },
    };
    for (auto &c : kCalls) {
        uint16_t ec = 0;
        EXPECT_EQ(SubsysCheckFail(d.get(), c.query, c.hasArg, c.arg, &ec), c.ec != 0) << c.query << " " << c.arg;
        EXPECT_EQ(ec, c.ec) << c.query << " " << c.arg;
    }
    EXPECT_EQ(d->failCount, 5);
}

TEST(Subsys, HostileFileIsReadSafely)
{
    std::string t = "garbage before any section\nkey=value before any section\n";
    t += "[DKU.8]\nModel=3\n[DKU.-1]\nModel=3\n[DKU.01x]\nModel=3\n[DKU.99999999999999999999]\nModel=3\n";
    t += "[Box.0.8]\nEquip=1\n[Box.7.7.7]\nEquip=1\n[Box.0]\nEquip=0\n[Drive.10000]\nEquip=0\n[Drive.ZZ]\nEquip=0\n";
    t += "[Drive.0000]\nPathA=1,2\nPathB=1,2,3,4\nLocation=\n=novalue\nnoequals\n";
    t += "[Subsystem]\nDka4=1201\nDka0=12000\nDkcModel=99999999999999999999\nMtpMode=-1\nTraceCalls=2\n";
    t += "MessageBox=maybe\nHistoryReject=100,zz,5-3,,7\n[Box.0.0]\nDrives=0-32\nUnit=256\nRow=-5\n[Box.0.3]\nDrives=";
    for (int i = 0; i < 2000; i++)
        t += "1,";
    t += "\n[Box.0.2]\nDrives=";
    for (int i = 0; i < 1000; i++)
        t += "0-31,";   /* longer than a value may be: the line is dropped */
    t += "\n[LDEV]\nEquip=256:0-3,0:3-300,1:5,:,1:\nStatus.100.00=1\nStatus.00=1\nStatus.00.00.00=1\n";
    t += "[Fail]\n=1\n.0001=1\nThisQueryNameIsMuchTooLongForTheTable=1\nGetDkuModel.10000=1\nGetMpOfPath=zz\n";
    for (int i = 0; i < 100; i++)
        t += "GetHduEquipStatus." + std::to_string(i) + "=1\n";
    t += "[Subsystem]\nHistoryReject=" + std::string(300000, '1') + "\n";
    t += "[" + std::string(200, 'S') + "]\nModel=1\n[Subsystem\nMtpMode=7\n";
    static const char withNul[] = "[DKU.2]\nModel=8\0\nLocation=AFTER-NUL\n";
    auto d = Load(t.append(withNul, sizeof withNul - 1));
    const SubsysDesc *s = d.get();
    uint16_t ec = 0, v = 0;

    for (int u = 0; u < 3; u++)
        EXPECT_EQ(Q(SubsysGetDkuModel, s, u), u == 2 ? 8u : u == 1 ? 5u : 7u) << "DKU " << u;
    EXPECT_EQ(Loc(s, false, 2), "AFTER-NUL");
    EXPECT_EQ(Q(SubsysGetDkuModel, s, 8), 0xE1201u);
    EXPECT_EQ(Q(SubsysGetDkaState, s, 0), 0x1200u);
    EXPECT_TRUE(SubsysGetDkcModel(s, &v, &ec) && v == 4 && SubsysGetMtpMode(s, &v, &ec) && v == 1) << v;
    EXPECT_EQ(s->traceCalls + s->msgMode, 0);
    for (int f = 0; f < 256; f++)
        EXPECT_EQ(SubsysHistoryAccepts(s, uint8_t(f)), f != 7) << f;

    /* Bad list items are dropped but the list still replaces; bad numbers change nothing. */
    const struct { uint16_t pdev; uint32_t state; } kStates[] = {
        { 0x0000, 0x1201 }, { 0x0301, 0x1200 }, { 0x0300, 0x1201 }, { 0x0200, 0x1200 }, { 0x040B, 0xE1101 },
    };
    for (auto &k : kStates)
        EXPECT_EQ(Q(SubsysGetPdevState, s, k.pdev), k.state) << std::hex << k.pdev;
    EXPECT_EQ(PdevAt(s, 0, 0, 31), 0x001F);
    EXPECT_EQ(Loc(s, true, 0x0301), "HDD03-01");
    EXPECT_EQ(Paths(s, 0x0000), 100);

    static uint32_t map[256][8];
    ASSERT_TRUE(SubsysGetLdevEquipMap(s, map, &ec));
    EXPECT_EQ(std::vector<uint32_t>({ map[0][0], map[1][0] }), std::vector<uint32_t>({ 0, 0x04000000u }));

    EXPECT_EQ(s->failCount, SUBSYS_FAIL_MAX);
    EXPECT_TRUE(SubsysCheckFail(s, "GetHduEquipStatus", 1, 0, &ec));
    EXPECT_FALSE(SubsysCheckFail(s, "GetHduEquipStatus", 1, 0x99, &ec));
    EXPECT_FALSE(SubsysCheckFail(s, "GetMpOfPath", 1, 0, &ec));
    EXPECT_FALSE(SubsysCheckFail(s, "GetDkuModel", 1, 0, &ec));
}
