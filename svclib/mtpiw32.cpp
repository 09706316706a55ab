/* mtp_iw32.dll: the receive-table placeholder and the history filter. Any thread. */
#include "svclib/mtpsvc.h"
#include "svclib/subsys.h"

enum : uint32_t { IW_CONSUMED = 0x8000 };

/* Sits in the unused columns of receive tables: takes the message and reports it consumed. */
uint32_t WINAPI IwDefaultEntry(IwMsgDesc *)
{
    return IW_CONSUMED;
}

/* Records every function code but those listed in HistoryReject. */
int WINAPI IwHistoryFilter(uint8_t func)
{
    return SubsysHistoryAccepts(SubsysCurrent(), func) ? 1 : 0;
}
