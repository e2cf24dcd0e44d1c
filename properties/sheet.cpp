// Entry helpers, settings, the sheet and the protocol every page follows.
#include <strsafe.h>

#include "properties.h"
#include "registry.h"
#include "report_error.h"
#include "resource_ids.h"

PropertiesState g_props;

namespace {

wchar_t g_report[kReportUnits];
wchar_t g_printerName[] = ORVL_PRODUCT_NAME;

// The sheet's small and big icon. Loaded without LR_SHARED at the sizes of
// the system metrics, they are ours to destroy (LoadImage: DestroyIcon), and
// a window does not destroy the icons it was given with WM_SETICON.
HICON g_sheetIcons[2];

void DestroySheetIcons() {
  for (HICON& icon : g_sheetIcons) {
    if (icon) DestroyIcon(icon);
    icon = nullptr;
  }
}

// Larger lists than this come from no real driver; they are refused before
// any buffer is sized from them.
const int kMaxDriverListCount = 4096;

void KeyPath(const wchar_t* format, wchar_t* out) {
  StringCchPrintfW(out, kPathUnits, format, ORVL_PRODUCT_NAME);
}

// Open failures other than a missing key end the load with a report.
bool OpenForLoad(HKEY root, const wchar_t* pathFormat, const wchar_t* contextFormat, HKEY* key) {
  wchar_t path[kPathUnits];
  KeyPath(pathFormat, path);
  LONG rc = OpenKey(root, path, KEY_READ, key);
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return true;
  wchar_t context[kPathUnits];
  KeyPath(contextFormat, context);
  ReportError(context, static_cast<DWORD>(rc), nullptr);
  return false;
}

bool IsTokenChar(wchar_t c) { return c != L' ' && c != L'\0'; }

wchar_t AsciiLower(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
}

bool TokenEquals(const wchar_t* token, size_t length, const wchar_t* word) {
  size_t i = 0;
  for (; i < length; ++i) {
    if (word[i] == L'\0' || AsciiLower(token[i]) != word[i]) return false;
  }
  return word[i] == L'\0';
}

}  // namespace

void ResetPropertiesState(HINSTANCE instance) {
  ZeroMemory(&g_props, sizeof(g_props));
  g_props.instance = instance;
  g_props.canAdminister = 1;
}

EntryResult AcquireInstanceMutex() {
  wchar_t name[kPathUnits];
  StringCchPrintfW(name, kPathUnits, L"%s_properties_mutex", ORVL_PRODUCT_NAME);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
  DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
    if (mutex) CloseHandle(mutex);
    return kEntryOtherInstance;
  }
  g_props.instanceMutex = mutex;
  return kEntryRun;
}

void ComposeCaption() {
  StringCchPrintfW(g_props.caption, kPathUnits, L"%s properties", ORVL_PRODUCT_NAME);
}

void ParseCommandLine(const wchar_t* commandLine, int* noGeneral, int* noPaper) {
  if (!commandLine || !*commandLine) return;
  size_t units = lstrlenW(commandLine) + 1;
  wchar_t* copy = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, units * sizeof(wchar_t)));
  if (!copy) return;
  StringCchCopyW(copy, units, commandLine);
  const wchar_t* p = copy;
  while (*p) {
    while (*p == L' ') ++p;
    const wchar_t* start = p;
    while (IsTokenChar(*p)) ++p;
    size_t length = static_cast<size_t>(p - start);
    if (length == 0) continue;
    if (TokenEquals(start, length, L"/nogeneral")) *noGeneral = 1;
    if (TokenEquals(start, length, L"/nopaper")) *noPaper = 1;
  }
  HeapFree(GetProcessHeap(), 0, copy);
}

void LoadPreviews() {
  g_props.portraitPreview = LoadBitmapW(g_props.instance, MAKEINTRESOURCEW(IDB_PORTRAIT));
  g_props.landscapePreview = LoadBitmapW(g_props.instance, MAKEINTRESOURCEW(IDB_LANDSCAPE));
}

int RunEntry(HINSTANCE instance, const wchar_t* commandLine) {
  ResetPropertiesState(instance);
  if (AcquireInstanceMutex() == kEntryOtherInstance) return 0;
  ComposeCaption();
  int noGeneral = 0;
  int noPaper = 0;
  ParseCommandLine(commandLine, &noGeneral, &noPaper);
  LoadPreviews();
  return ShowProperties(noGeneral, noPaper);
}

