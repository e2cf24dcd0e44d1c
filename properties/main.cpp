#include <windows.h>

#include "properties.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
  return RunEntry(instance, commandLine);
}
