/* Drive command layer: buffers, transport, command set, waiting windows. */
#pragma once
#include "shell/AppContext.h"

/* Transport.cpp */
/* Opens communication for the run: 1 ok, 0 failed. Main thread. */
int OpenCommunication();
/* Closes communication; 1. Main thread. */
int CloseCommunication();