DWORD ReportError(const wchar_t* context, DWORD error, HWND owner) {
  DWORD reported = FormatErrorReport(context, error, 0, g_report, kReportUnits);
  if (reported == 0) return 0;
  MessageBoxW(owner, g_report, g_props.caption, MB_OK);
  return reported;
}

bool LoadSettings() {
  HKEY machine = nullptr;
  HKEY defaults = nullptr;
  HKEY user = nullptr;
  bool ok = OpenForLoad(HKEY_LOCAL_MACHINE, L"Software\\%s",
                        L"Failed to open registry key\nHKLM\\Software\\%s", &machine) &&
            OpenForLoad(HKEY_LOCAL_MACHINE, L"Software\\%s\\Defaults",
                        L"Failed to open registry key\nHKLM\\Software\\%s\\Defaults", &defaults) &&
            OpenForLoad(HKEY_CURRENT_USER, L"Software\\%s",
                        L"Failed to open registry key\nHKCU\\Software\\%s", &user);
  if (ok) {
    DWORD value = static_cast<DWORD>(g_props.lastViewedPage);
    if (ReadDwordValue(user, L"Last Viewed Page", &value))
      g_props.lastViewedPage = static_cast<LONG>(value);
    if (machine) ReadDwordValue(machine, L"EMF: Hide page", &g_props.hideEmfPage);
    // The user's own choice wins over the machine-wide default.
    if (!user || !ReadDwordValue(user, L"EMF: Enabled", &g_props.emfEnabled)) {
      if (defaults) ReadDwordValue(defaults, L"EMF: Enabled", &g_props.emfEnabled);
    }
  }
  if (machine) RegCloseKey(machine);
  if (defaults) RegCloseKey(defaults);
  if (user) RegCloseKey(user);
  return ok;
}

LONG SaveLastViewedPage() {
  wchar_t path[kPathUnits];
  KeyPath(L"Software\\%s", path);
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                            nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD value = static_cast<DWORD>(g_props.lastViewedPage);
  RegSetValueExW(key, L"Last Viewed Page", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                 sizeof(value));
  RegCloseKey(key);
  return ERROR_SUCCESS;
}

OSVERSIONINFOW QueryVersion() {
  OSVERSIONINFOW version;
  ZeroMemory(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExW(&version)) {
    ZeroMemory(&version, sizeof(version));
  }
  return version;
}

namespace {

HPROPSHEETPAGE CreatePage(int templateId, DLGPROC procedure) {
  PROPSHEETPAGEW page;
  ZeroMemory(&page, sizeof(page));
  page.dwSize = sizeof(page);
  page.dwFlags = 0;
  page.hInstance = g_props.instance;
  page.pszTemplate = MAKEINTRESOURCEW(templateId);
  page.pfnDlgProc = procedure;
  return CreatePropertySheetPageW(&page);
}

}  // namespace

bool PrepareSheet(int noGeneral, int noPaper, DWORD platformId, SheetSetup* setup) {
  ZeroMemory(setup, sizeof(*setup));
  bool withGeneral = noGeneral == 0;
  bool withPaper = noPaper == 0 && platformId == VER_PLATFORM_WIN32_NT;
  bool withEmf = g_props.hideEmfPage == 0;
  int count = 1 + (withGeneral ? 1 : 0) + (withPaper ? 1 : 0) + (withEmf ? 1 : 0);
  setup->pages = static_cast<HPROPSHEETPAGE*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, count * sizeof(HPROPSHEETPAGE)));
  if (!setup->pages) return false;
  int n = 0;
  if (withGeneral) setup->pages[n++] = CreatePage(IDD_GENERAL, GeneralPageProc);
  if (withPaper) setup->pages[n++] = CreatePage(IDD_PAPER, PaperPageProc);
  if (withEmf) setup->pages[n++] = CreatePage(IDD_EMF, EmfPageProc);
  setup->pages[n++] = CreatePage(IDD_ABOUT, AboutPageProc);
  setup->pageCount = n;

  PROPSHEETHEADERW& h = setup->header;
  h.dwSize = sizeof(h);
  h.dwFlags = PSH_PROPTITLE | PSH_USECALLBACK;
  h.hwndParent = nullptr;
  h.hInstance = g_props.instance;
  h.pszCaption = ORVL_PRODUCT_NAME;
  h.nPages = static_cast<UINT>(n);
  h.phpage = setup->pages;
  h.pfnCallback = PropSheetCallback;
  LONG start = g_props.lastViewedPage;
  h.nStartPage = (start >= 0 && start < n) ? static_cast<UINT>(start) : 0;
  return true;
}

