#include "orvl_test.h"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace orvltest {

// ---- files and folders ------------------------------------------------------

std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
  return s;
}

std::wstring BinDir() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path, n);
  return p.substr(0, p.find_last_of(L'\\'));
}

ScratchDir::ScratchDir() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring base = temp;
  if (!base.empty() && base.back() == L'\\') base.pop_back();
  std::wstring name = L"orvl";
  if (const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
    name += L"-" + Widen(info->name()).substr(0, 40);
  }
  for (wchar_t& c : name)
    if (!iswalnum(c) && c != L'-') c = L'_';
  static unsigned counter = 0;
  for (;;) {
    path_ = base + L"\\" + name + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter);
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
  }
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = path + L"\\" + name;
      SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(child);
      else
        DeleteFileW(child.c_str());
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = bytes.empty() ||
            WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(f);
  return ok && written == bytes.size();
}

std::string ReadBytes(const std::wstring& path) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return std::string();
  std::string out;
  char buffer[65536];
  DWORD n;
  while (ReadFile(f, buffer, sizeof(buffer), &n, nullptr) && n > 0) out.append(buffer, n);
  CloseHandle(f);
  return out;
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// ---- registry ---------------------------------------------------------------

namespace {
HKEY CreateKey(HKEY root, const std::wstring& subkey) {
  HKEY key = nullptr;
  LONG rc =
      RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  EXPECT_EQ(rc, ERROR_SUCCESS) << "creating " << Narrow(subkey);
  return rc == ERROR_SUCCESS ? key : nullptr;
}
}  // namespace

void SetBinary(HKEY root, const std::wstring& subkey, const wchar_t* name, const std::string& bytes,
               DWORD type) {
  HKEY key = CreateKey(root, subkey);
  if (!key) return;
  EXPECT_EQ(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

void SetDword(HKEY root, const std::wstring& subkey, const wchar_t* name, DWORD value) {
  SetBinary(root, subkey, name, std::string(reinterpret_cast<const char*>(&value), 4), REG_DWORD);
}

void SetString(HKEY root, const std::wstring& subkey, const wchar_t* name,
               const std::wstring& value) {
  SetBinary(root, subkey, name,
            std::string(reinterpret_cast<const char*>(value.c_str()),
                        (value.size() + 1) * sizeof(wchar_t)),
            REG_SZ);
}

bool ReadDword(HKEY root, const std::wstring& subkey, const wchar_t* name, DWORD* value) {
  HKEY key;
  if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD size = sizeof(*value);
  DWORD type = 0;
  LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && size == 4;
}

void DeleteTree(HKEY root, const std::wstring& subkey) {
  HKEY key;
  if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    wchar_t name[256];
    for (;;) {
      DWORD n = 256;
      if (RegEnumKeyExW(key, 0, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
      DeleteTree(key, name);
    }
    RegCloseKey(key);
  }
  RegDeleteKeyW(root, subkey.c_str());
}

DenyKeyAccess::DenyKeyAccess(HKEY root, const std::wstring& subkey) {
  HKEY created = CreateKey(root, subkey);
  if (created) RegCloseKey(created);
  if (RegOpenKeyExW(root, subkey.c_str(), 0, READ_CONTROL | WRITE_DAC, &key_) != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot open " << Narrow(subkey) << " to change its security";
    key_ = nullptr;
    return;
  }
  DWORD size = 0;
  RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, nullptr, &size);
  saved_.resize(size ? size : 1);
  if (RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, saved_.data(), &size) != ERROR_SUCCESS)
    saved_.clear();

  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
  BYTE aclBuffer[256];
  PACL acl = reinterpret_cast<PACL>(aclBuffer);
  InitializeAcl(acl, sizeof(aclBuffer), ACL_REVISION);
  AddAccessDeniedAce(acl, ACL_REVISION, KEY_ALL_ACCESS & ~(WRITE_DAC | READ_CONTROL), everyone);
  AddAccessAllowedAce(acl, ACL_REVISION, WRITE_DAC | READ_CONTROL, everyone);
  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
  EXPECT_EQ(RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, &sd), ERROR_SUCCESS);
  FreeSid(everyone);
}

