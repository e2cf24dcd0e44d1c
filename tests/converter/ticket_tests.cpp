// The page list is read from the ticket in one pass; what it yields must be
// exactly what reading "File%d" key by key through the platform gives.
#include <random>

#include "converter_fixture.h"
#include "ticket.h"

using namespace orvltest;

namespace {

// A missing key and an empty value read alike key by key: both name no file.
void Collect(const wchar_t* path, void* context) {
  if (*path) static_cast<std::vector<std::wstring>*>(context)->push_back(path);
}

std::vector<std::wstring> OnePass(const std::wstring& ticket, DWORD count) {
  std::vector<std::wstring> files;
  EXPECT_TRUE(ForEachPageFile(ticket.c_str(), count, Collect, &files));
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
  int i = 22;
  for (size_t n : {257u, 258u, 259u, 260u, 261u, 300u})
    for (bool quoted : {false, true})
      body += "File" + std::to_string(i++) + "=" + LongValue(n, quoted) + "\r\n";
  body += "[Other]\r\nFile35=other section.emf\r\n";
  body += "[emf]\r\nFile36=second emf section.emf\r\n";
  std::wstring ticket = WriteTicket(body);
  std::vector<std::wstring> expected = KeyByKey(ticket, 40);
  EXPECT_GT(expected.size(), 20u);
  EXPECT_EQ(OnePass(ticket, 40), expected);
}

TEST_F(ConverterTest, OnePassReadsWhatKeyByKeyReadsInAUtf16Ticket) {
  std::wstring body = L"[Device]\r\nDeviceName=Orvalis\r\n[EMF]\r\nCount=30\r\n";
  for (const char* line : kTrickyLines) body += Widen(line) + L"\r\n";
  body += L"File22=C:\\\x00e9t\x00e9\\\x65e5\x672c.emf\r\n";
  std::wstring ticket = WriteTicket("\xFF\xFE" + Utf16(body), L"utf16.ini");
  std::vector<std::wstring> expected = KeyByKey(ticket, 30);
  EXPECT_GT(expected.size(), 10u);
  EXPECT_EQ(OnePass(ticket, 30), expected);
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
    EXPECT_EQ(OnePass(ticket, count), KeyByKey(ticket, count));
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
