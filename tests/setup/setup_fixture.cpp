#include "setup_fixture.h"

#include <algorithm>

using namespace orvltest;

namespace {

const wchar_t* const kFixtureFiles[] = {L"ntprint.inf", L"UNIDRV.DLL", L"UNIDRVUI.DLL",
                                        L"UNIDRV.HLP",  L"UNIRES.DLL", L"STDNAMES.GPD"};
const wchar_t* const kPackageFiles[] = {L"orvlpm.dll", L"orvl.gpd", L"orvlui.dll", L"orvlui2.exe",
                                        L"orvl.ini"};

OSVERSIONINFOW g_reported = {};

std::wstring Lower(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(towlower(c));
  return s;
}

template <typename F>
std::vector<BYTE> Fetch(F call, DWORD* count) {
  DWORD needed = 0;
  *count = 0;
  call(nullptr, 0, &needed, count);
  std::vector<BYTE> buffer(needed ? needed : 1);
  if (!call(buffer.data(), needed, &needed, count)) *count = 0;
  return buffer;
}

bool Same(const wchar_t* a, const wchar_t* b) { return a && lstrcmpiW(a, b) == 0; }
std::wstring Text(const wchar_t* s) { return s ? s : L""; }
std::wstring BaseName(const std::wstring& path) {
  size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::wstring SystemText(DWORD error) {
  wchar_t text[512] = L"";
  if (!FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                      0x0400, text, 512, nullptr))
    text[0] = L'\0';
  return text;
}

std::wstring ErrorReport(const std::wstring& context, DWORD error) {
  return context + L"\nError # " + std::to_wstring(static_cast<int>(error)) + L": " +
         SystemText(error);
}

std::wstring SystemDir() {
  wchar_t dir[MAX_PATH];
  GetSystemDirectoryW(dir, MAX_PATH);
  return dir;
}

std::wstring DriverDir() {
  wchar_t dir[MAX_PATH] = L"";
  DWORD needed = 0;
  GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(dir), sizeof(dir),
                             &needed);
  return dir;
}

std::wstring InfDir() {
  wchar_t dir[MAX_PATH];
  GetWindowsDirectoryW(dir, MAX_PATH);
  return std::wstring(dir) + L"\\inf";
}

std::wstring PackageBuildDir() { return BinDir() + L"\\package"; }
std::wstring FixtureBuildDir() { return BinDir() + L"\\setup-fixtures"; }

bool MonitorRegistered(const wchar_t* name) {
  DWORD n;
  auto b = Fetch(
      [](BYTE* d, DWORD s, DWORD* nd, DWORD* r) { return EnumMonitorsW(nullptr, 1, d, s, nd, r); },
      &n);
  for (DWORD i = 0; i < n; ++i)
    if (Same(reinterpret_cast<MONITOR_INFO_1W*>(b.data())[i].pName, name)) return true;
  return false;
}

bool PortListed(const wchar_t* name) {
  DWORD n;
  auto b = Fetch(
      [](BYTE* d, DWORD s, DWORD* nd, DWORD* r) { return EnumPortsW(nullptr, 1, d, s, nd, r); },
      &n);
  for (DWORD i = 0; i < n; ++i)
    if (Same(reinterpret_cast<PORT_INFO_1W*>(b.data())[i].pName, name)) return true;
  return false;
}

bool DriverRegistered(const wchar_t* name) {
  DWORD n;
  auto b = Fetch([](BYTE* d, DWORD s, DWORD* nd,
                    DWORD* r) { return EnumPrinterDriversW(nullptr, nullptr, 1, d, s, nd, r); },
                 &n);
  for (DWORD i = 0; i < n; ++i)
    if (Same(reinterpret_cast<DRIVER_INFO_1W*>(b.data())[i].pName, name)) return true;
  return false;
}

bool PrinterPresent(const wchar_t* name) {
  HANDLE h = nullptr;
  if (!OpenPrinterW(const_cast<wchar_t*>(name), &h, nullptr)) return false;
  ClosePrinter(h);
  return true;
}

