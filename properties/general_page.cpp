// General page: orientation with its preview, and print quality from the
// driver's resolutions, saved into the printer's default device mode.
#include <strsafe.h>

#include "properties.h"
#include "resource_ids.h"

namespace {

struct ResolutionPair {
  LONG x;
  LONG y;
};

struct GeneralPageState {
  SHORT orientation;
  LONG printQuality;
  LONG yResolution;
  ResolutionPair* resolutions;
  LONG resolutionCount;
  bool dirty;
};

GeneralPageState g_general;
wchar_t g_printer[] = ORVL_PRODUCT_NAME;

bool OpenOrvalis(DWORD access, HANDLE* printer) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
  *printer = nullptr;
  return OpenPrinterW(g_printer, printer, &defaults) != FALSE;
}

void ShowDevMode(HWND page, const DEVMODEW* mode) {
  g_general.orientation = mode->dmOrientation;
  g_general.printQuality = mode->dmPrintQuality;
  g_general.yResolution = mode->dmYResolution;
  CheckDlgButton(page, IDC_PORTRAIT, g_general.orientation == 1 ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(page, IDC_LANDSCAPE, g_general.orientation == 2 ? BST_CHECKED : BST_UNCHECKED);
  HWND list = GetDlgItem(page, IDC_QUALITY);
  LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT data = SendMessageW(list, CB_GETITEMDATA, static_cast<WPARAM>(i), 0);
    if (data == CB_ERR || data == 0) continue;
    const ResolutionPair* pair = reinterpret_cast<const ResolutionPair*>(data);
    if (pair->x == g_general.printQuality && pair->y == g_general.yResolution) {
      SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
      break;
    }
  }
  InvalidateRect(GetDlgItem(page, IDC_PREVIEW), nullptr, TRUE);
}

bool ReadDevMode(HWND page, HANDLE printer) {
  bool shown = false;
  LONG size = DocumentPropertiesW(page, printer, g_printer, nullptr, nullptr, 0);
  DEVMODEW* mode = nullptr;
  if (size > 0) {
    // Never less than the public part, so the fields read below exist.
    SIZE_T bytes = static_cast<SIZE_T>(size) < sizeof(DEVMODEW) ? sizeof(DEVMODEW) : size;
    mode = static_cast<DEVMODEW*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
  }
  if (mode && DocumentPropertiesW(page, printer, g_printer, mode, nullptr, DM_OUT_BUFFER) == IDOK) {
    ShowDevMode(page, mode);
    shown = true;
  } else {
    ReportError(L"DocumentProperties() failed.", 0, nullptr);
  }
  if (mode) HeapFree(GetProcessHeap(), 0, mode);
  return shown;
}

void FillResolutions(HWND page) {
  HWND list = GetDlgItem(page, IDC_QUALITY);
  g_general.resolutionCount = DriverListCount(g_printer, DC_ENUMRESOLUTIONS);
  if (g_general.resolutionCount <= 0) return;
  g_general.resolutions = static_cast<ResolutionPair*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                static_cast<SIZE_T>(g_general.resolutionCount) * sizeof(ResolutionPair)));
  if (!g_general.resolutions) {
    g_general.resolutionCount = 0;
    return;
  }
  DeviceCapabilitiesW(g_printer, nullptr, DC_ENUMRESOLUTIONS,
                      reinterpret_cast<LPWSTR>(g_general.resolutions), nullptr);
  for (LONG i = 0; i < g_general.resolutionCount; ++i) {
    const ResolutionPair& pair = g_general.resolutions[i];
    wchar_t text[64];
    StringCchPrintfW(text, 64, L"%d x %d DPI", static_cast<int>(pair.x), static_cast<int>(pair.y));
    if (pair.x == 204 && pair.y == 98) StringCchCatW(text, 64, L" - Standard FAX mode");
    if (pair.x == 204 && pair.y == 196) StringCchCatW(text, 64, L" - Fine FAX mode");
    LRESULT index = SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    if (index != CB_ERR && index != CB_ERRSPACE)
      SendMessageW(list, CB_SETITEMDATA, static_cast<WPARAM>(index),
                   reinterpret_cast<LPARAM>(&g_general.resolutions[i]));
  }
}

