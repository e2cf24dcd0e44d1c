#include "properties_fixture.h"

#include <strsafe.h>

#include "report_error.h"

using namespace orvltest;

namespace proptest {

const wchar_t kUserKey[] = L"Software\\Orvalis";
const wchar_t kMachineKey[] = L"Software\\Orvalis";
const wchar_t kDefaultsKey[] = L"Software\\Orvalis\\Defaults";

namespace {

wchar_t g_name[] = L"Orvalis";

// The spooler's environment of a Windows 9x caller, which Wine takes for a
// program whose Windows version is set to 95 or 98.
wchar_t g_env9x[] = L"Windows 4.0";

std::wstring DriverDir(wchar_t* environment = nullptr) {
  wchar_t dir[MAX_PATH] = {0};
  DWORD needed = 0;
  GetPrinterDriverDirectoryW(nullptr, environment, 1, reinterpret_cast<BYTE*>(dir), sizeof(dir),
                             &needed);
  return dir;
}

HANDLE OpenTestPrinter(DWORD access) {
  PRINTER_DEFAULTSW d = {nullptr, nullptr, access};
  HANDLE h = nullptr;
  if (!OpenPrinterW(g_name, &h, &d)) return nullptr;
  return h;
}

}  // namespace

std::wstring ErrorReport(const std::wstring& context, DWORD error) {
  wchar_t system[512];
  SystemErrorText(error, 0, system, 512);
  wchar_t out[1024];
  StringCchPrintfW(out, 1024, L"%s\nError # %d: %s", context.c_str(), static_cast<int>(error),
                   system);
  return out;
}

bool PrinterExists() {
  HANDLE h = OpenTestPrinter(PRINTER_ACCESS_USE);
  if (h) ClosePrinter(h);
  return h != nullptr;
}

void RemovePrinter() {
  HANDLE h = OpenTestPrinter(PRINTER_ALL_ACCESS);
  if (h) {
    DeletePrinter(h);
    ClosePrinter(h);
  }
  DeletePrinterDriverW(nullptr, nullptr, g_name);
  DeletePrinterDriverW(nullptr, g_env9x, g_name);
  for (wchar_t* env : {static_cast<wchar_t*>(nullptr), g_env9x}) {
    std::wstring dir = DriverDir(env);
    for (const wchar_t* sub : {L"\\3\\UNIDRVUI.DLL", L"\\0\\UNIDRVUI.DLL", L"\\UNIDRVUI.DLL"})
      DeleteFileW((dir + sub).c_str());
  }
}

void InstallPrinter() {
  RemovePrinter();
  std::wstring dir = DriverDir();
  ASSERT_FALSE(dir.empty());
  std::wstring source = BinDir() + L"\\fixtures\\UNIDRVUI.DLL";
  ASSERT_TRUE(CopyFileW(source.c_str(), (dir + L"\\UNIDRVUI.DLL").c_str(), FALSE))
      << GetLastError();
  DRIVER_INFO_3W driver = {};
  driver.cVersion = 3;
  driver.pName = g_name;
  driver.pDriverPath = const_cast<wchar_t*>(L"UNIDRVUI.DLL");
  driver.pDataFile = const_cast<wchar_t*>(L"UNIDRVUI.DLL");
  driver.pConfigFile = const_cast<wchar_t*>(L"UNIDRVUI.DLL");
  ASSERT_TRUE(AddPrinterDriverW(nullptr, 3, reinterpret_cast<BYTE*>(&driver))) << GetLastError();
  // The same stand-in for callers that the spooler takes for Windows 9x.
  std::wstring dir9x = DriverDir(g_env9x);
  CreateDirectoryW(dir9x.c_str(), nullptr);
  CreateDirectoryW((dir9x + L"\\3").c_str(), nullptr);
  ASSERT_TRUE(CopyFileW(source.c_str(), (dir9x + L"\\UNIDRVUI.DLL").c_str(), FALSE))
      << GetLastError();
  // Wine looks for it in the "3" folder whatever the driver's version.
  ASSERT_TRUE(CopyFileW(source.c_str(), (dir9x + L"\\3\\UNIDRVUI.DLL").c_str(), FALSE))
      << GetLastError();
  driver.cVersion = 0;
  driver.pEnvironment = g_env9x;
  ASSERT_TRUE(AddPrinterDriverW(nullptr, 3, reinterpret_cast<BYTE*>(&driver))) << GetLastError();
  PRINTER_INFO_2W printer = {};
  printer.pPrinterName = g_name;
  printer.pPortName = const_cast<wchar_t*>(L"FILE:");
  printer.pDriverName = g_name;
  printer.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
  printer.pDatatype = const_cast<wchar_t*>(L"RAW");
  HANDLE h = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&printer));
  ASSERT_NE(h, nullptr) << GetLastError();
  ClosePrinter(h);
}

