// The page list is read from the ticket in one pass; what it yields must be
// exactly what reading "File%d" key by key through the platform gives.
#include <algorithm>
#include <memory>
#include <random>

#include "converter_fixture.h"
#include "ticket.h"

using namespace orvltest;

namespace {

// A missing key and an empty value read alike key by key: both name no file.
void Collect(const wchar_t* path, void* context) {
  if (*path) static_cast<std::vector<std::wstring>*>(context)->push_back(path);
}

// The one-pass read as Wine gives the section, as Windows gives it, and the
// key names road it takes when no memory is left for the section.
enum Road { kWineLines, kWindowsLines, kKeyNames };

decltype(&HeapAlloc) g_heapAlloc;
int g_refused;  // allocations still to refuse once armed
bool g_armed;

LPVOID WINAPI RefusingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (g_armed && g_refused > 0) return --g_refused, nullptr;
  return g_heapAlloc(heap, flags, bytes);
}

// The [EMF] lines of an 8-bit ticket as Windows hands them back: untrimmed,
// comments kept (Wine trims them and drops comments itself).
DWORD WINAPI RawSectionLines(LPCWSTR, LPWSTR buffer, DWORD size, LPCWSTR file) {
  std::wstring text = Widen(ReadBytes(file)), out;
  bool in = false;
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = std::min(text.find_first_of(L"\r\n", at), text.size());
    std::wstring line = text.substr(at, end - at);
    if (!line.empty() && line[0] == L'[') {
      if (in) break;
      in = line == L"[EMF]";
    } else if (in && !line.empty()) {
      out += line + L'\0';
    }
  }
  out += L'\0';
  if (out.size() > size) return size - 2;
  std::copy(out.begin(), out.end(), buffer);
  return static_cast<DWORD>(out.size() - 1);
}

std::vector<std::wstring> OnePass(const std::wstring& ticket, DWORD count, Road road = kWineLines) {
  std::unique_ptr<IatPatch> raw;
  if (road == kWindowsLines)
    raw.reset(new IatPatch("kernel32.dll", "GetPrivateProfileSectionW",
                           reinterpret_cast<const void*>(RawSectionLines)));
  IatPatch alloc("kernel32.dll", "HeapAlloc", reinterpret_cast<const void*>(RefusingHeapAlloc));
  g_heapAlloc = alloc.original<decltype(&HeapAlloc)>();
  g_refused = road == kKeyNames ? 1 : 0;  // the section's buffer
  g_armed = true;
  std::vector<std::wstring> files;
  EXPECT_EQ(ForEachPageFile(ticket.c_str(), count, nullptr, Collect, &files),
            road == kKeyNames ? kPagesReadByKeyNames : kPagesReadInOnePass);
  g_armed = false;
  return files;
}

std::vector<std::wstring> KeyByKey(const std::wstring& ticket, DWORD count) {
  std::vector<std::wstring> files;
  for (DWORD i = 0; i < count; ++i) {
    wchar_t key[32];
    wchar_t value[260];
    wsprintfW(key, L"File%d", i);
    GetPrivateProfileStringW(L"EMF", key, L"", value, 260, ticket.c_str());
    if (value[0]) files.push_back(value);
  }
  return files;
}

const char* const kTrickyLines[] = {
    "File0=C:\\jobs\\a.emf",
    "FILE1=upper.emf",
    "file2=lower.emf",
    "File3=first.emf",
    "File3=second.emf",
    "file3=third.emf",
    "File4=\"C:\\quoted path\\b.emf\"",
    "File5='single.emf'",
    "File6=\"unbalanced.emf",
    "File7=\"",
    "File8=\"\"",
    "File9=",
    "File10",
    "  File11  =  blanks around.emf  ",
    "File012=leading zero.emf",
    "File-1=minus.emf",
    "File+13=plus.emf",
    "File 14=space.emf",
    "File15=a=b.emf",
    "File16=\"mixed'",
    "Fil17=short.emf",
    "File18x=suffix.emf",
    "File19=;not a comment.emf",
    ";File20=commented.emf",
    "File21=\"'nested'\"",
    "\tFile22\t=\ttabs.emf\t",
    "  ;File23=indented comment.emf",
    "File24 = C:\\p.emf",
};

std::string LongValue(size_t n, bool quoted) {
  std::string v(n, 'v');
  return quoted ? "\"" + v + "\"" : v;
}

}  // namespace

TEST_F(ConverterTest, OnePassReadsWhatKeyByKeyReadsOnTrickyKeys) {
  std::string body = "[Device]\r\nDeviceName=Orvalis\r\n[EMF]\r\nCount=40\r\n";
  for (const char* line : kTrickyLines) body += std::string(line) + "\r\n";
  // Values around the 259-character limit, with and without quotes.
  int i = 25;
  for (size_t n : {257u, 258u, 259u, 260u, 261u, 300u})
    for (bool quoted : {false, true})
      body += "File" + std::to_string(i++) + "=" + LongValue(n, quoted) + "\r\n";
  body += "[Other]\r\nFile37=other section.emf\r\n";
  body += "[emf]\r\nFile38=second emf section.emf\r\n";
  std::wstring ticket = WriteTicket(body);
  std::vector<std::wstring> expected = KeyByKey(ticket, 40);
  EXPECT_GT(expected.size(), 20u);
  for (Road road : {kWineLines, kWindowsLines, kKeyNames})
    EXPECT_EQ(OnePass(ticket, 40, road), expected) << road;
}

