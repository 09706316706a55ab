/* The communication session: set and delete, attach to and detach from the messaging layer with
 * the swap of its receive handlers, and the library's own receive handlers. */
#include "cmlb/cmlb.h"
#include "svclib/mtpsvc.h"
#include <stdio.h>
#include <string.h>

static const char kDefaultWaitText[] = "Wait...";

/* The applications of the suite; this program is 0D. The per-application codes are not read
 * by this program. */
const ApTableRow ApTable[CM_AP_ROWS] = {
    { 0x01, "01", "MAINTENANCE MENU",         {} },
    { 0x02, "02", "CONFIGURATION VIEW",       {} },
    { 0x03, "03", "MICROCODE EXCHANGE",       {} },
    { 0x04, "04", "LOGOUT",                   {} },
    { 0x05, "05", "DIAGNOSIS LOG",            {} },
    { 0x06, "06", "FAILURE REPORT",           {} },
    { 0x07, "07", "STATUS MONITOR",           {} },
    { 0x08, "08", "DKC COMMUNICATION (ALT)",  {} },
    { 0x09, "09", "DKC COMMUNICATION",        {} },
    { 0x0A, "0A", "SUB PROCESSOR LINK",       {} },
    { 0x0B, "0B", "ENVIRONMENT MONITOR",      {} },
    { 0x0C, "0C", "PATH TEST",                {} },
    { 0x0D, "0D", "VESTRA",                   {} },
    { 0x0E, "0E", "LDEV FORMAT",              {} },
    { 0x0F, "0F", "DRIVE COPY",               {} },
    { 0x10, "10", "CACHE MAINTENANCE",        {} },
    { 0x11, "11", "POWER CONTROL",            {} },
    { 0x12, "12", "PORT SETTING",             {} },
    { 0x13, "13", "TRACE COLLECTION",         {} },
    { 0x14, "14", "DUMP TRANSFER",            {} },
    { 0x15, "15", "WAIT WINDOW",              {} },
    { 0x16, "16", "REMOTE SUPPORT",           {} },
    { 0x17, "17", "SHUTDOWN",                 {} },
};

static Comenv g_env;
Comenv *g_comenv;
static uint16_t g_envFlagsKept;
static uint16_t g_initialised;
/* Id text used when the application id has no row. */
static char g_unlistedId[4];

IwRecvProc g_cmRecvTable[IW_ROW_COUNT][3] = {
    { IwDefaultEntry, RecvDKC, IwDefaultEntry },
    { IwDefaultEntry, RecvSUB, IwDefaultEntry },
    { IwDefaultEntry, RecvAP,  IwDefaultEntry },
};
IwRecvProc g_cmSavedTable[IW_ROW_COUNT][3];

static const char *IdText(const Comenv *env)
{
    return env->apRow ? env->apRow->idText : g_unlistedId;
}

uint16_t CMSETComenv(const ComenvParam *param)
{
    uint16_t result = CM_OK;
    if (g_comenv) {
        CMTrace(CMT_LINE, "CMSETComenv_AlreadySet");
        CMDELComend();
    }
    g_comenv = &g_env;
    g_env.hInstance = param->hInstance;
    g_env.hwndOwner = param->hwndOwner;
    g_env.apId = param->apId;
    g_env.ddeFlag = param->ddeFlag;
    g_env.envFlags = param->envFlags;
    g_envFlagsKept = param->envFlags;
    g_env.traceFlags = param->traceFlags;
    g_env.progressProc = param->progressProc;
    snprintf(g_env.waitText, sizeof g_env.waitText, "%.99s", param->waitText ? param->waitText : kDefaultWaitText);
    g_env.hwndWait = nullptr;
    g_env.apRow = nullptr;
    for (const ApTableRow &row : ApTable)
        if (row.apId == param->apId)
            g_env.apRow = &row;
    if (!g_env.apRow) {
        CMTrace(CMT_LINE, "CMSETId_Error,ID=%04x", unsigned(param->apId));
        snprintf(g_unlistedId, sizeof g_unlistedId, "%02X", unsigned(param->apId));
        result = CM_ERR_NO_AP;
    }
    if (!CMLB_INI(&g_env, CM_MODE_ATTACH) && !g_initialised) {
        g_comenv = nullptr;
        if (result == CM_OK)
            result = CM_ERR_MESSAGING;
    }
    return result;
}

void CMDELComend()
{
    Comenv *env = g_comenv;
    g_comenv = nullptr;
    if (!env) {
        CMTrace(CMT_LINE, "CMDELComend_AlreadyDel");
        return;
    }
    CMLB_INI(env, CM_MODE_DETACH);
}

/* Delivers what the receive thread has posted to this thread before the detach. A quit
 * message met on the way is posted again. */
