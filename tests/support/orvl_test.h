// Test support shared by every suite: scratch directories, files, registry
// set-up, fault injection by import patching, message box capture, broadcast
// listening and running the real programs.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace orvltest {

// ---- files and folders ------------------------------------------------------

// A fresh directory per test under %TEMP%, removed with its contents.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);  // empty when unreadable
bool FileExists(const std::wstring& path);
void RemoveTree(const std::wstring& path);
std::wstring Widen(const std::string& s);   // UTF-8 to UTF-16
std::string Narrow(const std::wstring& s);  // UTF-16 to UTF-8
// The folder of the running test program (where the built programs are).
std::wstring BinDir();

// ---- registry ---------------------------------------------------------------

void SetDword(HKEY root, const std::wstring& subkey, const wchar_t* name, DWORD value);
void SetString(HKEY root, const std::wstring& subkey, const wchar_t* name,
               const std::wstring& value);
void SetBinary(HKEY root, const std::wstring& subkey, const wchar_t* name, const std::string& bytes,
               DWORD type = REG_BINARY);
bool ReadDword(HKEY root, const std::wstring& subkey, const wchar_t* name, DWORD* value);
void DeleteTree(HKEY root, const std::wstring& subkey);

// Denies Everyone all access but changing permissions to root\subkey (created
// if missing) for as long as it lives. Wine keeps key security only in the
// running wineserver, so this works for processes started meanwhile too.
class DenyKeyAccess {
 public:
  DenyKeyAccess(HKEY root, const std::wstring& subkey);
  ~DenyKeyAccess();
  DenyKeyAccess(const DenyKeyAccess&) = delete;
  DenyKeyAccess& operator=(const DenyKeyAccess&) = delete;

 private:
  HKEY key_ = nullptr;
  std::vector<BYTE> saved_;
};

// Wine's per-program Windows version ("win2k", "winxp", "win2003", "vista",
// "win7", "win8", "nt40", "win98", "win95"), read at process start.
class WineVersion {
 public:
  WineVersion(const std::wstring& exeName, const std::wstring& version);
  ~WineVersion();

 private:
  std::wstring key_;
};

// ---- fault injection ----------------------------------------------------------

// Replaces one import of the test program, or of the given loaded module
// (dll name case-insensitive), for as long as it lives. Replacements must be
// WINAPI functions.
class IatPatch {
 public:
  IatPatch(const char* dll, const char* function, const void* replacement,
           HMODULE module = nullptr);
  ~IatPatch();
  IatPatch(const IatPatch&) = delete;
  IatPatch& operator=(const IatPatch&) = delete;
  bool active() const { return !slots_.empty(); }
  template <typename F>
  F original() const {
    return reinterpret_cast<F>(original_);
  }

 private:
  std::vector<void**> slots_;
  void* original_ = nullptr;
};

// ---- message boxes --------------------------------------------------------------

struct CapturedBox {
  std::wstring caption;
  std::wstring text;
  LONG style = 0;
  LONG exStyle = 0;          // MB_SYSTEMMODAL shows as WS_EX_TOPMOST
  std::vector<int> buttons;  // ids of the push buttons present
  bool systemModal() const { return (exStyle & WS_EX_TOPMOST) != 0; }
};

// Captures every message box that this thread shows while it lives and
// answers it with the given button.
class BoxCapture {
 public:
  explicit BoxCapture(int answer = IDOK);
  ~BoxCapture();
  BoxCapture(const BoxCapture&) = delete;
  BoxCapture& operator=(const BoxCapture&) = delete;
  const std::vector<CapturedBox>& boxes() const { return boxes_; }

 private:
  static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam);
  static void CALLBACK Timer(HWND box, UINT, UINT_PTR, DWORD);
  HHOOK hook_ = nullptr;
  int answer_;
  std::vector<CapturedBox> boxes_;
  BoxCapture* previous_ = nullptr;
};

// Reads a message box window of any process.
CapturedBox ReadBox(HWND box);

// ---- broadcasts -----------------------------------------------------------------

// A hidden top-level window that records the registered message it listens for.
class BroadcastListener {
 public:
  explicit BroadcastListener(const std::wstring& messageName);
  ~BroadcastListener();
  BroadcastListener(const BroadcastListener&) = delete;
  BroadcastListener& operator=(const BroadcastListener&) = delete;
  UINT message() const { return message_; }
  HWND window() const { return window_; }
  // Dispatches this thread's messages for the given time.
  void Pump(DWORD milliseconds);
  std::vector<std::pair<WPARAM, LPARAM>> received;

 private:
  static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
  UINT message_ = 0;
  HWND window_ = nullptr;
};

// Dispatches this thread's messages for the given time.
void PumpMessages(DWORD milliseconds);

// ---- running programs ------------------------------------------------------------

struct RunOptions {
  DWORD timeoutMs = 30000;
  std::wstring currentDir;  // empty: the test's own
  int boxAnswer = IDOK;     // button pressed on each box the program shows
};

struct RunResult {
  DWORD exitCode = 0xFFFFFFFF;
  bool timedOut = false;
  bool started = false;
  std::vector<CapturedBox> boxes;  // every box the program showed, in order
};

// Runs exe with the command-line tail (CreateProcessW with "\"exe\" tail"),
// answering each message box it shows and dispatching this thread's messages
// (so broadcasts reach listeners) until it ends; killed after the timeout.
RunResult RunProgram(const std::wstring& exe, const std::wstring& tail,
                     const RunOptions& options = RunOptions());

}  // namespace orvltest
