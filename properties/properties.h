// The properties program: process state shared by the sheet and its pages,
// and the operations the entry, the pages and the tests call.
#pragma once
#include <windows.h>

#include <commctrl.h>
#include <prsht.h>
#include <stddef.h>

#include "product.h"

struct PropertiesState {
  HINSTANCE instance;
  wchar_t caption[kPathUnits];
  HANDLE instanceMutex;
  HBITMAP portraitPreview;
  HBITMAP landscapePreview;
  LONG lastViewedPage;
  DWORD hideEmfPage;
  DWORD emfEnabled;
  DWORD canAdminister;
};

extern PropertiesState g_props;

// Resets the state to its start values (zero, canAdminister 1).
void ResetPropertiesState(HINSTANCE instance);

// Entry helpers.
enum EntryResult { kEntryRun, kEntryOtherInstance };
EntryResult AcquireInstanceMutex();
void ComposeCaption();
void ParseCommandLine(const wchar_t* commandLine, int* noGeneral, int* noPaper);
void LoadPreviews();
int RunEntry(HINSTANCE instance, const wchar_t* commandLine);

// Error report of this program: application-modal box with the caption.
DWORD ReportError(const wchar_t* context, DWORD error, HWND owner);

// Settings store.
bool LoadSettings();
// canAdminister stays 1 only if the printer opens with administer access.
void ProbeAdminister();
LONG SaveLastViewedPage();

// The sheet as ShowProperties builds it; the tests build it the same way and
// run it modeless.
struct SheetSetup {
  PROPSHEETHEADERW header;
  HPROPSHEETPAGE* pages;
  int pageCount;
};
// Counts and creates the pages and fills the header; false when no memory.
bool PrepareSheet(int noGeneral, int noPaper, DWORD platformId, SheetSetup* setup);
void ReleaseSheet(SheetSetup* setup);

extern "C" __declspec(dllexport) int ShowProperties(int noGeneral, int noPaper);

int CALLBACK PropSheetCallback(HWND window, UINT message, LPARAM parameter);
BOOL CALLBACK DisableChildProc(HWND child, LPARAM parameter);

// Page protocol helpers.
void StorePageIndex(HWND page);
void MarkPageChanged(HWND page, bool* dirty);
INT_PTR FinishApply(HWND page, bool* dirty);

// The count a driver answers for one of its lists (DC_PAPERS, DC_PAPERNAMES,
// DC_PAPERSIZE, DC_ENUMRESOLUTIONS), asked without an output buffer; 0 when
// the answer fails or is beyond any real driver's list.
int DriverListCount(const wchar_t* printer, WORD capability);

// The end of a device-mode field; a field exists in a given device mode only
// when its public part (dmSize bytes) reaches that far.
#define ORVL_DEVMODE_END(field) \
  (offsetof(DEVMODEW, field) + sizeof(static_cast<DEVMODEW*>(nullptr)->field))
inline bool DevModeHolds(const DEVMODEW* mode, size_t end) { return mode && mode->dmSize >= end; }

// Platform version as the pages decide on it.
OSVERSIONINFOW QueryVersion();

INT_PTR CALLBACK GeneralPageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK PaperPageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK EmfPageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK AboutPageProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK BannerWndProc(HWND, UINT, WPARAM, LPARAM);

// The maker's data shown on the About page.
extern const wchar_t kWebAddressDisplay[];
extern const wchar_t kWebAddressFull[];
