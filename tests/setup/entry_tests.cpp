// The command line, the version gate, the exit codes 1 and 2 and setup's
// message boxes, run in-process with the version query patched.
#include "setup_fixture.h"

using namespace orvltest;

namespace {

BOOL WINAPI FailingGetVersionExW(LPOSVERSIONINFOW) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

struct Flags {
  int silent, quiet, uninstall;
};

Flags Parse(const wchar_t* tail) {
  ParseCommandLine(tail);
  return {g_setup.silentMode, g_setup.quietMode, g_setup.uninstallMode};
}

bool operator==(const Flags& a, const Flags& b) {
  return a.silent == b.silent && a.quiet == b.quiet && a.uninstall == b.uninstall;
}

const wchar_t kUnsupportedShown[] =
    L"This is an unsupported version of windows, the Orvalis printer will not be installed.";

}  // namespace

TEST(SetupCommandLine, SwitchesAreWholeCaseSensitiveTokens) {
  EXPECT_TRUE(Parse(L"") == (Flags{0, 0, 0}));
  EXPECT_TRUE(Parse(nullptr) == (Flags{0, 0, 0}));
  EXPECT_TRUE(Parse(L"/S") == (Flags{1, 0, 0}));
  EXPECT_TRUE(Parse(L"/Q") == (Flags{0, 1, 0}));
  EXPECT_TRUE(Parse(L"/U") == (Flags{0, 0, 1}));
  EXPECT_TRUE(Parse(L"  /U   /Q /S  ") == (Flags{1, 1, 1}));
  EXPECT_TRUE(Parse(L"/s /q /u") == (Flags{0, 0, 0}));
  EXPECT_TRUE(Parse(L"-S -U") == (Flags{0, 0, 0}));
  EXPECT_TRUE(Parse(L"/S/U") == (Flags{0, 0, 0}));
  EXPECT_TRUE(Parse(L"/S\t/U") == (Flags{0, 0, 0}));
  EXPECT_TRUE(Parse(L"/SU /UU /Q2") == (Flags{0, 0, 0}));
  EXPECT_TRUE(Parse(L"x /U /U y /U") == (Flags{0, 0, 1}));
  EXPECT_TRUE(Parse(L"/S /U") == (Flags{1, 0, 1}));
}

TEST(SetupCommandLine, EveryRunStartsFromClearedFlags) {
  Parse(L"/S /Q /U");
  EXPECT_TRUE(Parse(L"/Q") == (Flags{0, 1, 0}));
}

TEST(SetupVersionGate, LevelsFollowPlatformAndVersion) {
  IatPatch patch("kernel32.dll", "GetVersionExW", reinterpret_cast<const void*>(FakeGetVersionExW));
  struct Case {
    DWORD platform, major, minor;
    int level;
  } cases[] = {
      {2, 5, 0, 5},  {2, 5, 1, 6}, {2, 5, 2, 7}, {2, 6, 0, 8}, {2, 6, 1, 9},
      {2, 4, 0, 0},  {2, 5, 3, 0}, {2, 6, 2, 0}, {2, 6, 3, 0}, {2, 10, 0, 0},
      {1, 4, 10, 0}, {1, 4, 0, 0}, {0, 5, 1, 0}, {1, 5, 1, 0},
  };
  for (const auto& c : cases) {
    SetReportedVersion(c.platform, c.major, c.minor);
    EXPECT_TRUE(DetectWindowsLevel());
    EXPECT_EQ(g_setup.windowsLevel, c.level) << c.platform << " " << c.major << "." << c.minor;
  }
}

TEST(SetupVersionGate, FailedQueryExitsWithOneAfterTheErrorBox) {
  IatPatch patch("kernel32.dll", "GetVersionExW",
                 reinterpret_cast<const void*>(FailingGetVersionExW));
  {
    BoxCapture boxes;
    EXPECT_EQ(RunSetup(L""), 1);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, L"Orvalis setup");
    EXPECT_EQ(boxes.boxes()[0].text, ErrorReport(L"GetVersionEx() failed.", 87));
    EXPECT_TRUE(boxes.boxes()[0].systemModal());
  }
  {
    BoxCapture boxes;
    EXPECT_EQ(RunSetup(L"/Q /U"), 1);
    EXPECT_EQ(boxes.boxes().size(), 1u);
  }
  {
    BoxCapture boxes;
    EXPECT_EQ(RunSetup(L"/S"), 1);
    EXPECT_TRUE(boxes.boxes().empty());
  }
}

