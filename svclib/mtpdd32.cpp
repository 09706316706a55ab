/* mtp_dd32.dll: MP bitmap records. Any thread. */
#include "svclib/mtpsvc.h"
#include <string.h>

enum : size_t { BITMAP_MP_LEN = 34 };   /* 32 bytes of bitmap, 2 of MPID */

void WINAPI mtp_ClearBitmapMP(void *bitmapMp)
{
    if (bitmapMp)
        memset(bitmapMp, 0, BITMAP_MP_LEN);
}
