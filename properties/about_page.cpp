// About page: the banner with the product name, version and maker, and the
// button that opens the maker's web site.
#include <windows.h>

#include <shellapi.h>
#include <strsafe.h>

#include "properties.h"
#include "resource_ids.h"
#include "version.h"

const wchar_t kWebAddressDisplay[] = L"www.orvalis.example";
const wchar_t kWebAddressFull[] = L"http://www.orvalis.example/";

namespace {

const wchar_t kCopyright[] = L"" ORVL_COPYRIGHT_TEXT;

}  // namespace

LRESULT CALLBACK BannerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (dc) {
      RECT r;
      GetWindowRect(window, &r);
      MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
      FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, RGB(255, 255, 255));
      HGDIOBJ oldFont = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
      wchar_t text[256] = {0};
      GetWindowTextW(window, text, 256);
      r.left += 8;
      DrawTextW(dc, text, -1, &r, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
      SelectObject(dc, oldFont);
    }
    EndPaint(window, &paint);
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

INT_PTR CALLBACK AboutPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      HWND banner = GetDlgItem(page, IDC_BANNER);
      SetWindowLongPtrW(banner, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(BannerWndProc));
      SetWindowTextW(banner, ORVL_PRODUCT_NAME);
      wchar_t text[kPathUnits];
      StringCchPrintfW(text, kPathUnits, L"Version %s\n\n", ORVL_VERSION_WTEXT);
      StringCchCatW(text, kPathUnits, kCopyright);
      SetDlgItemTextW(page, IDC_VERSION_TEXT, text);
      SetDlgItemTextW(page, IDC_WEB, kWebAddressDisplay);
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDC_WEB && HIWORD(wParam) == BN_CLICKED) {
        ShellExecuteW(nullptr, L"open", kWebAddressFull, nullptr, nullptr, SW_SHOWNORMAL);
        return TRUE;
      }
      return FALSE;
    case WM_NOTIFY: {
      const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->code == PSN_SETACTIVE) StorePageIndex(page);
      return FALSE;
    }
    default:
      return FALSE;
  }
}