bool ReadDriver(DriverRecord* r) {
  DWORD n;
  auto b = Fetch([](BYTE* d, DWORD s, DWORD* nd,
                    DWORD* c) { return EnumPrinterDriversW(nullptr, nullptr, 3, d, s, nd, c); },
                 &n);
  for (DWORD i = 0; i < n; ++i) {
    auto& d = reinterpret_cast<DRIVER_INFO_3W*>(b.data())[i];
    if (!Same(d.pName, L"Orvalis")) continue;
    r->version = d.cVersion;
    r->driverPath = BaseName(Text(d.pDriverPath));
    r->dataFile = BaseName(Text(d.pDataFile));
    r->configFile = BaseName(Text(d.pConfigFile));
    r->helpFile = BaseName(Text(d.pHelpFile));
    r->monitorName = Text(d.pMonitorName);
    r->defaultDataType = Text(d.pDefaultDataType);
    for (const wchar_t* p = d.pDependentFiles; p && *p; p += lstrlenW(p) + 1)
      r->dependentFiles.push_back(Lower(BaseName(p)));
    std::sort(r->dependentFiles.begin(), r->dependentFiles.end());
    return true;
  }
  return false;
}

bool ReadPrinter(PrinterRecord* r) {
  HANDLE h = nullptr;
  if (!OpenPrinterW(const_cast<wchar_t*>(L"Orvalis"), &h, nullptr)) return false;
  DWORD needed = 0;
  GetPrinterW(h, 2, nullptr, 0, &needed);
  std::vector<BYTE> b(needed ? needed : 1);
  bool ok = GetPrinterW(h, 2, b.data(), needed, &needed) != 0;
  ClosePrinter(h);
  if (!ok) return false;
  auto& p = *reinterpret_cast<PRINTER_INFO_2W*>(b.data());
  r->port = Text(p.pPortName);
  r->driver = Text(p.pDriverName);
  r->processor = Text(p.pPrintProcessor);
  r->datatype = Text(p.pDatatype);
  r->attributes = p.Attributes;
  return true;
}

std::vector<std::wstring> PlainFiles(const std::wstring& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW f;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &f);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(Lower(f.cFileName));
  } while (FindNextFileW(h, &f));
  FindClose(h);
  std::sort(names.begin(), names.end());
  return names;
}

void RemoveOrvalisFromSpooler() {
  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE h = nullptr;
  if (OpenPrinterW(const_cast<wchar_t*>(L"Orvalis"), &h, &all)) {
    DeletePrinter(h);
    ClosePrinter(h);
  }
  if (PortListed(L"orvl")) DeletePortW(nullptr, nullptr, const_cast<wchar_t*>(L"orvl"));
  if (MonitorRegistered(L"MONorvl"))
    DeleteMonitorW(nullptr, nullptr, const_cast<wchar_t*>(L"MONorvl"));
  if (DriverRegistered(L"Orvalis"))
    DeletePrinterDriverW(nullptr, nullptr, const_cast<wchar_t*>(L"Orvalis"));
  for (const wchar_t* f : {L"orvl.gpd", L"orvlui.dll", L"orvlui2.exe", L"orvl.ini"})
    DeleteFileW((DriverDir() + L"\\3\\" + f).c_str());
}

void SetReportedVersion(DWORD platform, DWORD major, DWORD minor) {
  g_reported = {};
  g_reported.dwPlatformId = platform;
  g_reported.dwMajorVersion = major;
  g_reported.dwMinorVersion = minor;
}

BOOL WINAPI FakeGetVersionExW(LPOSVERSIONINFOW info) {
  if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD size = info->dwOSVersionInfoSize;
  *info = g_reported;
  info->dwOSVersionInfoSize = size;
  return TRUE;
}

void SetupTest::SetUp() {
  RemoveOrvalisFromSpooler();
  monitorDllBefore_ = FileExists(SystemDir() + L"\\orvlpm.dll");
  versionDirBefore_ = PlainFiles(DriverDir() + L"\\3");
  stagingBefore = PlainFiles(DriverDir());
  InstallInfFixture();
  for (const wchar_t* f : kPackageFiles)
    ASSERT_TRUE(CopyFileW((PackageBuildDir() + L"\\" + f).c_str(), package.file(f).c_str(), FALSE))
        << Narrow(f);
  GetCurrentDirectoryW(MAX_PATH, savedDir_);
  SetCurrentDirectoryW(package.path().c_str());
  ResetState();
}

