/* Debug mode: access-code prompt, debug menu and its configuration overrides. Main thread. */
#include "shell/shell.h"
#include "res/resource.h"
#include <string.h>

static const char kAccessCode[] = "KTR582";
enum : int { PASSWORD_MAX = 128 };

static void CheckPair(HMENU menu, UINT chosen, UINT other)
{
    CheckMenuItem(menu, chosen, MF_BYCOMMAND | MF_CHECKED);
    CheckMenuItem(menu, other, MF_BYCOMMAND | MF_UNCHECKED);
}

static void ReplaceMenu(HWND wnd, UINT id)
{
    HMENU old = GetMenu(wnd);
    SetMenu(wnd, LoadMenuA(g_app.instance, MAKEINTRESOURCEA(id)));
    if (old)
        DestroyMenu(old);
}

static INT_PTR PwInit(HWND dlg, WPARAM, LPARAM)
{
    SetFocus(GetDlgItem(dlg, IDC_PASSWORD));
    return FALSE;
}

/* The whole field must equal the access code, case and all. */
static INT_PTR PwCommand(HWND dlg, WPARAM wp, LPARAM)
{
    if (LOWORD(wp) == IDCANCEL) {
        EndDialog(dlg, 2);
        return TRUE;
    }
    if (LOWORD(wp) != IDOK)
        return FALSE;
    char text[PASSWORD_MAX + 1] = "";
    GetDlgItemTextA(dlg, IDC_PASSWORD, text, PASSWORD_MAX);
    if (strcmp(text, kAccessCode) == 0) {
        MessageBoxA(dlg, "PassWord  OK.\nChange Debug Mode.", "Pass Word", MB_OK | MB_ICONINFORMATION);
        EndDialog(dlg, 1);
    } else {
        MessageBoxA(dlg, "PassWord Miss.", "Pass Word", MB_OK | MB_ICONEXCLAMATION);
        EndDialog(dlg, 2);
    }
    return TRUE;
}

static const MsgEntry kPasswordMsgs[] = {
    { WM_INITDIALOG, PwInit    },
    { WM_COMMAND,    PwCommand },
};


/* UM_ASK_PASSWORD: the prompt; an accepted code posts UM_DEBUG_MODE. */
void AskPassword(HWND wnd)
{
    if (DialogBoxParamA(g_app.instance, MAKEINTRESOURCEA(IDD_PASSWORD), wnd, TableProc<kPasswordMsgs>, 0) == 1)
        PostMessageA(wnd, UM_DEBUG_MODE, 0, 0);
}

/* UM_DEBUG_MODE: debug menu with the current choices checked. */
void EnterDebugMode(HWND wnd)
{
    ReplaceMenu(wnd, IDR_MENU_DEBUG);
    g_app.debugMode = 1;
    ConfigureLayers();
    HMENU menu = GetMenu(wnd);
    CheckMenuItem(menu, g_app.dkuModelMenu == 1 ? IDM_DKU_QX5 : IDM_DKU_QX7, MF_BYCOMMAND | MF_CHECKED);
    CheckMenuItem(menu, g_app.dkfType == 1 ? IDM_DKF_2MP : IDM_DKF_4MP, MF_BYCOMMAND | MF_CHECKED);
    CheckMenuItem(menu, g_app.conTypeMenu == 1 ? IDM_CON_2MP : IDM_CON_1MP, MF_BYCOMMAND | MF_CHECKED);
}

/* UM_NORMAL_MODE: the normal menu, enabled as loaded. */
void EnterNormalMode(HWND wnd)
{
    ReplaceMenu(wnd, IDR_MENU_MAIN);
    g_app.debugMode = 0;
    ConfigureLayers();
}

/* The debug menu's pairs of exclusive choices: checking "on" stores 1, "off" stores 0. */
struct MenuChoice { UINT off, on; uint16_t AppContext::*field; };
static const MenuChoice kChoices[] = {
    { IDM_DKU_QX7, IDM_DKU_QX5, &AppContext::dkuModelMenu },
    { IDM_DKF_4MP, IDM_DKF_2MP, &AppContext::dkfType      },
    { IDM_CON_1MP, IDM_CON_2MP, &AppContext::conTypeMenu  },
    { IDM_DKC_HV,  IDM_DKC_LT,  &AppContext::dkcModel     },
};

/* Commands of the debug menu; 1 when the id was one of them. */
int DebugCommand(HWND wnd, UINT id)
{
    if (id == IDM_NORMAL_MODE) {
        PostMessageA(wnd, UM_NORMAL_MODE, 0, 0);
        return 1;
    }
    if (id == IDM_RENEW) {
        RenewInformation();
        return 1;
    }
    for (const MenuChoice &c : kChoices) {
        if (id != c.off && id != c.on)
            continue;
        uint16_t value = id == c.on;
        g_app.*c.field = value;
        CheckPair(GetMenu(wnd), id, id == c.on ? c.off : c.on);
        /* The model choice applies to every DKU; the connection type is the pair configuration. */
        if (c.field == &AppContext::dkuModelMenu)
            for (uint16_t &model : g_app.dkuModel)
                model = value;
        if (c.field == &AppContext::conTypeMenu)
            g_app.conKind = value;
        return 1;
    }
    return 0;
}
