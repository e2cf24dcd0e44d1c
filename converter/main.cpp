#include <windows.h>

#include "converter.h"

// The runtime hands over the command line behind the program name and the
// blanks that follow it: all of it is the ticket path.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
  return RunConverter(commandLine);
}
