// Paper Size page: the driver's papers with their sizes, the printer's paper
// saved into its default device mode, custom forms added and deleted.
#include <strsafe.h>

#include "paper_units.h"
#include "properties.h"
#include "resource_ids.h"

namespace {

struct PaperPageState {
  PaperEntry* papers;
  int paperCount;
  BYTE* formBuffer;  // FORM_INFO_1W records as EnumFormsW left them
  DWORD formCount;
  MeasureUnit displayUnit;
  bool dirty;
};

PaperPageState g_paper = {nullptr, 0, nullptr, 0, Metric, false};
wchar_t g_printer[] = ORVL_PRODUCT_NAME;

bool OpenOrvalis(DWORD access, HANDLE* printer) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
  *printer = nullptr;
  return OpenPrinterW(g_printer, printer, &defaults) != FALSE;
}

const FORM_INFO_1W* Forms() { return reinterpret_cast<const FORM_INFO_1W*>(g_paper.formBuffer); }

bool SameUnits(const wchar_t* a, const wchar_t* b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

void ReleaseLists() {
  if (g_paper.papers) HeapFree(GetProcessHeap(), 0, g_paper.papers);
  if (g_paper.formBuffer) HeapFree(GetProcessHeap(), 0, g_paper.formBuffer);
  g_paper.papers = nullptr;
  g_paper.paperCount = 0;
  g_paper.formBuffer = nullptr;
  g_paper.formCount = 0;
}

void* Zeroed(SIZE_T bytes) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); }

void EnableDelete(HWND page, bool enable) {
  EnableWindow(GetDlgItem(page, IDC_DELETE), enable && g_props.canAdminister ? TRUE : FALSE);
}

void UpdateDeleteButton(HWND page, const wchar_t* paperName) {
  bool user = false;
  for (DWORD i = 0; i < g_paper.formCount; ++i) {
    const FORM_INFO_1W& form = Forms()[i];
    if (form.pName && SameUnits(form.pName, paperName)) {
      user = form.Flags == FORM_USER;
      break;
    }
  }
  EnableDelete(page, user);
}

void ShowPaperSize(HWND page, int index) {
  bool inches = g_paper.displayUnit == English;
  SetDlgItemTextW(page, IDC_WIDTH_UNIT, inches ? L"in" : L"mm");
  SetDlgItemTextW(page, IDC_LENGTH_UNIT, inches ? L"in" : L"mm");
  if (index < 0 || index >= g_paper.paperCount) return;
  double divisor = inches ? 254.0 : 10.0;
  wchar_t text[32];
  FormatSize(g_paper.papers[index].width / divisor, text, 32);
  SetDlgItemTextW(page, IDC_WIDTH, text);
  FormatSize(g_paper.papers[index].length / divisor, text, 32);
  SetDlgItemTextW(page, IDC_LENGTH, text);
}

int SelectedPaper(HWND page) {
  LRESULT index = SendDlgItemMessageW(page, IDC_PAPER_LIST, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR || index < 0 || index >= g_paper.paperCount) return -1;
  return static_cast<int>(index);
}