DEVMODEW StoredDevMode() {
  DEVMODEW mode = {};
  HANDLE h = OpenTestPrinter(PRINTER_ACCESS_USE);
  EXPECT_NE(h, nullptr);
  if (!h) return mode;
  DWORD needed = 0;
  GetPrinterW(h, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed + 16);
  if (needed && GetPrinterW(h, 2, buffer.data(), needed, &needed)) {
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    if (info->pDevMode) mode = *info->pDevMode;
  }
  ClosePrinter(h);
  return mode;
}

void StoreDevMode(SHORT orientation, SHORT quality, SHORT yResolution, SHORT paper,
                  const wchar_t* formName, DWORD moreFields) {
  HANDLE h = OpenTestPrinter(PRINTER_ALL_ACCESS);
  ASSERT_NE(h, nullptr);
  DEVMODEW mode = {};
  StringCchCopyW(mode.dmDeviceName, CCHDEVICENAME, L"Orvalis");
  mode.dmSpecVersion = DM_SPECVERSION;
  mode.dmSize = sizeof(mode);
  mode.dmFields = DM_ORIENTATION | DM_PRINTQUALITY | DM_YRESOLUTION | DM_PAPERSIZE;
  mode.dmOrientation = orientation;
  mode.dmPrintQuality = quality;
  mode.dmYResolution = yResolution;
  mode.dmPaperSize = paper;
  StringCchCopyW(mode.dmFormName, CCHFORMNAME, formName);
  if (*formName) mode.dmFields |= DM_FORMNAME;
  mode.dmFields |= moreFields;
  PRINTER_INFO_9W info = {&mode};
  EXPECT_TRUE(SetPrinterW(h, 9, reinterpret_cast<BYTE*>(&info), 0)) << GetLastError();
  ClosePrinter(h);
}

void SetResolutions(const std::vector<std::pair<LONG, LONG>>& pairs) {
  std::string bytes;
  for (const auto& p : pairs) {
    bytes.append(reinterpret_cast<const char*>(&p.first), sizeof(LONG));
    bytes.append(reinterpret_cast<const char*>(&p.second), sizeof(LONG));
  }
  SetBinary(HKEY_CURRENT_USER, ORVL_STAND_IN_KEY, L"Resolutions", bytes);
}

void SetPapers(const std::vector<StandInPaper>& papers) {
  std::string bytes(reinterpret_cast<const char*>(papers.data()),
                    papers.size() * sizeof(StandInPaper));
  SetBinary(HKEY_CURRENT_USER, ORVL_STAND_IN_KEY, L"Papers", bytes);
}

void SetDriverDevMode(SHORT orientation, SHORT quality, SHORT yResolution, SHORT paper) {
  StandInDevMode m = {orientation, quality, yResolution, paper};
  SetBinary(HKEY_CURRENT_USER, ORVL_STAND_IN_KEY, L"DevMode",
            std::string(reinterpret_cast<const char*>(&m), sizeof(m)));
}

void SetDriverDword(const wchar_t* name, DWORD value) {
  SetDword(HKEY_CURRENT_USER, ORVL_STAND_IN_KEY, name, value);
}

// ---- ShortDevMode -----------------------------------------------------------------