DenyKeyAccess::~DenyKeyAccess() {
  if (!key_) return;
  if (!saved_.empty()) {
    RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, saved_.data());
  } else {
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, &sd);
  }
  RegCloseKey(key_);
}

WineVersion::WineVersion(const std::wstring& exeName, const std::wstring& version)
    : key_(L"Software\\Wine\\AppDefaults\\" + exeName) {
  SetString(HKEY_CURRENT_USER, key_, L"Version", version);
}

WineVersion::~WineVersion() { DeleteTree(HKEY_CURRENT_USER, key_); }

// ---- fault injection ----------------------------------------------------------

IatPatch::IatPatch(const char* dll, const char* function, const void* replacement, HMODULE module) {
  BYTE* base = reinterpret_cast<BYTE*>(module ? module : GetModuleHandleW(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!dir.VirtualAddress) return;
  for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       desc->Name; ++desc) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + desc->Name), dll) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
        base + (desc->OriginalFirstThunk ? desc->OriginalFirstThunk : desc->FirstThunk));
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (lstrcmpA(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
      void** slot = reinterpret_cast<void**>(&slots->u1.Function);
      DWORD old;
      VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
      original_ = *slot;
      *slot = const_cast<void*>(replacement);
      VirtualProtect(slot, sizeof(void*), old, &old);
      slots_.push_back(slot);
    }
  }
  EXPECT_TRUE(active()) << "import " << dll << "!" << function << " not found";
}

IatPatch::~IatPatch() {
  for (void** slot : slots_) {
    DWORD old;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
    *slot = original_;
    VirtualProtect(slot, sizeof(void*), old, &old);
  }
}

// ---- message boxes --------------------------------------------------------------

namespace {
BoxCapture* g_capture = nullptr;
const UINT_PTR kBoxTimer = 0x4F52;

bool IsDialogClass(HWND window) {
  wchar_t cls[16] = {};
  GetClassNameW(window, cls, 16);
  return lstrcmpW(cls, L"#32770") == 0;
}

BOOL CALLBACK CollectButton(HWND child, LPARAM param) {
  wchar_t cls[16] = {};
  GetClassNameW(child, cls, 16);
  if (lstrcmpiW(cls, L"Button") == 0 && IsWindowVisible(child))
    reinterpret_cast<std::vector<int>*>(param)->push_back(GetDlgCtrlID(child));
  return TRUE;
}

void Answer(HWND box, int answer) {
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, answer)));
}
}  // namespace

CapturedBox ReadBox(HWND box) {
  CapturedBox b;
  wchar_t text[2048] = {};
  GetWindowTextW(box, text, 2048);
  b.caption = text;
  text[0] = L'\0';
  GetDlgItemTextW(box, 0xFFFF, text, 2048);
  b.text = text;
  b.style = GetWindowLongW(box, GWL_STYLE);
  b.exStyle = GetWindowLongW(box, GWL_EXSTYLE);
  EnumChildWindows(box, CollectButton, reinterpret_cast<LPARAM>(&b.buttons));
  std::sort(b.buttons.begin(), b.buttons.end());
  return b;
}

BoxCapture::BoxCapture(int answer) : answer_(answer), previous_(g_capture) {
  g_capture = this;
  hook_ = SetWindowsHookExW(WH_CBT, Hook, nullptr, GetCurrentThreadId());
}

BoxCapture::~BoxCapture() {
  if (hook_) UnhookWindowsHookEx(hook_);
  g_capture = previous_;
}

LRESULT CALLBACK BoxCapture::Hook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE && g_capture) {
    HWND window = reinterpret_cast<HWND>(wParam);
    if (IsDialogClass(window) && GetWindow(window, GW_OWNER) == nullptr)
      SetTimer(window, kBoxTimer, 1, Timer);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

void CALLBACK BoxCapture::Timer(HWND box, UINT, UINT_PTR, DWORD) {
  KillTimer(box, kBoxTimer);
  if (!g_capture || !GetDlgItem(box, 0xFFFF)) return;  // a dialog, not a message box
  g_capture->boxes_.push_back(ReadBox(box));
  Answer(box, g_capture->answer_);
}

// ---- broadcasts -----------------------------------------------------------------

void PumpMessages(DWORD milliseconds) {
  DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= milliseconds) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - elapsed, QS_ALLINPUT);
  }
}