void ReadPapers() {
  // Each answer fills as many entries as the driver counts for that
  // capability (DeviceCapabilities: ask with no output for the size), which
  // need not be the count of papers: each buffer is sized by its own count,
  // and only the papers that all three answers cover are listed.
  int numberCount = DriverListCount(g_printer, DC_PAPERS);
  int nameCount = DriverListCount(g_printer, DC_PAPERNAMES);
  int sizeCount = DriverListCount(g_printer, DC_PAPERSIZE);
  int count = numberCount < nameCount ? numberCount : nameCount;
  if (sizeCount < count) count = sizeCount;
  if (count <= 0) return;
  WORD* numbers = static_cast<WORD*>(Zeroed(static_cast<SIZE_T>(numberCount) * sizeof(WORD)));
  wchar_t* names =
      static_cast<wchar_t*>(Zeroed(static_cast<SIZE_T>(nameCount) * 64 * sizeof(wchar_t)));
  POINT* sizes = static_cast<POINT*>(Zeroed(static_cast<SIZE_T>(sizeCount) * sizeof(POINT)));
  g_paper.papers =
      static_cast<PaperEntry*>(Zeroed(static_cast<SIZE_T>(count) * sizeof(PaperEntry)));
  if (numbers && names && sizes && g_paper.papers) {
    DeviceCapabilitiesW(g_printer, nullptr, DC_PAPERS, reinterpret_cast<LPWSTR>(numbers), nullptr);
    DeviceCapabilitiesW(g_printer, nullptr, DC_PAPERNAMES, names, nullptr);
    DeviceCapabilitiesW(g_printer, nullptr, DC_PAPERSIZE, reinterpret_cast<LPWSTR>(sizes), nullptr);
    for (int i = 0; i < count; ++i) {
      PaperEntry& entry = g_paper.papers[i];
      entry.id = numbers[i];
      // A name of all 64 units has no terminator of its own.
      StringCchCopyNW(entry.name, 64, names + i * 64, 63);
      entry.width = sizes[i].x;
      entry.length = sizes[i].y;
    }
    g_paper.paperCount = count;
  } else if (g_paper.papers) {
    HeapFree(GetProcessHeap(), 0, g_paper.papers);
    g_paper.papers = nullptr;
  }
  if (numbers) HeapFree(GetProcessHeap(), 0, numbers);
  if (names) HeapFree(GetProcessHeap(), 0, names);
  if (sizes) HeapFree(GetProcessHeap(), 0, sizes);
}

void ReadForms(HANDLE printer) {
  DWORD needed = 0;
  DWORD count = 0;
  EnumFormsW(printer, 1, nullptr, 0, &needed, &count);
  if (needed == 0) return;
  g_paper.formBuffer = static_cast<BYTE*>(Zeroed(needed));
  if (!g_paper.formBuffer) return;
  count = 0;
  if (!EnumFormsW(printer, 1, g_paper.formBuffer, needed, &needed, &count)) count = 0;
  g_paper.formCount = count;
}

void FillPaperList(HWND page) {
  ReleaseLists();
  HWND list = GetDlgItem(page, IDC_PAPER_LIST);
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  SetDlgItemTextW(page, IDC_WIDTH, L"");
  SetDlgItemTextW(page, IDC_LENGTH, L"");
  HANDLE printer = nullptr;
  if (!OpenOrvalis(PRINTER_ACCESS_USE, &printer)) {
    EnumChildWindows(page, DisableChildProc, 0);
    return;
  }
  DWORD current = 0;
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  if (needed) {
    PRINTER_INFO_2W* info = static_cast<PRINTER_INFO_2W*>(Zeroed(needed));
    if (info && GetPrinterW(printer, 2, reinterpret_cast<BYTE*>(info), needed, &needed) &&
        DevModeHolds(info->pDevMode, ORVL_DEVMODE_END(dmPaperSize)))
      current = static_cast<WORD>(info->pDevMode->dmPaperSize);
    if (info) HeapFree(GetProcessHeap(), 0, info);
  }
  ReadPapers();
  ReadForms(printer);
  for (int i = 0; i < g_paper.paperCount; ++i) {
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(g_paper.papers[i].name));
    if (current != 0 && g_paper.papers[i].id == current) {
      SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
      ShowPaperSize(page, i);
      UpdateDeleteButton(page, g_paper.papers[i].name);
    }
  }
  ClosePrinter(printer);
}