namespace {
WORD g_shortDmSize;
BOOL WINAPI GetPrinterWithShortDevMode(HANDLE, DWORD level, LPBYTE buffer, DWORD size,
                                       LPDWORD needed) {
  *needed = sizeof(PRINTER_INFO_2W) + sizeof(DEVMODEW);
  if (level != 2 || !buffer || size < *needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  ZeroMemory(buffer, *needed);
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
  if (g_shortDmSize) {
    info->pDevMode = reinterpret_cast<DEVMODEW*>(buffer + sizeof(PRINTER_INFO_2W));
    info->pDevMode->dmSpecVersion = DM_SPECVERSION;
    info->pDevMode->dmSize = g_shortDmSize;
  }
  return TRUE;
}
}  // namespace

ShortDevMode::ShortDevMode(WORD dmSize)
    : patch_("winspool.drv", "GetPrinterW",
             reinterpret_cast<const void*>(GetPrinterWithShortDevMode)) {
  g_shortDmSize = dmSize;
}

// ---- FakeForms ------------------------------------------------------------------

namespace {

FakeForms* g_forms = nullptr;

FORM_INFO_1W Record(const FakeForm& f, wchar_t* name) {
  FORM_INFO_1W r = {};
  r.Flags = f.flags;
  r.pName = name;
  r.Size.cx = f.width;
  r.Size.cy = f.length;
  r.ImageableArea = f.area;
  return r;
}

BOOL WINAPI FakeEnumFormsW(HANDLE, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                           LPDWORD returned) {
  if (level != 1) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  const auto& forms = g_forms->forms;
  DWORD bytes = static_cast<DWORD>(forms.size() * sizeof(FORM_INFO_1W));
  for (const auto& f : forms) bytes += static_cast<DWORD>((f.name.size() + 1) * sizeof(wchar_t));
  *needed = bytes;
  if (returned) *returned = 0;
  if (!buffer || size < bytes) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* records = reinterpret_cast<FORM_INFO_1W*>(buffer);
  auto* text = reinterpret_cast<wchar_t*>(buffer + forms.size() * sizeof(FORM_INFO_1W));
  for (size_t i = 0; i < forms.size(); ++i) {
    memcpy(text, forms[i].name.c_str(), (forms[i].name.size() + 1) * sizeof(wchar_t));
    records[i] = Record(forms[i], text);
    text += forms[i].name.size() + 1;
  }
  if (returned) *returned = static_cast<DWORD>(forms.size());
  return TRUE;
}

BOOL WINAPI FakeGetFormW(HANDLE, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                         LPDWORD needed) {
  for (const auto& f : g_forms->forms) {
    if (f.name != name) continue;
    DWORD bytes = static_cast<DWORD>(sizeof(FORM_INFO_1W) + (f.name.size() + 1) * sizeof(wchar_t));
    *needed = bytes;
    if (level != 1 || !buffer || size < bytes) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    auto* text = reinterpret_cast<wchar_t*>(buffer + sizeof(FORM_INFO_1W));
    memcpy(text, f.name.c_str(), (f.name.size() + 1) * sizeof(wchar_t));
    *reinterpret_cast<FORM_INFO_1W*>(buffer) = Record(f, text);
    return TRUE;
  }
  *needed = 0;
  SetLastError(ERROR_INVALID_FORM_NAME);
  return FALSE;
}

BOOL WINAPI FakeAddFormW(HANDLE, DWORD level, LPBYTE data) {
  if (g_forms->failAdd) {
    SetLastError(g_forms->failAdd);
    return FALSE;
  }
  const auto* f = reinterpret_cast<const FORM_INFO_1W*>(data);
  FakeForm form{f->pName, f->Flags, f->Size.cx, f->Size.cy, f->ImageableArea};
  if (level != 1) return FALSE;
  g_forms->added.push_back(form);
  if (g_forms->storeAdds) g_forms->forms.push_back(form);
  return TRUE;
}

BOOL WINAPI FakeDeleteFormW(HANDLE, LPWSTR name) {
  if (g_forms->failDelete) {
    SetLastError(g_forms->failDelete);
    return FALSE;
  }
  g_forms->deleted.push_back(name);
  auto& forms = g_forms->forms;
  for (size_t i = 0; i < forms.size(); ++i) {
    if (forms[i].name == name) {
      forms.erase(forms.begin() + i);
      break;
    }
  }
  if (g_forms->onDelete) g_forms->onDelete(name);
  return TRUE;
}

}  // namespace

FakeForms::FakeForms()
    : enum_("winspool.drv", "EnumFormsW", reinterpret_cast<const void*>(FakeEnumFormsW)),
      get_("winspool.drv", "GetFormW", reinterpret_cast<const void*>(FakeGetFormW)),
      add_("winspool.drv", "AddFormW", reinterpret_cast<const void*>(FakeAddFormW)),
      delete_("winspool.drv", "DeleteFormW", reinterpret_cast<const void*>(FakeDeleteFormW)) {
  g_forms = this;
  forms = {
      {L"Letter", FORM_BUILTIN, 215900, 279400, {0, 0, 215900, 279400}},
      {L"A4", FORM_BUILTIN, 210000, 297000, {0, 0, 210000, 297000}},
      {L"Fax Custom", FORM_USER, 200000, 250000, {0, 0, 200000, 250000}},
      {L"Tray Form", FORM_PRINTER, 100000, 100000, {0, 0, 100000, 100000}},
  };
}

FakeForms::~FakeForms() { g_forms = nullptr; }

// ---- FakeVersion -------------------------------------------------------------------

namespace {

OSVERSIONINFOW g_version;

BOOL WINAPI FakeGetVersionExW(LPOSVERSIONINFOW info) {
  DWORD size = info->dwOSVersionInfoSize;
  if (size < sizeof(OSVERSIONINFOW)) return FALSE;
  *info = g_version;
  info->dwOSVersionInfoSize = size;
  return TRUE;
}

}  // namespace

FakeVersion::FakeVersion(DWORD platform, DWORD major, DWORD minor)
    : patch_("kernel32.dll", "GetVersionExW", reinterpret_cast<const void*>(FakeGetVersionExW)) {
  ZeroMemory(&g_version, sizeof(g_version));
  g_version.dwOSVersionInfoSize = sizeof(g_version);
  g_version.dwPlatformId = platform;
  g_version.dwMajorVersion = major;
  g_version.dwMinorVersion = minor;
}

// ---- SetPrinterSpy ------------------------------------------------------------------

namespace {

SetPrinterSpy* g_spy = nullptr;
DWORD g_spyFail = 0;
BOOL(WINAPI* g_realSetPrinter)(HANDLE, DWORD, LPBYTE, DWORD) = nullptr;

BOOL WINAPI SpySetPrinterW(HANDLE h, DWORD level, LPBYTE data, DWORD command) {
  g_spy->levels.push_back(level);
  DEVMODEW mode = {};
  if (level == 2 && reinterpret_cast<PRINTER_INFO_2W*>(data)->pDevMode)
    mode = *reinterpret_cast<PRINTER_INFO_2W*>(data)->pDevMode;
  if (level == 9 && reinterpret_cast<PRINTER_INFO_9W*>(data)->pDevMode)
    mode = *reinterpret_cast<PRINTER_INFO_9W*>(data)->pDevMode;
  g_spy->modes.push_back(mode);
  if (g_spyFail) {
    SetLastError(g_spyFail);
    return FALSE;
  }
  return g_realSetPrinter(h, level, data, command);
}

}  // namespace

SetPrinterSpy::SetPrinterSpy(DWORD failWith)
    : patch_("winspool.drv", "SetPrinterW", reinterpret_cast<const void*>(SpySetPrinterW)) {
  g_spy = this;
  g_spyFail = failWith;
  g_realSetPrinter = patch_.original<BOOL(WINAPI*)(HANDLE, DWORD, LPBYTE, DWORD)>();
}

SetPrinterSpy::~SetPrinterSpy() { g_spy = nullptr; }

// ---- OpenPrinterFault ----------------------------------------------------------------

namespace {

OpenPrinterFault* g_open = nullptr;
std::vector<DWORD> g_openFail;
DWORD g_openError = 0;
BOOL(WINAPI* g_realOpen)(LPWSTR, LPHANDLE, LPPRINTER_DEFAULTSW) = nullptr;

BOOL WINAPI FaultyOpenPrinterW(LPWSTR name, LPHANDLE h, LPPRINTER_DEFAULTSW d) {
  DWORD access = d ? d->DesiredAccess : 0;
  g_open->asked.push_back(access);
  bool fail = g_openFail.empty();
  for (DWORD a : g_openFail) fail = fail || a == access;
  if (fail) {
    SetLastError(g_openError);
    return FALSE;
  }
  return g_realOpen(name, h, d);
}

}  // namespace

OpenPrinterFault::OpenPrinterFault(std::vector<DWORD> failAccess, DWORD error)
    : patch_("winspool.drv", "OpenPrinterW", reinterpret_cast<const void*>(FaultyOpenPrinterW)) {
  g_open = this;
  g_openFail = std::move(failAccess);
  g_openError = error;
  g_realOpen = patch_.original<BOOL(WINAPI*)(LPWSTR, LPHANDLE, LPPRINTER_DEFAULTSW)>();
}

OpenPrinterFault::~OpenPrinterFault() { g_open = nullptr; }

// ---- TestSheet ---------------------------------------------------------------------------

std::wstring WindowText(HWND window) {
  wchar_t text[1024] = {0};
  GetWindowTextW(window, text, 1024);
  return text;
}

TestSheet::~TestSheet() { Close(); }

bool TestSheet::Open(int noGeneral, int noPaper, DWORD platform) {
  if (!LoadSettings()) return false;
  ProbeAdminister();
  if (!PrepareSheet(noGeneral, noPaper, platform, &setup_)) return false;
  setup_.header.dwFlags |= PSH_MODELESS;
  sheet_ = reinterpret_cast<HWND>(PropertySheetW(&setup_.header));
  PumpMessages(20);
  return sheet_ != nullptr;
}

void TestSheet::Close() {
  if (sheet_ && IsWindow(sheet_)) DestroyWindow(sheet_);
  sheet_ = nullptr;
  ReleaseSheet(&setup_);
  PumpMessages(5);
}

HWND TestSheet::page() const {
  return reinterpret_cast<HWND>(SendMessageW(sheet_, PSM_GETCURRENTPAGEHWND, 0, 0));
}

int TestSheet::pageCount() const {
  HWND tab = reinterpret_cast<HWND>(SendMessageW(sheet_, PSM_GETTABCONTROL, 0, 0));
  return static_cast<int>(SendMessageW(tab, TCM_GETITEMCOUNT, 0, 0));
}

std::wstring TestSheet::PageTitle(int index) {
  HWND tab = reinterpret_cast<HWND>(SendMessageW(sheet_, PSM_GETTABCONTROL, 0, 0));
  wchar_t text[128] = {0};
  TCITEMW item = {};
  item.mask = TCIF_TEXT;
  item.pszText = text;
  item.cchTextMax = 128;
  SendMessageW(tab, TCM_GETITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
  return text;
}

void TestSheet::Select(int index) {
  SendMessageW(sheet_, PSM_SETCURSEL, static_cast<WPARAM>(index), 0);
  PumpMessages(10);
}

void TestSheet::Press(int button) {
  SendMessageW(sheet_, PSM_PRESSBUTTON, static_cast<WPARAM>(button), 0);
  PumpMessages(10);
}

bool TestSheet::ApplyEnabled() const {
  return IsWindowEnabled(GetDlgItem(sheet_, 0x3021)) != FALSE;
}

std::wstring TestSheet::Text(int id) const { return WindowText(item(id)); }
bool TestSheet::Checked(int id) const { return IsDlgButtonChecked(page(), id) == BST_CHECKED; }
bool TestSheet::Enabled(int id) const { return IsWindowEnabled(item(id)) != FALSE; }
bool TestSheet::Visible(int id) const { return IsWindowVisible(item(id)) != FALSE; }

void TestSheet::Click(int id) {
  SendMessageW(item(id), BM_CLICK, 0, 0);
  PumpMessages(10);
}

void TestSheet::Choose(int id, int index, bool selendok) {
  HWND combo = item(id);
  SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  HWND parent = GetParent(combo);
  if (selendok)
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, CBN_SELENDOK), reinterpret_cast<LPARAM>(combo));
  SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
  PumpMessages(5);
}