TEST_F(ConverterTest, OnePassReadsWhatKeyByKeyReadsInAUtf16Ticket) {
  std::wstring body = L"[Device]\r\nDeviceName=Orvalis\r\n[EMF]\r\nCount=30\r\n";
  for (const char* line : kTrickyLines) body += Widen(line) + L"\r\n";
  body += L"File25=C:\\\x00e9t\x00e9\\\x65e5\x672c.emf\r\n";
  std::wstring ticket = WriteTicket("\xFF\xFE" + Utf16(body), L"utf16.ini");
  std::vector<std::wstring> expected = KeyByKey(ticket, 30);
  EXPECT_GT(expected.size(), 10u);
  for (Road road : {kWineLines, kKeyNames}) EXPECT_EQ(OnePass(ticket, 30, road), expected) << road;
}

TEST_F(ConverterTest, OnePassReadsWhatKeyByKeyReadsOnGeneratedTickets) {
  std::mt19937 random(20261208);
  const char* const fragments[] = {"File", "FILE", "file", "Fi le", "File0", "=", " ", "\"", "'",
                                   "1", "2", "3", "07", "-", "x.emf", "C:\\p\\", ";", "\t"};
  for (int t = 0; t < 40; ++t) {
    std::string body = "[Device]\r\nDeviceName=Orvalis\r\n[EMF]\r\n";
    int lines = 1 + static_cast<int>(random() % 30);
    for (int l = 0; l < lines; ++l) {
      std::string line;
      if (random() % 2) line = "File" + std::to_string(random() % 12) + "=";
      int parts = static_cast<int>(random() % 6);
      for (int p = 0; p < parts; ++p) line += fragments[random() % (sizeof(fragments) / sizeof(*fragments))];
      body += line + "\r\n";
    }
    std::wstring ticket = WriteTicket(body, L"gen" + std::to_wstring(t) + L".ini");
    DWORD count = random() % 14;
    SCOPED_TRACE(body);
    for (Road road : {kWineLines, kWindowsLines, kKeyNames})
      EXPECT_EQ(OnePass(ticket, count, road), KeyByKey(ticket, count)) << road;
  }
}

TEST_F(ConverterTest, OnePassVisitsPagesInIndexOrderWhateverTheKeyOrder) {
  std::string body = "[Device]\r\nDeviceName=Orvalis\r\n[EMF]\r\nCount=3\r\nFile2=c\r\nFile0=a\r\nFile1=b\r\n";
  std::wstring ticket = WriteTicket(body);
  EXPECT_EQ(OnePass(ticket, 3), (std::vector<std::wstring>{L"a", L"b", L"c"}));
}

TEST_F(ConverterTest, PageCountIsReadFromTheText) {
  struct Case {
    const char* text;
    DWORD count;
  } cases[] = {{"3", 3},          {"+3", 3},        {" 12 ", 12},     {"7 pages", 7},
               {"0", 0},          {"-1", 0},        {"-0", 0},        {"", 0},
               {"x1", 0},         {"4294967295", 4294967295u},        {"4294967296", 0},
               {"0000000000000000000042", 42}};
  for (const Case& c : cases) {
    std::wstring ticket = WriteTicket(std::string("[EMF]\r\nCount=") + c.text + "\r\n");
    EXPECT_EQ(ReadPageCount(ticket.c_str()), c.count) << c.text;
  }
  EXPECT_EQ(ReadPageCount(WriteTicket("[Device]\r\n").c_str()), 0u);
}

// Memory runs short from the moment the page count has been read.
decltype(&GetPrivateProfileStringW) g_profileRead;
DWORD WINAPI ArmingProfileRead(LPCWSTR section, LPCWSTR key, LPCWSTR fallback, LPWSTR buffer,
                               DWORD size, LPCWSTR file) {
  if (key && lstrcmpW(key, L"Count") == 0) g_armed = true;
  return g_profileRead(section, key, fallback, buffer, size, file);
}

TEST_F(ConverterTest, PageListThatCannotBeReadInOnePassIsStillDeleted) {
  struct Case {
    int refused;
    const char* count;
    bool deleted;
  } cases[] = {
      {1, "3", true},               // no room for the section: its key names, then each key
      {1, "4294967295", true},      // bounded by the keys present, not by Count
      {1000, "3", true},            // no memory at all: each index below Count
      {1000, "4294967295", false},  // too many to walk: nothing claimed, nothing lost
  };
  EnableLog();
  IatPatch alloc("kernel32.dll", "HeapAlloc", reinterpret_cast<const void*>(RefusingHeapAlloc));
  g_heapAlloc = alloc.original<decltype(&HeapAlloc)>();
  IatPatch arm("kernel32.dll", "GetPrivateProfileStringW",
               reinterpret_cast<const void*>(ArmingProfileRead));
  g_profileRead = arm.original<decltype(&GetPrivateProfileStringW)>();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.count) + " after " + std::to_string(c.refused));
    DeleteFileW(LogPath().c_str());
    auto pages = MakePages(3);
    std::string body = TicketBody(pages);
    body.replace(body.find("Count=3"), 7, std::string("Count=") + c.count);
    std::wstring ticket = WriteTicket(body);
    g_refused = c.refused;
    EXPECT_EQ(Run(ticket), 0);
    g_armed = false;
    EXPECT_TRUE(boxes.empty());
    for (const auto& p : pages) EXPECT_EQ(FileExists(p), !c.deleted) << Narrow(p);
    EXPECT_EQ(ReadBytes(ticket).find("[EMF]") == std::string::npos, c.deleted);
    std::vector<std::wstring> lines = {L"Converter started.", L"Delete EMF files.",
                                       L"Converter exits."};
    if (!c.deleted) lines.erase(lines.begin() + 1);
    EXPECT_EQ(ReadBytes(LogPath()), ExpectedLog(lines));
  }
}