BroadcastListener::BroadcastListener(const std::wstring& messageName) {
  message_ = RegisterWindowMessageW(messageName.c_str());
  static ATOM atom = 0;
  if (!atom) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"OrvalisTestListener";
    atom = RegisterClassW(&wc);
  }
  window_ = CreateWindowExW(0, L"OrvalisTestListener", L"listener", WS_OVERLAPPED, 0, 0, 10, 10,
                            nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

BroadcastListener::~BroadcastListener() {
  if (window_) DestroyWindow(window_);
}

void BroadcastListener::Pump(DWORD milliseconds) { PumpMessages(milliseconds); }

LRESULT CALLBACK BroadcastListener::Proc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<BroadcastListener*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self && msg == self->message_) {
    self->received.emplace_back(wParam, lParam);
    return 0;
  }
  return DefWindowProcW(window, msg, wParam, lParam);
}

// ---- running programs ------------------------------------------------------------

namespace {
struct BoxScan {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK FindProcessBoxes(HWND window, LPARAM param) {
  auto* scan = reinterpret_cast<BoxScan*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == scan->pid && IsDialogClass(window) && GetDlgItem(window, 0xFFFF))
    scan->found.push_back(window);
  return TRUE;
}
}  // namespace

RunResult RunProgram(const std::wstring& exe, const std::wstring& tail, const RunOptions& options) {
  RunResult result;
  std::wstring commandLine = L"\"" + exe + L"\"";
  if (!tail.empty()) commandLine += L" " + tail;
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(exe.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      options.currentDir.empty() ? nullptr : options.currentDir.c_str(), &si,
                      &pi)) {
    ADD_FAILURE() << "cannot start " << Narrow(exe) << ": error " << GetLastError();
    return result;
  }
  result.started = true;
  CloseHandle(pi.hThread);

  struct Seen {
    HWND window;
    DWORD firstSeen;
    bool answered;
  };
  std::vector<Seen> seen;
  DWORD start = GetTickCount();
  for (;;) {
    DWORD wait = MsgWaitForMultipleObjects(1, &pi.hProcess, FALSE, 10, QS_ALLINPUT);
    PumpMessages(0);
    BoxScan scan{pi.dwProcessId, {}};
    EnumWindows(FindProcessBoxes, reinterpret_cast<LPARAM>(&scan));
    seen.erase(
        std::remove_if(seen.begin(), seen.end(), [](const Seen& s) { return !IsWindow(s.window); }),
        seen.end());
    for (HWND box : scan.found) {
      auto it =
          std::find_if(seen.begin(), seen.end(), [box](const Seen& s) { return s.window == box; });
      if (it == seen.end()) {
        seen.push_back({box, GetTickCount(), false});
        it = seen.end() - 1;
      }
      if (it->answered) continue;
      CapturedBox b = ReadBox(box);
      // Wine fills the box in after showing it: wait for its caption and text a moment.
      if ((b.text.empty() || b.caption.empty()) && GetTickCount() - it->firstSeen < 500) continue;
      result.boxes.push_back(b);
      Answer(box, options.boxAnswer);
      it->answered = true;
    }
    if (wait == WAIT_OBJECT_0) break;
    if (GetTickCount() - start > options.timeoutMs) {
      TerminateProcess(pi.hProcess, 0xDEAD);
      WaitForSingleObject(pi.hProcess, 5000);
      result.timedOut = true;
      break;
    }
  }
  GetExitCodeProcess(pi.hProcess, &result.exitCode);
  CloseHandle(pi.hProcess);
  PumpMessages(50);  // broadcasts sent just before the end
  return result;
}

}  // namespace orvltest
