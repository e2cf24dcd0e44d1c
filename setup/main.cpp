#include <windows.h>

#include "setup.h"

// The runtime hands over the command line behind the program name.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) { return RunSetup(commandLine); }