bool ApplyPaperForm(HWND page, WORD number, const wchar_t* name) {
  OSVERSIONINFOW version = QueryVersion();
  bool nt4 = version.dwMajorVersion < 5;
  HANDLE printer = nullptr;
  if (!OpenOrvalis(nt4 ? PRINTER_ALL_ACCESS : PRINTER_ACCESS_USE, &printer)) {
    ReportError(nt4 ? L"OpenPrinter(PRINTER_ALL_ACCESS) failed."
                    : L"OpenPrinter(PRINTER_ACCESS_USE) failed.",
                0, nullptr);
    return false;
  }
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  if (needed == 0) {
    ClosePrinter(printer);
    return false;
  }
  PRINTER_INFO_2W* info = static_cast<PRINTER_INFO_2W*>(Zeroed(needed));
  if (!info || !GetPrinterW(printer, 2, reinterpret_cast<BYTE*>(info), needed, &needed)) {
    ReportError(L"GetPrinter(PRINTER_INFO_2) failed.", 0, nullptr);
    if (info) HeapFree(GetProcessHeap(), 0, info);
    ClosePrinter(printer);
    return false;
  }
  // Without a stored device mode there is no field to set, nor in one whose
  // public part (dmSize) ends before the form name: writing there would
  // overwrite the driver's private part or run past the mode.
  if (!DevModeHolds(info->pDevMode, ORVL_DEVMODE_END(dmFormName))) {
    HeapFree(GetProcessHeap(), 0, info);
    ClosePrinter(printer);
    return false;
  }
  DEVMODEW* mode = info->pDevMode;
  mode->dmFields |= DM_PAPERSIZE | DM_FORMNAME;
  // A paper length or width in the mode overrides dmPaperSize (DEVMODE), so
  // the paper chosen here would not take effect.
  mode->dmFields &= ~static_cast<DWORD>(DM_PAPERLENGTH | DM_PAPERWIDTH);
  mode->dmPaperSize = static_cast<SHORT>(number);
  // dmFormName holds 31 characters; a longer paper name is cut there.
  StringCchCopyW(mode->dmFormName, CCHFORMNAME, name);
  bool ok;
  if (nt4) {
    ok = SetPrinterW(printer, 2, reinterpret_cast<BYTE*>(info), 0) != FALSE;
    if (!ok) ReportError(L"SetPrinter(PRINTER_INFO_2) failed.", 0, nullptr);
  } else {
    PRINTER_INFO_9W user = {mode};
    ok = SetPrinterW(printer, 9, reinterpret_cast<BYTE*>(&user), 0) != FALSE;
    if (!ok) ReportError(L"SetPrinter(PRINTER_INFO_9) failed.", 0, nullptr);
  }
  if (ok) {
    bool userForm = false;
    DWORD formNeeded = 0;
    wchar_t formName[64];
    StringCchCopyW(formName, 64, name);
    GetFormW(printer, formName, 1, nullptr, 0, &formNeeded);
    if (formNeeded) {
      FORM_INFO_1W* form = static_cast<FORM_INFO_1W*>(Zeroed(formNeeded));
      if (form &&
          GetFormW(printer, formName, 1, reinterpret_cast<BYTE*>(form), formNeeded, &formNeeded))
        userForm = form->Flags == FORM_USER;
      if (form) HeapFree(GetProcessHeap(), 0, form);
    }
    EnableDelete(page, userForm);
  }
  HeapFree(GetProcessHeap(), 0, info);
  ClosePrinter(printer);
  return ok;
}

