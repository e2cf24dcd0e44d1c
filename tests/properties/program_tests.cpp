// The real properties.exe: its start, its command line, its single instance,
// its exit codes, its Windows version branches and what the file carries.
#include "properties_fixture.h"

using namespace orvltest;
using namespace proptest;

class ProgramTest : public PropertiesTest {
 protected:
  static int TabCount(HWND sheet) {
    HWND tab = FindWindowExW(sheet, nullptr, L"SysTabControl32", nullptr);
    return static_cast<int>(SendMessageW(tab, TCM_GETITEMCOUNT, 0, 0));
  }
  static HWND CurrentPage(HWND sheet) {
    return reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
  }
  // The title of every page, reached by selecting each in turn.
  static std::vector<std::wstring> PageTitles(HWND sheet) {
    std::vector<std::wstring> titles;
    int n = TabCount(sheet);
    for (int i = 0; i < n; ++i) {
      SendMessageW(sheet, PSM_SETCURSEL, i, 0);
      titles.push_back(WindowText(CurrentPage(sheet)));
    }
    return titles;
  }
  // Starts the program, reads its pages and cancels it; returns the titles.
  std::vector<std::wstring> PagesFor(const std::wstring& tail) {
    LiveProgram program;
    EXPECT_TRUE(program.Start(tail));
    HWND sheet = program.WaitForSheet();
    EXPECT_NE(sheet, nullptr);
    if (!sheet) return {};
    std::vector<std::wstring> titles = PageTitles(sheet);
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    EXPECT_EQ(program.Wait(), 0u);
    EXPECT_TRUE(program.boxes.empty());
    return titles;
  }
};

TEST_F(ProgramTest, ShowsTheSheetAndExitsWithZero) {
  LiveProgram program;
  ASSERT_TRUE(program.Start(L""));
  HWND sheet = program.WaitForSheet();
  ASSERT_NE(sheet, nullptr);
  EXPECT_EQ(TabCount(sheet), 4);
  EXPECT_EQ(WindowText(CurrentPage(sheet)), L"General");
  HWND page = CurrentPage(sheet);
  wchar_t text[128] = {0};
  SendMessageW(GetDlgItem(page, IDC_QUALITY), CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, L"204 x 196 DPI - Fine FAX mode");
  PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
  EXPECT_EQ(program.Wait(), 0u);
  EXPECT_TRUE(program.boxes.empty());
}

TEST_F(ProgramTest, CommandLineChoosesThePages) {
  EXPECT_EQ(PagesFor(L"/NOGENERAL /NoPaper"), (std::vector<std::wstring>{L"EMF", L"About"}));
  EXPECT_EQ(PagesFor(L"/nogeneral,/nopaper"),
            (std::vector<std::wstring>{L"General", L"Paper Size", L"EMF", L"About"}));
  EXPECT_EQ(PagesFor(L"/nogeneral\t/nopaper"),
            (std::vector<std::wstring>{L"General", L"Paper Size", L"EMF", L"About"}));
  EXPECT_EQ(PagesFor(L"whatever /nopaper"),
            (std::vector<std::wstring>{L"General", L"EMF", L"About"}));
}

TEST_F(ProgramTest, SecondStartWhileOpenReturnsZeroAndShowsNothing) {
  LiveProgram first;
  ASSERT_TRUE(first.Start(L""));
  HWND sheet = first.WaitForSheet();
  ASSERT_NE(sheet, nullptr);
  RunResult second = RunProgram(BinDir() + L"\\properties.exe", L"");
  EXPECT_TRUE(second.started);
  EXPECT_FALSE(second.timedOut);
  EXPECT_EQ(second.exitCode, 0u);
  EXPECT_TRUE(second.boxes.empty());
  EXPECT_EQ(SheetWindows().size(), 1u);
  PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
  EXPECT_EQ(first.Wait(), 0u);
}

TEST_F(ProgramTest, ClosedUserKeyShowsErrorFiveAndExitsWithOne) {
  DenyKeyAccess deny(HKEY_CURRENT_USER, kUserKey);
  RunResult r = RunProgram(BinDir() + L"\\properties.exe", L"");
  EXPECT_EQ(r.exitCode, 1u);
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0].caption, L"Orvalis properties");
  EXPECT_EQ(r.boxes[0].text,
            ErrorReport(L"Failed to open registry key\nHKCU\\Software\\Orvalis", 5));
  EXPECT_FALSE(r.boxes[0].systemModal());
}

TEST_F(ProgramTest, StartsOnTheStoredPage) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"Last Viewed Page", 3);
  LiveProgram program;
  ASSERT_TRUE(program.Start(L"/nopaper"));
  HWND sheet = program.WaitForSheet();
  ASSERT_NE(sheet, nullptr);
  // Three pages this time: index 3 is out of range.
  EXPECT_EQ(WindowText(CurrentPage(sheet)), L"General");
  PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
  EXPECT_EQ(program.Wait(), 0u);
}

