/* Messaging layer: named objects per AP id, transfer, receive thread, history dump,
 * failure record. */
#pragma once
#include <windows.h>
#include <stdint.h>
#include "svclib/mtptime.h"