void SetupTest::TearDown() {
  SetCurrentDirectoryW(savedDir_);
  RemoveOrvalisFromSpooler();
  RemoveAddedFiles();
  EXPECT_FALSE(PrinterPresent(L"Orvalis"));
  EXPECT_FALSE(MonitorRegistered(L"MONorvl"));
  EXPECT_FALSE(DriverRegistered(L"Orvalis"));
}

void SetupTest::ResetState(int silent, int quiet) {
  g_setup = SetupState{};
  g_setup.silentMode = silent;
  g_setup.quietMode = quiet;
  g_setup.windowsLevel = 9;
  lstrcpyW(g_setup.caption, L"Orvalis setup");
}

void SetupTest::InstallInfFixture() {
  for (const wchar_t* f : kFixtureFiles) {
    std::wstring target = InfDir() + L"\\" + f;
    if (FileExists(target)) continue;
    ASSERT_TRUE(CopyFileW((FixtureBuildDir() + L"\\" + f).c_str(), target.c_str(), TRUE))
        << Narrow(f);
    infAdded_.push_back(target);
  }
}

void SetupTest::RemoveInfFixture() {
  std::wstring inf = InfDir() + L"\\ntprint.inf";
  auto ours = std::find(infAdded_.begin(), infAdded_.end(), inf);
  if (ours != infAdded_.end()) {
    DeleteFileW(inf.c_str());
    infAdded_.erase(ours);
  } else if (MoveFileW(inf.c_str(), package.file(L"ntprint.inf.saved").c_str())) {
    infMovedAside_ = true;
  }
}

void SetupTest::RemoveAddedFiles() {
  for (const auto& f : infAdded_) DeleteFileW(f.c_str());
  infAdded_.clear();
  if (infMovedAside_)
    MoveFileW(package.file(L"ntprint.inf.saved").c_str(), (InfDir() + L"\\ntprint.inf").c_str());
  infMovedAside_ = false;
  // What the spooler copied into the version folder from the stand-ins.
  for (const auto& f : PlainFiles(DriverDir() + L"\\3"))
    if (!std::binary_search(versionDirBefore_.begin(), versionDirBefore_.end(), f))
      DeleteFileW((DriverDir() + L"\\3\\" + f).c_str());
  for (const auto& f : PlainFiles(DriverDir()))
    if (!std::binary_search(stagingBefore.begin(), stagingBefore.end(), f))
      DeleteFileW((DriverDir() + L"\\" + f).c_str());
  if (!monitorDllBefore_) DeleteFileW((SystemDir() + L"\\orvlpm.dll").c_str());
}

RunResult SetupTest::RunSetupExe(const std::wstring& tail) {
  RunOptions options;
  options.currentDir = package.path();
  options.timeoutMs = 60000;
  return RunProgram(BinDir() + L"\\setup.exe", tail, options);
}

BOOL WINAPI RefusingAddMonitorW(LPWSTR, DWORD, LPBYTE) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL WINAPI RefusingXcvDataW(HANDLE, PCWSTR, PBYTE, DWORD, PBYTE, DWORD, PDWORD needed,
                             PDWORD status) {
  *needed = 0;
  *status = ERROR_INVALID_PARAMETER;
  return TRUE;
}

BOOL WINAPI RefusingAddPrinterDriverW(LPWSTR, DWORD, LPBYTE) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

HANDLE WINAPI RefusingAddPrinterW(LPWSTR, DWORD, LPBYTE) {
  SetLastError(ERROR_INVALID_PRINTER_NAME);
  return nullptr;
}

decltype(&AddPrinterW) g_realAddPrinterW = nullptr;

HANDLE WINAPI VanishingAddPrinterW(LPWSTR server, DWORD level, LPBYTE info) {
  HANDLE h = g_realAddPrinterW(server, level, info);
  if (h) DeletePrinter(h);
  return h;
}
