/* Unit and drive selection of an interactive Start: Select Unit, DKU, HDU and Select HDD List.
 * Every dialog is modal and runs on the main thread; each one shows only what the service
 * library reports as equipped and writes the choice into the selected flags of the drive table. */
#include "shell/shell.h"
#include "res/resource.h"
#include "svclib/mtpsvc.h"
#include <stdio.h>
#include <string.h>

SelectChoice g_selectChoice;

enum : uint16_t {
    DKU_BUTTONS      = 5,       /* Select Unit: DKU 0..4 */
    BOXES_HV         = 8,
    BOXES_LT         = 4,
    POSITIONS_HV     = 32,
    POSITIONS_LT     = 15,      /* position 0F of an LT box is hidden */
    UPPER_BOX_FIRST  = 4,       /* boxes 4..7 of the first DKU use the relabelled template */
    LABEL_CUT_HV     = 7,
    LABEL_CUT_LT     = 6,
    LIST_SPLIT_UNIT  = 8,       /* unit mod 16 below this: right list */
    LIST_SPLIT_CYCLE = 16,
};
enum : uint32_t { DLG_OK = 1, DLG_CANCEL = 2 };
enum : uint32_t { ROUTINE_DEFAULT = 0xCF, RUN_OPTION_DEFAULT = 8 };
enum : size_t { LABEL_LEN = 32 };

static int IsLt() { return g_app.dkcModel == 1; }

void ReportSelectFailure(HWND dlg, uint16_t ec, const char *code, const char *query)
{
    ReportServiceFailure(dlg, ec);
    mtp_MessageBox(dlg, 12, 2631, 20173, 0, 16, code);
    AppTrace("%s Function failed. EC = %04x", query, ec);
    PostMessageA(g_app.mainWnd, WM_COMMAND, IDM_EXIT, 0);
}

/* ---- HDU ---- */

static uint16_t Positions() { return IsLt() ? POSITIONS_LT : POSITIONS_HV; }

/* Label 1102: the first named drive of the box's rows, cut and marked "xx". */
static void SetHduLabel(HWND dlg)
{
    uint8_t unit = 0, row = 0;
    GetPdevOfLocation(g_selectChoice.dku, g_selectChoice.box, 0, &unit, &row);
    if (unit >= UNIT_COUNT)
        return;
    size_t cut = IsLt() ? LABEL_CUT_LT : LABEL_CUT_HV;
    for (uint32_t r = row; r < uint32_t(row) + Positions() && r < ROW_COUNT; r++) {
        const char *name = g_run.driveTable[unit][r].name;
        if (!name[0])
            continue;
        char label[LABEL_LEN];
        size_t len = strnlen(name, DRIVE_NAME_LEN);
        if (len < cut)
            snprintf(label, sizeof label, "%.*s", int(len), name);
        else
            snprintf(label, sizeof label, "%.*sxx", int(cut), name);
        SetDlgItemTextA(dlg, IDC_HDD_LABEL, label);
        return;
    }
}

static INT_PTR HduInit(HWND dlg, WPARAM, LPARAM)
{
    char caption[DRIVE_NAME_LEN];
    for (uint16_t pos = 0; pos < POSITIONS_HV; pos++)
        EnableWindow(GetDlgItem(dlg, IDC_HDD_FIRST + pos), FALSE);
    if (IsLt())
        ShowWindow(GetDlgItem(dlg, IDC_HDD_FIRST + POSITIONS_LT), SW_HIDE);
    EnableWindow(GetDlgItem(dlg, IDOK), FALSE);
    GetHduBoxLocationText(g_selectChoice.dku, g_selectChoice.box, caption);
    SetWindowTextA(dlg, caption);
    SetHduLabel(dlg);
    for (uint16_t pos = 0; pos < Positions(); pos++) {
        uint8_t unit = 0, row = 0;
        uint16_t state = 0, ec = 0;
        if (!GetPdevOfLocation(g_selectChoice.dku, g_selectChoice.box, pos, &unit, &row))
            continue;
        if (!GetPdevEquipState(uint16_t(unit << 8 | row), &state, &ec)) {
            ReportSelectFailure(dlg, ec, "DC1-01", "GetPdevEquipStatus");
            break;
        }
        if (state != SVC_EQUIPPED)
            continue;
        EnableWindow(GetDlgItem(dlg, IDC_HDD_FIRST + pos), TRUE);
        if (g_run.driveTable[unit][row].selected == 1)
            CheckDlgButton(dlg, IDC_HDD_FIRST + pos, BST_CHECKED);
    }
    return TRUE;
}

