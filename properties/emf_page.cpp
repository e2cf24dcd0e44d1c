// EMF page: whether the job's EMF page files are kept, the user's own choice.
#include <strsafe.h>

#include "properties.h"
#include "resource_ids.h"

namespace {

bool g_emfDirty = false;

void SaveEmfOption() {
  wchar_t path[kPathUnits];
  StringCchPrintfW(path, kPathUnits, L"Software\\%s", ORVL_PRODUCT_NAME);
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                            nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) {
    wchar_t context[kPathUnits];
    StringCchPrintfW(context, kPathUnits, L"Failed to create/open registry key\nHKCU\\Software\\%s",
                     ORVL_PRODUCT_NAME);
    ReportError(context, static_cast<DWORD>(rc), nullptr);
    return;
  }
  DWORD value = g_props.emfEnabled;
  RegSetValueExW(key, L"EMF: Enabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                 sizeof(value));
  RegCloseKey(key);
}

}  // namespace

INT_PTR CALLBACK EmfPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      g_emfDirty = false;
      // Every non-zero value keeps the files, so every one shows as checked.
      CheckDlgButton(page, IDC_SAVE_EMF, g_props.emfEnabled ? BST_CHECKED : BST_UNCHECKED);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDC_SAVE_EMF && HIWORD(wParam) == BN_CLICKED) {
        g_props.emfEnabled = IsDlgButtonChecked(page, IDC_SAVE_EMF) == BST_CHECKED ? 1 : 0;
        MarkPageChanged(page, &g_emfDirty);
        return TRUE;
      }
      return FALSE;
    case WM_NOTIFY: {
      const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->code == PSN_SETACTIVE) {
        StorePageIndex(page);
        return FALSE;
      }
      if (header->code == PSN_APPLY) {
        if (g_emfDirty) SaveEmfOption();
        return FinishApply(page, &g_emfDirty);
      }
      return FALSE;
    }
    default:
      return FALSE;
  }
}
