// The properties suites' world: a printer "Orvalis" whose driver UI is the
// stand-in of fixtures/, the sheet run modeless on the test thread, fakes of
// the spooler calls that Wine does not carry out, and the running program.
#pragma once
#include <windows.h>

#include <commctrl.h>
#include <prsht.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fixtures/stand_in_config.h"
#include "orvl_test.h"
#include "paper_units.h"
#include "properties.h"
#include "resource_ids.h"

namespace proptest {

extern const wchar_t kUserKey[];
extern const wchar_t kMachineKey[];
extern const wchar_t kDefaultsKey[];

// The full report text as ReportError composes it for a context and number.
std::wstring ErrorReport(const std::wstring& context, DWORD error);

// ---- the test printer ---------------------------------------------------------------

void InstallPrinter();
void RemovePrinter();
bool PrinterExists();
// The device mode the spooler keeps for the printer (all levels share one under Wine).
DEVMODEW StoredDevMode();
void StoreDevMode(SHORT orientation, SHORT quality, SHORT yResolution, SHORT paper,
                  const wchar_t* formName = L"", DWORD moreFields = 0);

void SetResolutions(const std::vector<std::pair<LONG, LONG>>& pairs);
void SetPapers(const std::vector<StandInPaper>& papers);
void SetDriverDevMode(SHORT orientation, SHORT quality, SHORT yResolution, SHORT paper);
void SetDriverDword(const wchar_t* name, DWORD value);

// ---- fakes by import patching ---------------------------------------------------------

struct FakeForm {
  std::wstring name;
  DWORD flags;
  LONG width;  // thousandths of a millimetre
  LONG length;
  RECTL area;
};

// A forms database for EnumFormsW, GetFormW, AddFormW and DeleteFormW.
class FakeForms {
 public:
  FakeForms();
  ~FakeForms();
  std::vector<FakeForm> forms;
  std::vector<FakeForm> added;
  std::vector<std::wstring> deleted;
  DWORD failAdd = 0;     // last error of a refused add, 0 to accept
  DWORD failDelete = 0;  // likewise for delete
  bool storeAdds = true;
  std::function<void(const std::wstring&)> onDelete;  // runs after a delete

 private:
  orvltest::IatPatch enum_, get_, add_, delete_;
};

// GetVersionExW answering a given Windows version.
class FakeVersion {
 public:
  FakeVersion(DWORD platform, DWORD major, DWORD minor);

 private:
  orvltest::IatPatch patch_;
};

// Records the levels of SetPrinterW and can refuse them.
class SetPrinterSpy {
 public:
  explicit SetPrinterSpy(DWORD failWith = 0);
  ~SetPrinterSpy();
  std::vector<DWORD> levels;
  std::vector<DEVMODEW> modes;  // the device mode of each call

 private:
  orvltest::IatPatch patch_;
};

// GetPrinterW level 2 answering a record whose device mode has the given
// dmSize (0: no device mode at all) and is otherwise zero.
class ShortDevMode {
 public:
  explicit ShortDevMode(WORD dmSize);

 private:
  orvltest::IatPatch patch_;
};

// Makes OpenPrinterW fail with the error for the given access masks (all when
// empty); records every access asked for.
class OpenPrinterFault {
 public:
  OpenPrinterFault(std::vector<DWORD> failAccess, DWORD error);
  ~OpenPrinterFault();
  std::vector<DWORD> asked;

 private:
  orvltest::IatPatch patch_;
};

// ---- the sheet --------------------------------------------------------------------------

// The sheet as ShowProperties builds it, run modeless on the test thread.
class TestSheet {
 public:
  TestSheet() = default;
  ~TestSheet();
  // Loads the settings, probes and builds; false if the settings failed.
  bool Open(int noGeneral = 0, int noPaper = 0, DWORD platform = VER_PLATFORM_WIN32_NT);
  HWND sheet() const { return sheet_; }
  HWND page() const;  // the current page
  int pageCount() const;
  std::wstring PageTitle(int index);  // tab text
  void Select(int index);
  void Press(int button);  // PSBTN_*
  bool ApplyEnabled() const;
  void Close();
  HWND item(int id) const { return GetDlgItem(page(), id); }
  std::wstring Text(int id) const;
  bool Checked(int id) const;
  bool Enabled(int id) const;
  bool Visible(int id) const;
  void Click(int id);
  // Chooses a combo entry the way the user does (select, then the notifications).
  void Choose(int id, int index, bool selendok);
  std::vector<std::wstring> ComboTexts(int id) const;
  int ComboSelection(int id) const;

 private:
  HWND sheet_ = nullptr;
  SheetSetup setup_{};
};

// Runs action on the modal dialog with the given caption as soon as it shows
// (from a timer of the thread's modal loop).
void ScriptDialog(const std::wstring& caption, std::function<void(HWND)> action);
bool ScriptedDialogRan();

std::wstring WindowText(HWND window);

// ---- the running program ---------------------------------------------------------------

class LiveProgram {
 public:
  LiveProgram() = default;
  ~LiveProgram();
  bool Start(const std::wstring& tail);
  // The sheet's top-level window of this process, waited for.
  HWND WaitForSheet(DWORD milliseconds = 15000);
  // Waits for the end; returns the exit code (0xFFFFFFFF on timeout).
  DWORD Wait(DWORD milliseconds = 15000);
  DWORD pid() const { return pi_.dwProcessId; }
  std::vector<orvltest::CapturedBox> boxes;

 private:
  PROCESS_INFORMATION pi_{};
};

std::vector<HWND> SheetWindows();  // every "Properties for Orvalis" window

// ---- the common world --------------------------------------------------------------------

class PropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The user's measurement system as the program reads it: "0" metric, "1" U.S.
  void SetMeasure(const wchar_t* value);
  void SetLocaleUnreadable(bool unreadable);

 private:
  std::unique_ptr<orvltest::IatPatch> locale_;
};

}  // namespace proptest

namespace proptest {

// The pixels of a window's client area as the screen shows them (needs a
// display; empty otherwise).
struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<COLORREF> data;
  COLORREF at(int x, int y) const { return data[static_cast<size_t>(y) * width + x]; }
  bool empty() const { return data.empty(); }
};
Pixels Grab(HWND window);
bool HaveDisplay();

}  // namespace proptest
