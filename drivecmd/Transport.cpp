#include "drivecmd/drivecmd.h"

/* Placeholder until the communication session exists: nothing to open. */
int OpenCommunication() { return 1; }

/* Placeholder until the communication session exists: nothing to close. */
int CloseCommunication() { return 1; }
