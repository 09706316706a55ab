/* The debug-mode ROUTINE dialog, the connection pre-check of routine D8 with Select Cluster, and
 * the Error HDD List after a run. Modal dialogs on the main thread. */
#include "shell/shell.h"
#include "routines/routines.h"
#include "res/resource.h"
#include "svclib/mtpsvc.h"
#include <commctrl.h>
#include <stdio.h>
#include <string.h>

enum : uint32_t { DLG_OK = 1, DLG_CANCEL = 2 };
enum : uint32_t { ROUTINE_DEFAULT = 0xCF };
enum : uint16_t { CLUSTER_1 = 0, CLUSTER_2 = 1 };
enum : int { COMBO_TEXT_LEN = 128 };
enum : int { COL_NAME = 0, COL_CODE = 1, COL_CONTENTS = 2,
             COL_NAME_WIDTH = 80, COL_CODE_WIDTH = 80, COL_CONTENTS_WIDTH = 286 };

/* Routines the ROUTINE dialog offers and accepts; their ids are also their name strings. */
static const uint8_t kRoutines[] = {
    ROUTINE_C0, ROUTINE_C1, ROUTINE_C2, ROUTINE_C3, ROUTINE_C4, ROUTINE_C5,
    ROUTINE_D0, ROUTINE_D1, ROUTINE_D2, ROUTINE_D8,
};

static void AddString(HWND dlg, int combo, UINT stringId, int asText)
{
    char text[COMBO_TEXT_LEN];
    if (LoadStringA(g_app.instance, stringId, text, sizeof text) <= 0)
        return;
    SendDlgItemMessageA(dlg, combo, CB_ADDSTRING, 0, (LPARAM)text);
    if (asText)
        SetDlgItemTextA(dlg, combo, text);
}

/* First two characters of a combo's edit text read as hex; 0 when they are no number. */
static uint32_t ReadHexPrefix(HWND dlg, int combo)
{
    char text[COMBO_TEXT_LEN + 1] = "";
    char head[3] = "";
    unsigned value = 0;
    GetDlgItemTextA(dlg, combo, text, COMBO_TEXT_LEN + 1);
    memcpy(head, text, 2);
    if (sscanf(head, "%x", &value) != 1)
        return 0;
    return value;
}

static int IsOffered(uint32_t id)
{
    if (id == ROUTINE_CF)
        return 1;
    for (uint8_t r : kRoutines)
        if (r == id)
            return 1;
    return 0;
}

/* ---- Select Cluster ---- */

static void Cluster1(HWND dlg, UINT) { g_run.cluster = CLUSTER_1; EndDialog(dlg, DLG_OK); }
static void Cluster2(HWND dlg, UINT) { g_run.cluster = CLUSTER_2; EndDialog(dlg, DLG_OK); }

static const CmdEntry kClusterCmds[] = {
    { IDC_CLUSTER1, IDC_CLUSTER1, Cluster1 },
    { IDC_CLUSTER2, IDC_CLUSTER2, Cluster2 },
};
/* Every other command (Esc's IDCANCEL among them) is swallowed: the cluster must be picked. */
static INT_PTR ClusterCommand(HWND dlg, WPARAM wp, LPARAM)
{
    DispatchCommand(kClusterCmds, std::size(kClusterCmds), dlg, wp);
    return TRUE;
}
static INT_PTR ClusterInit(HWND, WPARAM, LPARAM) { return TRUE; }
static const MsgEntry kClusterMsgs[] = {
    { WM_INITDIALOG, ClusterInit },
    { WM_COMMAND,    ClusterCommand },
};

int CheckConnection(HWND owner)
{
    if (!ForEachEquipped(owner, "DC1-05", [](DriveEntry &e) { e.equipState = EQUIP_D8_CHECKED; }))
        return 0;
    DialogBoxParamA(g_app.instance, MAKEINTRESOURCEA(IDD_CLUSTER), owner, TableProc<kClusterMsgs>, 0);
    return 1;
}

/* ---- ROUTINE ---- */

static INT_PTR RoutineInit(HWND dlg, WPARAM, LPARAM)
{
    AddString(dlg, IDC_ROUTINE_COMBO, IDS_ROUTINE_CF, 1);
    for (uint8_t id : kRoutines)
        AddString(dlg, IDC_ROUTINE_COMBO, id, 0);
    for (UINT id = IDS_RUN_OPTION_FIRST; id <= IDS_RUN_OPTION_LAST; id++)
        AddString(dlg, IDC_RUN_OPTION_COMBO, id, 0);
    char text[COMBO_TEXT_LEN];
    if (LoadStringA(g_app.instance, IDS_RUN_OPTION_RESET, text, sizeof text) > 0)
        SetDlgItemTextA(dlg, IDC_RUN_OPTION_COMBO, text);
    return TRUE;
}