void ReleaseResolutions() {
  if (g_general.resolutions) HeapFree(GetProcessHeap(), 0, g_general.resolutions);
  g_general.resolutions = nullptr;
  g_general.resolutionCount = 0;
}

BOOL OnInit(HWND page) {
  OSVERSIONINFOW version = QueryVersion();
  ReleaseResolutions();
  g_general.dirty = false;
  FillResolutions(page);
  bool shown = false;
  HANDLE printer = nullptr;
  if (!OpenOrvalis(PRINTER_ACCESS_USE, &printer)) {
    ReportError(L"OpenPrinter(PRINTER_ACCESS_USE) error.", 0, nullptr);
  } else {
    shown = ReadDevMode(page, printer);
    ClosePrinter(printer);
  }
  if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS && version.dwMajorVersion == 4) {
    EnableWindow(GetDlgItem(page, IDC_PORTRAIT), FALSE);
    EnableWindow(GetDlgItem(page, IDC_LANDSCAPE), FALSE);
    EnableWindow(GetDlgItem(page, IDC_QUALITY), FALSE);
  } else {
    ShowWindow(GetDlgItem(page, IDC_DRIVER_DIALOG), SW_HIDE);
  }
  if (!shown) EnumChildWindows(page, DisableChildProc, 0);
  return TRUE;
}