void SelectPaper(HWND page, int index) {
  SendDlgItemMessageW(page, IDC_PAPER_LIST, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  ShowPaperSize(page, index);
  UpdateDeleteButton(page, g_paper.papers[index].name);
}

void OnAdd(HWND page) {
  ZeroMemory(&g_newForm, sizeof(g_newForm));
  if (DialogBoxParamW(g_props.instance, MAKEINTRESOURCEW(IDD_NEWFORM), page, NewFormDialogProc,
                      0) != IDOK)
    return;
  HANDLE printer = nullptr;
  if (!OpenOrvalis(PRINTER_ACCESS_ADMINISTER, &printer)) return;
  FORM_INFO_1W form;
  ZeroMemory(&form, sizeof(form));
  form.Flags = FORM_USER;
  form.pName = g_newForm.name;
  form.Size.cx = static_cast<LONG>(g_newForm.width);
  form.Size.cy = static_cast<LONG>(g_newForm.length);
  form.ImageableArea.left = 0;
  form.ImageableArea.top = 0;
  form.ImageableArea.right = form.Size.cx;
  form.ImageableArea.bottom = form.Size.cy;
  if (!AddFormW(printer, 1, reinterpret_cast<BYTE*>(&form))) {
    ReportError(L"Failed to add new form.", 0, nullptr);
    ClosePrinter(printer);
    return;
  }
  FillPaperList(page);
  for (int i = 0; i < g_paper.paperCount; ++i) {
    if (SameUnits(g_paper.papers[i].name, g_newForm.name)) {
      SelectPaper(page, i);
      MarkPageChanged(page, &g_paper.dirty);
      break;
    }
  }
  ClosePrinter(printer);
}

void OnDelete(HWND page) {
  int index = SelectedPaper(page);
  if (index < 0) return;
  HANDLE printer = nullptr;
  if (!OpenOrvalis(PRINTER_ACCESS_ADMINISTER, &printer)) return;
  wchar_t name[64];
  StringCchCopyW(name, 64, g_paper.papers[index].name);
  if (!DeleteFormW(printer, name)) {
    ReportError(L"Failed to delete form.", 0, nullptr);
    ClosePrinter(printer);
    return;
  }
  FillPaperList(page);
  if (SelectedPaper(page) < 0 && g_paper.paperCount > 0) {
    ApplyPaperForm(page, g_paper.papers[0].id, g_paper.papers[0].name);
    SelectPaper(page, 0);
  }
  MarkPageChanged(page, &g_paper.dirty);
  ClosePrinter(printer);
}

void SetDisplayUnit(HWND page, MeasureUnit unit) {
  g_paper.displayUnit = unit;
  CheckDlgButton(page, IDC_METRIC, unit == Metric ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(page, IDC_ENGLISH, unit == English ? BST_CHECKED : BST_UNCHECKED);
  ShowPaperSize(page, SelectedPaper(page));
}

}  // namespace

INT_PTR CALLBACK PaperPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      g_paper.dirty = false;
      g_paper.displayUnit = ReadLocaleUnit(g_paper.displayUnit);
      CheckDlgButton(page, IDC_METRIC, g_paper.displayUnit == Metric ? BST_CHECKED : BST_UNCHECKED);
      CheckDlgButton(page, IDC_ENGLISH,
                     g_paper.displayUnit == English ? BST_CHECKED : BST_UNCHECKED);
      if (!g_props.canAdminister) {
        EnableWindow(GetDlgItem(page, IDC_ADD), FALSE);
        EnableWindow(GetDlgItem(page, IDC_DELETE), FALSE);
      }
      FillPaperList(page);
      return TRUE;
    case WM_COMMAND: {
      WORD id = LOWORD(wParam);
      WORD code = HIWORD(wParam);
      if (id == IDC_PAPER_LIST && code == CBN_SELCHANGE) {
        int index = SelectedPaper(page);
        if (index < 0) return FALSE;
        ShowPaperSize(page, index);
        UpdateDeleteButton(page, g_paper.papers[index].name);
        MarkPageChanged(page, &g_paper.dirty);
        return TRUE;
      }
      if (code != BN_CLICKED) return FALSE;
      if (id == IDC_METRIC) {
        SetDisplayUnit(page, Metric);
      } else if (id == IDC_ENGLISH) {
        SetDisplayUnit(page, English);
      } else if (id == IDC_ADD) {
        OnAdd(page);
      } else if (id == IDC_DELETE) {
        OnDelete(page);
      } else {
        return FALSE;
      }
      return TRUE;
    }
    case WM_NOTIFY: {
      const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->code == PSN_SETACTIVE) {
        StorePageIndex(page);
        return FALSE;
      }
      if (header->code == PSN_APPLY) {
        if (g_paper.dirty) {
          int index = SelectedPaper(page);
          if (index >= 0)
            ApplyPaperForm(page, g_paper.papers[index].id, g_paper.papers[index].name);
        }
        return FinishApply(page, &g_paper.dirty);
      }
      return FALSE;
    }
    case WM_DESTROY:
      ReleaseLists();
      return FALSE;
    default:
      return FALSE;
  }
}
