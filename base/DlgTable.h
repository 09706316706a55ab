/* Dialog tables: one function per message; commands by id range (first..last). Main thread. */
#pragma once
#include <windows.h>
#include <iterator>

struct MsgEntry { UINT msg; INT_PTR (*fn)(HWND, WPARAM, LPARAM); };
struct CmdEntry { UINT first, last; void (*fn)(HWND, UINT id); };

inline INT_PTR Dispatch(const MsgEntry *table, size_t count, HWND dlg, UINT msg, WPARAM wp, LPARAM lp)
{
    for (size_t i = 0; i < count; i++)
        if (table[i].msg == msg)
            return table[i].fn(dlg, wp, lp);
    return FALSE;
}

inline INT_PTR DispatchCommand(const CmdEntry *table, size_t count, HWND dlg, WPARAM wp)
{
    UINT id = LOWORD(wp);
    for (size_t i = 0; i < count; i++) {
        if (id >= table[i].first && id <= table[i].last) {
            table[i].fn(dlg, id);
            return TRUE;
        }
    }
    return FALSE;
}

/* The dialog procedure of a message table. */
template <auto &Msgs>
INT_PTR CALLBACK TableProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp)
{
    return Dispatch(Msgs, std::size(Msgs), dlg, msg, wp, lp);
}

/* A WM_COMMAND entry that goes on to a command table. */
template <auto &Cmds>
INT_PTR TableCommand(HWND dlg, WPARAM wp, LPARAM)
{
    return DispatchCommand(Cmds, std::size(Cmds), dlg, wp);
}
