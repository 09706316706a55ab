#include "shell/shell.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR cmdLine, int)
{
    return RunProgram(instance, cmdLine);
}