static void DrainQueue()
{
    MSG msg;
    int quit = 0;
    WPARAM quitCode = 0;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit = 1;
            quitCode = msg.wParam;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    if (quit)
        PostQuitMessage(int(quitCode));
}

int CMLB_INI(Comenv *env, uint16_t mode)
{
    if (mode == CM_MODE_ATTACH) {
        CMTrace(CMT_OPEN, IdText(env), int(env->traceFlags));
        CMTrace(CMT_LINE_QUIET, "CMLB_INI:Mode=%d,Org=%d,DDE=%d,Inst=%04x,Wnd=%04x,AP=%02x", int(mode),
                int(g_initialised), int(env->ddeFlag), unsigned(env->hInstance & 0xFFFFFFFFu),
                unsigned(env->hwndOwner & 0xFFFFFFFFu), unsigned(env->apId));
        if (g_initialised)
            return 0;
        g_initialised = 1;
        if (env->ddeFlag == 0)
            memcpy(g_cmSavedTable, RecvHandlerTable, sizeof g_cmSavedTable);
        memcpy(RecvHandlerTable, g_cmRecvTable, sizeof g_cmRecvTable);
        /* Without its messaging (another process receives as the id, or no receive thread)
         * the session would wait for replies that never come: it is not set. */
        int32_t rc = mtp1_iwini(env->hInstance, env->hwndOwner, IdText(env));
        if (rc != IW_OK) {
            CMTrace(CMT_LINE, "CMLB_INI:iwini failed,RC=%d", int(rc));
            if (env->ddeFlag == 0)
                memcpy(RecvHandlerTable, g_cmSavedTable, sizeof g_cmSavedTable);
            g_initialised = 0;
            CMTrace(CMT_CLOSE);
            return 0;
        }
        return 1;
    }
    if (mode == CM_MODE_DETACH) {
        CMTrace(CMT_LINE_QUIET, "CMLB_INI:Mode=%d,Org=%d,DDE=%d,AP=%02x", int(mode), int(g_initialised),
                int(env->ddeFlag), unsigned(env->apId));
        g_initialised = 0;
        DrainQueue();
        iwend();
        if (env->ddeFlag == 0)
            memcpy(RecvHandlerTable, g_cmSavedTable, sizeof g_cmSavedTable);
        env->envFlags = g_envFlagsKept;
        CMTrace(CMT_CLOSE);
        return 1;
    }
    CMTrace(CMT_LINE, "CMLB_INI:Mode=%d,Org=%d,DDE=%d,AP=%02x", int(mode), int(g_initialised),
            int(env->ddeFlag), unsigned(env->apId));
    return g_initialised ? 1 : 0;
}

/* The common part of the three handlers: payload checks, trace, hand-over to the application's
 * own handler of the kind as saved at attach. Receive thread. */
static uint32_t Deliver(IwMsgDesc *msg, uint16_t kind, const char *name, int errBase)
{
    uint8_t *copy = msg ? msg->data : nullptr;
    uint32_t len = 0;
    uint8_t *payload = nullptr;
    if (kind == IW_ROW_DKC) {
        /* The prefix states the payload length; a copy too short to hold the prefix has none. */
        uint32_t whole = 0;
        IwGetDataLen(kind, 1, copy, &whole);
        payload = IwGetData(kind, 0, copy);
        uint16_t prefix = IwLayoutTable[0][0].prefixLen;
        if (payload && prefix >= 8 && whole >= prefix)
            len = uint32_t(copy[6]) << 8 | copy[7];
    } else {
        payload = IwGetDataLen(kind, 1, copy, &len);
    }
    if (!payload) {
        CMTrace(CMT_LINE, "*Err:CW%d,DDH=%04x", errBase, unsigned(uintptr_t(copy) & 0xFFFF));
        return IW_HANDLED;
    }
    if (len == 0) {
        CMTrace(CMT_LINE, "*Err:CW%d", errBase + 1);
        IwReleaseData(copy);
        return IW_HANDLED;
    }
    CMTrace(CMT_LINE_QUIET, "%s,Not Hit", name);
    IwReleaseData(copy);
    IwRecvProc own = g_cmSavedTable[kind][1];
    return own ? own(msg) : IW_HANDLED;
}

uint32_t WINAPI RecvDKC(IwMsgDesc *msg) { return Deliver(msg, IW_ROW_DKC, "RecvDKC", 1000); }
uint32_t WINAPI RecvSUB(IwMsgDesc *msg) { return Deliver(msg, IW_ROW_SUB, "RecvSUB", 1100); }
uint32_t WINAPI RecvAP(IwMsgDesc *msg)  { return Deliver(msg, IW_ROW_AP,  "RecvAP",  1200); }