void ReleaseSheet(SheetSetup* setup) {
  DestroySheetIcons();
  if (setup->pages) HeapFree(GetProcessHeap(), 0, setup->pages);
  setup->pages = nullptr;
  setup->pageCount = 0;
}

int DriverListCount(const wchar_t* printer, WORD capability) {
  int count = DeviceCapabilitiesW(printer, nullptr, capability, nullptr, nullptr);
  // A failing driver answers -1: no list, like a driver that lists nothing.
  return count > 0 && count <= kMaxDriverListCount ? count : 0;
}

void ProbeAdminister() {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_ADMINISTER};
  HANDLE probe = nullptr;
  if (OpenPrinterW(g_printerName, &probe, &defaults)) {
    ClosePrinter(probe);
  } else {
    g_props.canAdminister = 0;
  }
}

extern "C" __declspec(dllexport) int ShowProperties(int noGeneral, int noPaper) {
  OSVERSIONINFOW version = QueryVersion();
  if (!LoadSettings()) return 1;

  ProbeAdminister();

  SheetSetup setup;
  if (PrepareSheet(noGeneral, noPaper, version.dwPlatformId, &setup)) {
    PropertySheetW(&setup.header);
  }
  ReleaseSheet(&setup);
  if (g_props.portraitPreview) DeleteObject(g_props.portraitPreview);
  if (g_props.landscapePreview) DeleteObject(g_props.landscapePreview);
  g_props.portraitPreview = nullptr;
  g_props.landscapePreview = nullptr;
  if (g_props.instanceMutex) CloseHandle(g_props.instanceMutex);
  g_props.instanceMutex = nullptr;
  return 0;
}

int CALLBACK PropSheetCallback(HWND window, UINT message, LPARAM parameter) {
  switch (message) {
    case PSCB_PRECREATE: {
      if (!parameter) break;
      WORD* words = reinterpret_cast<WORD*>(parameter);
      // The extended layout starts with version 1 and 0xFFFF; its style
      // follows the help id and the extended style.
      DWORD* style = words[1] == 0xFFFF
                         ? reinterpret_cast<DWORD*>(reinterpret_cast<BYTE*>(parameter) + 12)
                         : reinterpret_cast<DWORD*>(parameter);
      DWORD value;
      CopyMemory(&value, style, sizeof(value));
      value = (value & ~static_cast<DWORD>(DS_CONTEXTHELP)) | DS_CENTER;
      CopyMemory(style, &value, sizeof(value));
      break;
    }
    case PSCB_INITIALIZED: {
      if (!window) break;
      int small = GetSystemMetrics(SM_CXSMICON);
      int big = GetSystemMetrics(SM_CXICON);
      DestroySheetIcons();
      g_sheetIcons[0] =
          static_cast<HICON>(LoadImageW(g_props.instance, MAKEINTRESOURCEW(IDI_PRINTER), IMAGE_ICON,
                                        small, small, LR_DEFAULTCOLOR));
      g_sheetIcons[1] = static_cast<HICON>(LoadImageW(
          g_props.instance, MAKEINTRESOURCEW(IDI_PRINTER), IMAGE_ICON, big, big, LR_DEFAULTCOLOR));
      SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(g_sheetIcons[0]));
      SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(g_sheetIcons[1]));
      break;
    }
    case PSCB_BUTTONPRESSED:
      SaveLastViewedPage();
      break;
    default:
      break;
  }
  return 0;
}

BOOL CALLBACK DisableChildProc(HWND child, LPARAM) {
  EnableWindow(child, FALSE);
  return TRUE;
}

void StorePageIndex(HWND page) {
  g_props.lastViewedPage = static_cast<LONG>(
      SendMessageW(GetParent(page), PSM_HWNDTOINDEX, reinterpret_cast<WPARAM>(page), 0));
}

void MarkPageChanged(HWND page, bool* dirty) {
  *dirty = true;
  SendMessageW(GetParent(page), PSM_CHANGED, reinterpret_cast<WPARAM>(page), 0);
}

INT_PTR FinishApply(HWND page, bool* dirty) {
  *dirty = false;
  SetWindowLongPtrW(page, DWLP_MSGRESULT, PSNRET_NOERROR);
  SendMessageW(GetParent(page), PSM_UNCHANGED, reinterpret_cast<WPARAM>(page), 0);
  return TRUE;
}