std::vector<std::wstring> TestSheet::ComboTexts(int id) const {
  std::vector<std::wstring> texts;
  HWND combo = item(id);
  LRESULT n = SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < n; ++i) {
    wchar_t text[256] = {0};
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
    texts.push_back(text);
  }
  return texts;
}

int TestSheet::ComboSelection(int id) const {
  return static_cast<int>(SendMessageW(item(id), CB_GETCURSEL, 0, 0));
}

// ---- ScriptDialog ---------------------------------------------------------------------------

namespace {

std::wstring g_scriptCaption;
std::function<void(HWND)> g_scriptAction;
bool g_scriptRan = false;
int g_scriptTries = 0;

BOOL CALLBACK FindScripted(HWND window, LPARAM out) {
  wchar_t cls[32] = {0};
  GetClassNameW(window, cls, 32);
  if (lstrcmpW(cls, L"#32770") == 0 && IsWindowVisible(window) &&
      WindowText(window) == g_scriptCaption) {
    *reinterpret_cast<HWND*>(out) = window;
    return FALSE;
  }
  return TRUE;
}

void CALLBACK ScriptTimer(HWND, UINT, UINT_PTR id, DWORD) {
  HWND dialog = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindScripted, reinterpret_cast<LPARAM>(&dialog));
  if (!dialog && ++g_scriptTries < 500) return;
  KillTimer(nullptr, id);
  if (!dialog) return;
  g_scriptRan = true;
  auto action = std::move(g_scriptAction);
  g_scriptAction = nullptr;
  action(dialog);
}

}  // namespace