static void RoutineOk(HWND dlg, UINT)
{
    uint32_t routine = ReadHexPrefix(dlg, IDC_ROUTINE_COMBO);
    g_run.routineId = IsOffered(routine) ? routine : uint32_t(ROUTINE_DEFAULT);
    g_run.runOption = ReadHexPrefix(dlg, IDC_RUN_OPTION_COMBO);
    if (g_run.routineId == ROUTINE_D8 && !CheckConnection(dlg)) {
        EndDialog(dlg, DLG_CANCEL);
        return;
    }
    EndDialog(dlg, DLG_OK);
}

static void RoutineCancel(HWND dlg, UINT) { EndDialog(dlg, DLG_CANCEL); }

static const CmdEntry kRoutineCmds[] = {
    { IDOK,     IDOK, RoutineOk     },
    { IDCANCEL, IDCANCEL, RoutineCancel },
};
static const MsgEntry kRoutineMsgs[] = {
    { WM_INITDIALOG, RoutineInit },
    { WM_COMMAND,    TableCommand<kRoutineCmds> },
};

int RunRoutineDialog(HWND owner)
{
    INT_PTR result = DialogBoxParamA(g_app.instance, MAKEINTRESOURCEA(IDD_ROUTINE), owner, TableProc<kRoutineMsgs>, 0);
    return result == DLG_OK ? int(DLG_OK) : int(DLG_CANCEL);
}

/* ---- Error HDD List ---- */

static void AddColumn(HWND list, int index, const char *title, int width)
{
    LVCOLUMNA col = {};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = const_cast<char *>(title);
    col.cx = width;
    col.iSubItem = index;
    SendMessageA(list, LVM_INSERTCOLUMNA, index, (LPARAM)&col);
}

static void SetCell(HWND list, int item, int column, const char *text)
{
    LVITEMA cell = {};
    cell.iSubItem = column;
    cell.pszText = const_cast<char *>(text);
    SendMessageA(list, LVM_SETITEMTEXTA, item, (LPARAM)&cell);
}

/* One line per drive with an error code, in unit then row order. The error text is loaded
 * into errorContents, which the main window still shows: it is put back afterwards. */
static INT_PTR ErrorListInit(HWND dlg, WPARAM, LPARAM)
{
    HWND list = GetDlgItem(dlg, IDC_ERROR_LIST);
    char kept[sizeof g_err.errorContents];
    memcpy(kept, g_err.errorContents, sizeof kept);
    AddColumn(list, COL_NAME, "HDD Name", COL_NAME_WIDTH);
    AddColumn(list, COL_CODE, "Error Code", COL_CODE_WIDTH);
    AddColumn(list, COL_CONTENTS, "Contents", COL_CONTENTS_WIDTH);
    int line = 0;
    for (uint32_t unit = 0; unit < UNIT_COUNT; unit++) {
        for (uint32_t row = 0; row < ROW_COUNT; row++) {
            const DriveEntry &e = g_run.driveTable[unit][row];
            if (e.errorCode == 0)
                continue;
            char name[DRIVE_NAME_LEN + 1], code[8];
            snprintf(name, sizeof name, "%.*s", int(DRIVE_NAME_LEN), e.name);
            snprintf(code, sizeof code, "%02x %02x", e.errorCode >> 8, e.errorCode & 0xFF);
            LVITEMA item = {};
            item.mask = LVIF_TEXT;
            item.iItem = line;
            item.pszText = name;
            int at = int(SendMessageA(list, LVM_INSERTITEMA, 0, (LPARAM)&item));
            if (at < 0)
                continue;
            SetCell(list, at, COL_CODE, code);
            LoadErrorText(e.errorCode);
            g_err.errorContents[sizeof g_err.errorContents - 1] = '\0';
            SetCell(list, at, COL_CONTENTS, g_err.errorContents);
            line++;
        }
    }
    memcpy(g_err.errorContents, kept, sizeof kept);
    return TRUE;
}

static void ErrorListClose(HWND dlg, UINT) { EndDialog(dlg, DLG_OK); }

static const CmdEntry kErrorListCmds[] = {
    { IDOK,     IDOK, ErrorListClose },
    { IDCANCEL, IDCANCEL, ErrorListClose },
};
static const MsgEntry kErrorListMsgs[] = {
    { WM_INITDIALOG, ErrorListInit },
    { WM_COMMAND,    TableCommand<kErrorListCmds> },
};

void ShowErrorList(HWND owner)
{
    INITCOMMONCONTROLSEX icc = { sizeof icc, ICC_LISTVIEW_CLASSES };
    InitCommonControlsEx(&icc);
    DialogBoxParamA(g_app.instance, MAKEINTRESOURCEA(IDD_ERROR_LIST), owner, TableProc<kErrorListMsgs>, 0);
}
