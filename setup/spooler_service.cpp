// Stopping and starting the print spooler service, waiting for the new state.
#include "setup.h"

namespace {

void CloseBoth(SC_HANDLE service, SC_HANDLE manager) {
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
}

void ReportUnlessSilent(const wchar_t* text) {
  if (!g_setup.silentMode) ReportError(text, 0, nullptr);
}

// Polls while the service stays in the pending state: each poll waits a tenth
// of the wait hint (1 to 10 s); without check-point progress for longer than
// the hint the wait ends. Returns the last state seen.
DWORD WaitWhilePending(SC_HANDLE service, SERVICE_STATUS status, DWORD pending) {
  DWORD start = GetTickCount();
  DWORD lastCheckPoint = status.dwCheckPoint;
  while (status.dwCurrentState == pending) {
    DWORD wait = status.dwWaitHint / 10;
    if (wait < 1000) wait = 1000;
    if (wait > 10000) wait = 10000;
    Sleep(wait);
    SERVICE_STATUS next;
    if (!QueryServiceStatus(service, &next)) break;
    status = next;
    if (status.dwCheckPoint > lastCheckPoint) {
      start = GetTickCount();
      lastCheckPoint = status.dwCheckPoint;
    } else if (static_cast<DWORD>(GetTickCount() - start) > status.dwWaitHint) {
      break;
    }
  }
  return status.dwCurrentState;
}

DWORD ChangeSpooler(bool stop) {
  const DWORD access = GENERIC_READ | GENERIC_EXECUTE;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, access);
  if (!manager) {
    ReportUnlessSilent(L"Failed to open SC manager!");
    return 0;
  }
  SC_HANDLE service = OpenServiceW(manager, L"Spooler", access);
  if (!service) {
    ReportUnlessSilent(L"Failed to open spooler service!");
    CloseBoth(nullptr, manager);
    return 0;
  }
  SERVICE_STATUS status = {};
  if (stop) {
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
      ReportUnlessSilent(L"Failed to control spooler!");
      CloseBoth(service, manager);
      return 0;
    }
  } else if (!StartServiceW(service, 0, nullptr)) {
    ReportUnlessSilent(L"Failed to start service!");
    CloseBoth(service, manager);
    return 0;
  }
  if (!QueryServiceStatus(service, &status)) {
    ReportUnlessSilent(L"Failed to query service status!");
    CloseBoth(service, manager);
    return 0;
  }
  DWORD state =
      WaitWhilePending(service, status, stop ? SERVICE_STOP_PENDING : SERVICE_START_PENDING);
  CloseBoth(service, manager);
  return state;
}

}  // namespace

DWORD StopSpooler() { return ChangeSpooler(true); }
DWORD StartSpooler() { return ChangeSpooler(false); }