static void HduClick(HWND dlg, UINT id)
{
    g_selectChoice.hdd = uint16_t(id - IDC_HDD_FIRST);
    EnableWindow(GetDlgItem(dlg, IDOK), TRUE);
}

static void HduOk(HWND dlg, UINT)
{
    for (uint16_t pos = 0; pos < Positions(); pos++) {
        uint8_t unit = 0, row = 0;
        if (!GetPdevOfLocation(g_selectChoice.dku, g_selectChoice.box, pos, &unit, &row))
            continue;
        g_run.driveTable[unit][row].selected =
            IsDlgButtonChecked(dlg, IDC_HDD_FIRST + pos) == BST_CHECKED ? 1 : 0;
    }
    EndDialog(dlg, DLG_OK);
}

static void CloseCancel(HWND dlg, UINT) { EndDialog(dlg, DLG_CANCEL); }

static const CmdEntry kHduCmds[] = {
    { IDC_HDD_FIRST, IDC_HDD_FIRST + POSITIONS_HV - 1, HduClick },
    { IDOK, IDOK, HduOk },
    { IDCANCEL, IDCANCEL, CloseCancel },
};
static const MsgEntry kHduMsgs[] = {
    { WM_INITDIALOG, HduInit },
    { WM_COMMAND,    TableCommand<kHduCmds> },
};

/* ---- DKU ---- */

static INT_PTR DkuInit(HWND dlg, WPARAM, LPARAM)
{
    uint16_t boxes = IsLt() ? BOXES_LT : BOXES_HV;
    for (uint16_t box = 0; box < boxes; box++) {
        char text[DRIVE_NAME_LEN];
        uint16_t state = 0, ec = 0;
        GetHduBoxLocationText(g_selectChoice.dku, box, text);
        SetDlgItemTextA(dlg, IDC_HDU_FIRST + box, text);
        if (!GetHddBoxEquipStatus(g_selectChoice.dku, box, &state, &ec)) {
            ReportSelectFailure(dlg, ec, "DC1-02", "GetHddBoxEquipStatus");
            return TRUE;
        }
        if (state != SVC_EQUIPPED)
            EnableWindow(GetDlgItem(dlg, IDC_HDU_FIRST + box), FALSE);
    }
    return TRUE;
}

static void DkuBox(HWND dlg, UINT id)
{
    g_selectChoice.box = uint16_t(id - IDC_HDU_FIRST);
    int templ = IsLt() ? IDD_HDU_LT
              : g_selectChoice.dku == 0 && g_selectChoice.box >= UPPER_BOX_FIRST ? IDD_HDU_UPPER
              : IDD_HDU;
    DialogBoxParamA(g_app.instance, MAKEINTRESOURCEA(templ), dlg, TableProc<kHduMsgs>, 0);
}

static const CmdEntry kDkuCmds[] = {
    { IDC_HDU_FIRST, IDC_HDU_FIRST + BOXES_HV - 1, DkuBox },
    { IDCANCEL, IDCANCEL, CloseCancel },
};
static const MsgEntry kDkuMsgs[] = {
    { WM_INITDIALOG, DkuInit },
    { WM_COMMAND,    TableCommand<kDkuCmds> },
};

/* ---- Select HDD List ---- */

static INT_PTR ListInit(HWND dlg, WPARAM, LPARAM)
{
    EnableWindow(GetDlgItem(dlg, IDOK), FALSE);
    for (uint32_t unit = 0; unit < UNIT_COUNT; unit++) {
        for (uint32_t row = 0; row < ROW_COUNT; row++) {
            const DriveEntry &e = g_run.driveTable[unit][row];
            if (e.selected != 1)
                continue;
            EnableWindow(GetDlgItem(dlg, IDOK), TRUE);
            int list = unit % LIST_SPLIT_CYCLE < LIST_SPLIT_UNIT ? IDC_LIST_RIGHT : IDC_LIST_LEFT;
            char name[DRIVE_NAME_LEN + 1];
            snprintf(name, sizeof name, "%.*s", int(DRIVE_NAME_LEN), e.name);
            /* The LT template has no left list: those drives are tested but not listed. */
            SendDlgItemMessageA(dlg, list, LB_ADDSTRING, 0, (LPARAM)name);
        }
    }
    return TRUE;
}

static void CloseOk(HWND dlg, UINT) { EndDialog(dlg, DLG_OK); }

static const CmdEntry kListCmds[] = {
    { IDOK, IDOK, CloseOk },
    { IDCANCEL, IDCANCEL, CloseCancel },
};
static const MsgEntry kListMsgs[] = {
    { WM_INITDIALOG, ListInit },
    { WM_COMMAND,    TableCommand<kListCmds> },
};