void SetOrientation(HWND page, SHORT orientation) {
  g_general.orientation = orientation;
  CheckDlgButton(page, IDC_PORTRAIT, orientation == 1 ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(page, IDC_LANDSCAPE, orientation == 2 ? BST_CHECKED : BST_UNCHECKED);
  InvalidateRect(GetDlgItem(page, IDC_PREVIEW), nullptr, TRUE);
  MarkPageChanged(page, &g_general.dirty);
}

void OnQualityChosen(HWND page) {
  HWND list = GetDlgItem(page, IDC_QUALITY);
  LRESULT index = SendMessageW(list, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return;
  LRESULT data = SendMessageW(list, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
  if (data == CB_ERR || data == 0) return;
  const ResolutionPair* pair = reinterpret_cast<const ResolutionPair*>(data);
  g_general.printQuality = static_cast<SHORT>(pair->x);
  g_general.yResolution = static_cast<SHORT>(pair->y);
  MarkPageChanged(page, &g_general.dirty);
}

void OnDriverDialog(HWND page) {
  HANDLE printer = nullptr;
  if (!OpenOrvalis(PRINTER_ALL_ACCESS, &printer)) {
    ReportError(L"OpenPrinter() failed.", 0, nullptr);
    return;
  }
  PrinterProperties(page, printer);
  ReadDevMode(page, printer);
  ClosePrinter(printer);
}

BOOL OnDrawPreview(const DRAWITEMSTRUCT* item) {
  if (g_general.orientation <= 0 || !g_props.portraitPreview || !g_props.landscapePreview)
    return TRUE;
  HBITMAP bitmap = g_general.orientation == 1 ? g_props.portraitPreview : g_props.landscapePreview;
  BITMAP info;
  if (!GetObjectW(bitmap, sizeof(info), &info)) return TRUE;
  RECT r;
  GetWindowRect(item->hwndItem, &r);
  MapWindowPoints(nullptr, item->hwndItem, reinterpret_cast<POINT*>(&r), 2);
  FillRect(item->hDC, &r, GetSysColorBrush(COLOR_BTNFACE));
  HDC memory = CreateCompatibleDC(item->hDC);
  if (!memory) return TRUE;
  HGDIOBJ old = SelectObject(memory, bitmap);
  int x = r.left + (r.right - r.left - info.bmWidth) / 2;
  int y = r.top + (r.bottom - r.top - info.bmHeight) / 2;
  BitBlt(item->hDC, x, y, info.bmWidth, info.bmHeight, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  DeleteDC(memory);
  return TRUE;
}

// Reads level 2 and puts the page's three fields into its device mode; the
// caller writes it back. Null when nothing is to be written.
PRINTER_INFO_2W* ReadAndChange(HANDLE printer) {
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  if (needed == 0) return nullptr;
  PRINTER_INFO_2W* info =
      static_cast<PRINTER_INFO_2W*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
  if (!info) return nullptr;
  if (!GetPrinterW(printer, 2, reinterpret_cast<BYTE*>(info), needed, &needed)) {
    ReportError(L"GetPrinter(PRINTER_INFO_2) failed.", 0, nullptr);
    HeapFree(GetProcessHeap(), 0, info);
    return nullptr;
  }
  // A printer without a stored device mode has nothing to change, and neither
  // has one whose public part (dmSize) ends before the fields: writing them
  // would overwrite the driver's private part or run past the mode.
  if (!DevModeHolds(info->pDevMode, ORVL_DEVMODE_END(dmYResolution))) {
    HeapFree(GetProcessHeap(), 0, info);
    return nullptr;
  }
  DEVMODEW* mode = info->pDevMode;
  mode->dmFields |= DM_ORIENTATION | DM_PRINTQUALITY | DM_YRESOLUTION;
  mode->dmOrientation = static_cast<SHORT>(g_general.orientation);
  mode->dmPrintQuality = static_cast<SHORT>(g_general.printQuality);
  mode->dmYResolution = static_cast<SHORT>(g_general.yResolution);
  return info;
}

void SaveGeneral() {
  OSVERSIONINFOW version = QueryVersion();
  if (version.dwPlatformId != VER_PLATFORM_WIN32_NT) return;
  bool nt4 = version.dwMajorVersion < 5;
  HANDLE printer = nullptr;
  if (!OpenOrvalis(nt4 ? PRINTER_ALL_ACCESS : PRINTER_ACCESS_USE, &printer)) {
    ReportError(nt4 ? L"OpenPrinter(PRINTER_ALL_ACCESS) failed."
                    : L"OpenPrinter(PRINTER_ACCESS_USE) failed.",
                0, nullptr);
    return;
  }
  PRINTER_INFO_2W* info = ReadAndChange(printer);
  if (info) {
    if (nt4) {
      if (!SetPrinterW(printer, 2, reinterpret_cast<BYTE*>(info), 0))
        ReportError(L"SetPrinter(PRINTER_INFO_2) failed.", 0, nullptr);
    } else {
      PRINTER_INFO_9W user = {info->pDevMode};
      if (!SetPrinterW(printer, 9, reinterpret_cast<BYTE*>(&user), 0))
        ReportError(L"SetPrinter(PRINTER_INFO_9) failed.", 0, nullptr);
    }
    HeapFree(GetProcessHeap(), 0, info);
  }
  ClosePrinter(printer);
}

}  // namespace

INT_PTR CALLBACK GeneralPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInit(page);
    case WM_COMMAND: {
      WORD id = LOWORD(wParam);
      WORD code = HIWORD(wParam);
      if (id == IDC_PORTRAIT && code == BN_CLICKED) {
        SetOrientation(page, 1);
      } else if (id == IDC_LANDSCAPE && code == BN_CLICKED) {
        SetOrientation(page, 2);
      } else if (id == IDC_QUALITY && code == CBN_SELENDOK) {
        OnQualityChosen(page);
      } else if (id == IDC_DRIVER_DIALOG && code == BN_CLICKED) {
        OnDriverDialog(page);
      }
      return FALSE;
    }
    case WM_DRAWITEM: {
      const DRAWITEMSTRUCT* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (wParam != IDC_PREVIEW || !item) return FALSE;
      return OnDrawPreview(item);
    }
    case WM_NOTIFY: {
      const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->code == PSN_SETACTIVE) {
        StorePageIndex(page);
        return FALSE;
      }
      if (header->code == PSN_APPLY) {
        if (g_general.dirty) SaveGeneral();
        return FinishApply(page, &g_general.dirty);
      }
      return FALSE;
    }
    case WM_DESTROY:
      ReleaseResolutions();
      return FALSE;
    default:
      return FALSE;
  }
}