TEST(SetupVersionGate, UnsupportedWindowsExitsWithTwoForInstallAndRemoval) {
  IatPatch patch("kernel32.dll", "GetVersionExW", reinterpret_cast<const void*>(FakeGetVersionExW));
  struct Version {
    DWORD platform, major, minor;
  } refused[] = {{2, 4, 0}, {1, 4, 10}, {1, 4, 0}, {2, 6, 2}};
  for (const auto& v : refused) {
    SetReportedVersion(v.platform, v.major, v.minor);
    for (const wchar_t* tail : {L"", L"/U", L"/Q"}) {
      BoxCapture boxes;
      EXPECT_EQ(RunSetup(tail), 2);
      ASSERT_EQ(boxes.boxes().size(), 1u);
      EXPECT_EQ(boxes.boxes()[0].text, kUnsupportedShown);
      EXPECT_EQ(boxes.boxes()[0].caption, L"Orvalis setup");
      EXPECT_TRUE(boxes.boxes()[0].systemModal());
    }
    for (const wchar_t* tail : {L"/S", L"/S /U"}) {
      BoxCapture boxes;
      EXPECT_EQ(RunSetup(tail), 2);
      EXPECT_TRUE(boxes.boxes().empty());
    }
  }
  EXPECT_FALSE(PrinterPresent(L"Orvalis"));
}

TEST(SetupMessages, PrinterNameAndBackslashNAreReplaced) {
  ParseCommandLine(L"");
  lstrcpyW(g_setup.caption, L"Orvalis setup");
  BoxCapture boxes;
  ShowSetupMessage(L"%PRINTER_NAME% one\\ntwo %PRINTER_NAME%%PRINTER_NAME%");
  ShowSetupMessage(L"plain text, %PRINTER% stays");
  ShowSetupMessage(kAlreadyInstalledText);
  ASSERT_EQ(boxes.boxes().size(), 3u);
  EXPECT_EQ(boxes.boxes()[0].text, L"Orvalis one\ntwo OrvalisOrvalis");
  EXPECT_EQ(boxes.boxes()[1].text, L"plain text, %PRINTER% stays");
  EXPECT_EQ(boxes.boxes()[2].text,
            L"The \"Orvalis\" printer is already installed on your computer. Please uninstall the "
            L"Orvalis application through the control panel to remove it.");
  for (const auto& b : boxes.boxes()) {
    EXPECT_EQ(b.caption, L"Orvalis setup");
    EXPECT_TRUE(b.systemModal());
    EXPECT_EQ(b.buttons, std::vector<int>{IDOK});
  }
}

TEST(SetupMessages, SetupBoxShowsTheTextUnchanged) {
  lstrcpyW(g_setup.caption, L"Orvalis setup");
  BoxCapture boxes;
  ShowSetupBox(L"%PRINTER_NAME%\\n", kSetupBoxStyle);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, L"%PRINTER_NAME%\\n");
  EXPECT_TRUE(boxes.boxes()[0].systemModal());
}

TEST(SetupMessages, ErrorBoxReportsTheNumberOrNothing) {
  lstrcpyW(g_setup.caption, L"Orvalis setup");
  BoxCapture boxes;
  SetLastError(0);
  EXPECT_EQ(ReportError(L"nothing", 0, nullptr), 0u);
  EXPECT_TRUE(boxes.boxes().empty());
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReportError(L"Failed to copy file orvl.ini", 0, nullptr), 5u);
  EXPECT_EQ(ReportError(L"status", 0x80000005u, nullptr), 0x80000005u);
  ASSERT_EQ(boxes.boxes().size(), 2u);
  EXPECT_EQ(boxes.boxes()[0].text, ErrorReport(L"Failed to copy file orvl.ini", 5));
  EXPECT_EQ(boxes.boxes()[1].text.substr(0, 24), L"status\nError # -21474836");
  EXPECT_TRUE(boxes.boxes()[0].systemModal());
  EXPECT_EQ(boxes.boxes()[0].caption, L"Orvalis setup");
}