/* ---- Select Unit ---- */

/* Clears the previous selection, results and unit list: a new Start begins afresh. */
static void ClearSelection()
{
    for (auto &unit : g_run.driveTable) {
        for (auto &entry : unit) {
            entry.selected = 0;
            entry.equipState = 0;
            entry.errorCode = 0;
        }
    }
    memset(g_run.unitList, UNIT_NONE, sizeof g_run.unitList);
    g_run.unitCount = 0;
    g_run.unitCursor = 0;
    memset(g_run.driveBitmap, 0, sizeof g_run.driveBitmap);
}

static INT_PTR UnitInit(HWND dlg, WPARAM, LPARAM)
{
    for (uint16_t dku = 0; dku < DKU_BUTTONS; dku++) {
        char text[DRIVE_NAME_LEN];
        uint16_t state = 0, ec = 0;
        GetDkuLocationText(dku, text);
        SetDlgItemTextA(dlg, IDC_DKU_FIRST + dku, text);
        if (!GetHduEquipStatus(dku, 0, &state, &ec)) {
            ReportSelectFailure(dlg, ec, "DC1-03", "GetHduEquipStatus");
            break;
        }
        if (state != SVC_EQUIPPED)
            EnableWindow(GetDlgItem(dlg, IDC_DKU_FIRST + dku), FALSE);
    }
    ClearSelection();
    return TRUE;
}

static void UnitDku(HWND dlg, UINT id)
{
    g_selectChoice.dku = uint16_t(id - IDC_DKU_FIRST);
    int templ = IsLt() ? IDD_DKU_LT : id == IDC_DKU_FIRST ? IDD_DKU_FIRST : IDD_DKU;
    DialogBoxParamA(g_app.instance, MAKEINTRESOURCEA(templ), dlg, TableProc<kDkuMsgs>, 0);
}

int ForEachEquipped(HWND owner, const char *code, void (*mark)(DriveEntry &))
{
    for (uint32_t unit = 0; unit < UNIT_COUNT; unit++) {
        for (uint32_t row = 0; row < ROW_COUNT; row++) {
            uint16_t state = 0, ec = 0;
            if (!GetPdevEquipState(uint16_t(unit << 8 | row), &state, &ec)) {
                if (ec == SVC_EC_NO_DRIVE)
                    continue;
                ReportSelectFailure(owner, ec, code, "GetPdevEquipStatus");
                return 0;
            }
            if (state == SVC_EQUIPPED)
                mark(g_run.driveTable[unit][row]);
        }
    }
    return 1;
}

/* "ALL HDD": every equipped drive. A failed query (other than "no drive here") is reported and
 * the scan stops at once: the program is ending, and a second report would only repeat it. */
static void UnitAll(HWND dlg, UINT)
{
    if (!ForEachEquipped(dlg, "DC1-04", [](DriveEntry &e) { e.selected = 1; }))
        return;
    SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dlg, IDOK));
}

static void UnitOk(HWND dlg, UINT)
{
    int templ = IsLt() ? IDD_HDD_LIST_LT : IDD_HDD_LIST;
    if (DialogBoxParamA(g_app.instance, MAKEINTRESOURCEA(templ), dlg, TableProc<kListMsgs>, 0) != DLG_OK)
        return;
    if (g_app.debugMode == 1) {
        EndDialog(dlg, RunRoutineDialog(dlg) == DLG_OK ? DLG_OK : DLG_CANCEL);
        return;
    }
    g_run.routineId = ROUTINE_DEFAULT;
    g_run.runOption = RUN_OPTION_DEFAULT;
    EndDialog(dlg, DLG_OK);
}

static const CmdEntry kUnitCmds[] = {
    { IDC_DKU_FIRST, IDC_DKU_FIRST + DKU_BUTTONS - 1, UnitDku },
    { IDC_ALL_HDD, IDC_ALL_HDD, UnitAll },
    { IDOK, IDOK, UnitOk },
    { IDCANCEL, IDCANCEL, CloseCancel },
};
static const MsgEntry kUnitMsgs[] = {
    { WM_INITDIALOG, UnitInit },
    { WM_COMMAND,    TableCommand<kUnitCmds> },
};

int RunSelectUnit(HWND owner)
{
    int templ = IsLt() ? IDD_SELECT_UNIT_LT : IDD_SELECT_UNIT;
    INT_PTR result = DialogBoxParamA(g_app.instance, MAKEINTRESOURCEA(templ), owner, TableProc<kUnitMsgs>, 0);
    return result == DLG_OK ? int(DLG_OK) : int(DLG_CANCEL);
}