TEST_F(ProgramTest, Windows98HasNoPaperPageAndOnlyTheDriverButton) {
  WineVersion version(L"properties.exe", L"win98");
  LiveProgram program;
  ASSERT_TRUE(program.Start(L""));
  HWND sheet = program.WaitForSheet();
  ASSERT_NE(sheet, nullptr);
  HWND page = CurrentPage(sheet);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page, IDC_PORTRAIT)));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page, IDC_LANDSCAPE)));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page, IDC_QUALITY)));
  EXPECT_TRUE(IsWindowVisible(GetDlgItem(page, IDC_DRIVER_DIALOG)));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, IDC_DRIVER_DIALOG)));
  EXPECT_EQ(PageTitles(sheet), (std::vector<std::wstring>{L"General", L"EMF", L"About"}));
  PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
  EXPECT_EQ(program.Wait(), 0u);
}

TEST_F(ProgramTest, WindowsXpAndNt4HideTheDriverButton) {
  for (const wchar_t* v : {L"nt40", L"winxp", L"win2k"}) {
    WineVersion version(L"properties.exe", v);
    LiveProgram program;
    ASSERT_TRUE(program.Start(L""));
    HWND sheet = program.WaitForSheet();
    ASSERT_NE(sheet, nullptr);
    HWND page = CurrentPage(sheet);
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(page, IDC_DRIVER_DIALOG))) << Narrow(v);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, IDC_PORTRAIT))) << Narrow(v);
    EXPECT_EQ(TabCount(sheet), 4) << Narrow(v);
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    EXPECT_EQ(program.Wait(), 0u);
  }
}

TEST_F(ProgramTest, OkSavesTheOrientationIntoThePrinter) {
  StoreDevMode(1, 204, 196, 9);
  SetDriverDevMode(1, 204, 196, 9);
  LiveProgram program;
  ASSERT_TRUE(program.Start(L""));
  HWND sheet = program.WaitForSheet();
  ASSERT_NE(sheet, nullptr);
  HWND page = CurrentPage(sheet);
  SendMessageW(GetDlgItem(page, IDC_LANDSCAPE), BM_CLICK, 0, 0);
  EXPECT_EQ(SendMessageW(GetDlgItem(page, IDC_LANDSCAPE), BM_GETCHECK, 0, 0), BST_CHECKED);
  PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
  EXPECT_EQ(program.Wait(), 0u);
  EXPECT_TRUE(program.boxes.empty());
  EXPECT_EQ(StoredDevMode().dmOrientation, 2);
}

namespace {
struct Loaded {
  HMODULE module;
  explicit Loaded(DWORD flags) {
    module = LoadLibraryExW((BinDir() + L"\\properties.exe").c_str(), nullptr, flags);
  }
  ~Loaded() {
    if (module) FreeLibrary(module);
  }
};
#pragma pack(push, 1)
struct IconDirEntry {
  BYTE width, height, colors, reserved;
  WORD planes, bits;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)
std::string ResourceBytes(HMODULE m, LPCWSTR type, LPCWSTR name) {
  HRSRC r = FindResourceW(m, name, type);
  if (!r) return {};
  return std::string(static_cast<const char*>(LockResource(LoadResource(m, r))),
                     SizeofResource(m, r));
}
}  // namespace

TEST_F(ProgramTest, FileCarriesExportVersionIconAndManifest) {
  {
    Loaded exe(DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(exe.module, nullptr);
    EXPECT_NE(GetProcAddress(exe.module, "ShowProperties"), nullptr);
  }
  Loaded exe(LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe.module, nullptr);
  std::string group = ResourceBytes(exe.module, RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_PRINTER));
  ASSERT_GE(group.size(), 6u);
  WORD count;
  memcpy(&count, group.data() + 4, 2);
  std::vector<std::pair<int, int>> images;
  for (WORD i = 0; i < count; ++i) {
    IconDirEntry e;
    memcpy(&e, group.data() + 6 + i * sizeof(e), sizeof(e));
    images.push_back({e.width, e.bits});
  }
  std::sort(images.begin(), images.end());
  EXPECT_EQ(images, (std::vector<std::pair<int, int>>{
                        {16, 4}, {16, 8}, {16, 32}, {32, 4}, {32, 8}, {32, 32}}));
  std::string manifest = ResourceBytes(exe.module, MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
  EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_NE(manifest.find("version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(manifest.find("asInvoker"), std::string::npos);
  EXPECT_NE(manifest.find("name=\"Orvalis.properties\""), std::string::npos);

  DWORD handle = 0;
  std::wstring path = BinDir() + L"\\properties.exe";
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
  auto value = [&](const wchar_t* name) {
    std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    wchar_t* text = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&text), &len))
      return std::wstring();
    return std::wstring(text);
  };
  EXPECT_EQ(value(L"FileDescription"), L"Virtual Printer Properties Module");
  EXPECT_EQ(value(L"FileVersion"), L"1.00");
  EXPECT_EQ(value(L"ProductVersion"), L"1.00");
  EXPECT_EQ(value(L"ProductName"), L"Orvalis");
}