void ScriptDialog(const std::wstring& caption, std::function<void(HWND)> action) {
  g_scriptCaption = caption;
  g_scriptAction = std::move(action);
  g_scriptRan = false;
  g_scriptTries = 0;
  SetTimer(nullptr, 0, 10, ScriptTimer);
}

bool ScriptedDialogRan() { return g_scriptRan; }

// ---- LiveProgram -----------------------------------------------------------------------------

namespace {

struct FindSheet {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK FindSheetProc(HWND window, LPARAM param) {
  auto* f = reinterpret_cast<FindSheet*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if ((f->pid == 0 || pid == f->pid) && WindowText(window) == L"Properties for Orvalis")
    f->found.push_back(window);
  return TRUE;
}

BOOL CALLBACK FindBoxProc(HWND window, LPARAM param) {
  auto* f = reinterpret_cast<FindSheet*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t cls[32] = {0};
  GetClassNameW(window, cls, 32);
  if (pid == f->pid && lstrcmpW(cls, L"#32770") == 0 && WindowText(window) == L"Orvalis properties")
    f->found.push_back(window);
  return TRUE;
}

}  // namespace

std::vector<HWND> SheetWindows() {
  FindSheet f{0, {}};
  EnumWindows(FindSheetProc, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

LiveProgram::~LiveProgram() {
  if (pi_.hProcess) {
    if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) {
      FindSheet f{pi_.dwProcessId, {}};
      EnumWindows(FindSheetProc, reinterpret_cast<LPARAM>(&f));
      for (HWND w : f.found) PostMessageW(w, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
      if (WaitForSingleObject(pi_.hProcess, 5000) == WAIT_TIMEOUT)
        TerminateProcess(pi_.hProcess, 99);
    }
    CloseHandle(pi_.hProcess);
    CloseHandle(pi_.hThread);
  }
}

bool LiveProgram::Start(const std::wstring& tail) {
  std::wstring exe = BinDir() + L"\\properties.exe";
  std::wstring command = L"\"" + exe + L"\"" + (tail.empty() ? L"" : L" " + tail);
  std::vector<wchar_t> buffer(command.begin(), command.end());
  buffer.push_back(L'\0');
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  if (CreateProcessW(exe.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                     &pi_))
    return true;
  ADD_FAILURE() << "CreateProcess failed with error " << GetLastError();
  return false;
}

HWND LiveProgram::WaitForSheet(DWORD milliseconds) {
  for (DWORD waited = 0; waited < milliseconds; waited += 20) {
    FindSheet b{pi_.dwProcessId, {}};
    EnumWindows(FindBoxProc, reinterpret_cast<LPARAM>(&b));
    for (HWND box : b.found) {
      boxes.push_back(ReadBox(box));
      PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    FindSheet f{pi_.dwProcessId, {}};
    EnumWindows(FindSheetProc, reinterpret_cast<LPARAM>(&f));
    if (!f.found.empty() && IsWindowVisible(f.found[0])) {
      PumpMessages(100);
      return f.found[0];
    }
    if (WaitForSingleObject(pi_.hProcess, 20) == WAIT_OBJECT_0) {
      // Says which way it ended: 0 without boxes is the other-instance path,
      // a box or an exception code is the program's own failure.
      DWORD code = 0;
      GetExitCodeProcess(pi_.hProcess, &code);
      ADD_FAILURE() << "properties.exe ended before its sheet showed: exit code 0x" << std::hex
                    << code << std::dec << ", " << boxes.size() << " box(es)"
                    << (boxes.empty() ? "" : ", first: " + Narrow(boxes[0].text));
      return nullptr;
    }
  }
  ADD_FAILURE() << "no sheet of properties.exe after " << milliseconds << " ms";
  return nullptr;
}

DWORD LiveProgram::Wait(DWORD milliseconds) {
  for (DWORD waited = 0; waited < milliseconds; waited += 20) {
    FindSheet f{pi_.dwProcessId, {}};
    EnumWindows(FindBoxProc, reinterpret_cast<LPARAM>(&f));
    for (HWND box : f.found) {
      boxes.push_back(ReadBox(box));
      PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    if (WaitForSingleObject(pi_.hProcess, 20) == WAIT_OBJECT_0) {
      DWORD code = 0xFFFFFFFF;
      GetExitCodeProcess(pi_.hProcess, &code);
      return code;
    }
    if (!f.found.empty()) PumpMessages(50);
  }
  return 0xFFFFFFFF;
}

// ---- PropertiesTest ---------------------------------------------------------------------------

namespace {

wchar_t g_measure = L'0';
bool g_localeUnreadable = false;
int(WINAPI* g_realGetLocaleInfo)(LCID, LCTYPE, LPWSTR, int) = nullptr;

// Wine reads the user's measurement system once per process, so the tests
// answer it here.
int WINAPI FakeGetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR out, int units) {
  if ((type & ~LOCALE_NOUSEROVERRIDE) != LOCALE_IMEASURE)
    return g_realGetLocaleInfo(locale, type, out, units);
  if (g_localeUnreadable) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (units < 2) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  out[0] = g_measure;
  out[1] = L'\0';
  return 2;
}

}  // namespace

void PropertiesTest::SetUp() {
  DeleteTree(HKEY_CURRENT_USER, kUserKey);
  DeleteTree(HKEY_LOCAL_MACHINE, kMachineKey);
  DeleteTree(HKEY_CURRENT_USER, ORVL_STAND_IN_KEY);
  g_measure = L'0';
  g_localeUnreadable = false;
  locale_.reset(new IatPatch("kernel32.dll", "GetLocaleInfoW",
                             reinterpret_cast<const void*>(FakeGetLocaleInfoW)));
  g_realGetLocaleInfo = locale_->original<int(WINAPI*)(LCID, LCTYPE, LPWSTR, int)>();
  InstallPrinter();
  ResetPropertiesState(GetModuleHandleW(nullptr));
  ComposeCaption();
  LoadPreviews();
}

void PropertiesTest::TearDown() {
  if (g_props.portraitPreview) DeleteObject(g_props.portraitPreview);
  if (g_props.landscapePreview) DeleteObject(g_props.landscapePreview);
  RemovePrinter();
  EXPECT_FALSE(PrinterExists());
  DeleteTree(HKEY_CURRENT_USER, kUserKey);
  DeleteTree(HKEY_LOCAL_MACHINE, kMachineKey);
  DeleteTree(HKEY_CURRENT_USER, ORVL_STAND_IN_KEY);
  locale_.reset();
}

void PropertiesTest::SetMeasure(const wchar_t* value) { g_measure = value[0]; }

void PropertiesTest::SetLocaleUnreadable(bool unreadable) { g_localeUnreadable = unreadable; }

}  // namespace proptest

namespace proptest {

bool HaveDisplay() {
  wchar_t value[64];
  return GetEnvironmentVariableW(L"DISPLAY", value, 64) > 0;
}

Pixels Grab(HWND window) {
  Pixels p;
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  PumpMessages(50);
  RECT r;
  GetClientRect(window, &r);
  p.width = r.right;
  p.height = r.bottom;
  if (p.width <= 0 || p.height <= 0) return Pixels();
  HDC dc = GetDC(window);
  HDC memory = CreateCompatibleDC(dc);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = p.width;
  info.bmiHeader.biHeight = -p.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, dib);
  BitBlt(memory, 0, 0, p.width, p.height, dc, 0, 0, SRCCOPY);
  GdiFlush();
  const DWORD* px = static_cast<const DWORD*>(bits);
  p.data.resize(static_cast<size_t>(p.width) * p.height);
  for (size_t i = 0; i < p.data.size(); ++i) {
    DWORD v = px[i];
    p.data[i] = RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
  }
  SelectObject(memory, old);
  DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(window, dc);
  return p;
}

}  // namespace proptest
