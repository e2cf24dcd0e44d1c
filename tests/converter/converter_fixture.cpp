#include "converter_fixture.h"

#include <regex>

using namespace orvltest;

const wchar_t kMachineKey[] = L"Software\\Orvalis";
const wchar_t kDefaultsKey[] = L"Software\\Orvalis\\Defaults";
const wchar_t kUserKey[] = L"Software\\Orvalis";
const char kFixedStamp[] = "2021-03-05 09:00:12.005:\t";

void WINAPI FixedSystemTime(LPSYSTEMTIME time) {
  SYSTEMTIME t = {};
  t.wYear = 2021;
  t.wMonth = 3;
  t.wDay = 5;
  t.wDayOfWeek = 5;
  t.wHour = 9;
  t.wMinute = 0;
  t.wSecond = 12;
  t.wMilliseconds = 5;
  *time = t;
}

std::wstring SystemText(DWORD error) {
  wchar_t text[512] = {};
  FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                 text, 512, nullptr);
  return text;
}

std::wstring ErrorReport(const std::wstring& context, DWORD error) {
  return context + L"\nError # " + std::to_wstring(static_cast<int>(error)) + L": " +
         SystemText(error);
}

std::string Utf16(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::string Utf8(const std::wstring& w) { return Narrow(w); }

std::string ExpectedLog(const std::vector<std::wstring>& entries, bool bom) {
  std::string out = bom ? std::string("\xFF\xFE", 2) : std::string();
  for (const std::wstring& e : entries) out += Utf16(Widen(kFixedStamp) + e + L"\r\n");
  return out;
}

void ConverterTest::SetUp() {
  DeleteTree(HKEY_LOCAL_MACHINE, kMachineKey);
  DeleteTree(HKEY_CURRENT_USER, kUserKey);
}

void ConverterTest::TearDown() {
  DeleteTree(HKEY_LOCAL_MACHINE, kMachineKey);
  DeleteTree(HKEY_CURRENT_USER, kUserKey);
}

std::wstring ConverterTest::WriteTicket(const std::string& body, const std::wstring& name) {
  std::wstring path = dir.file(name);
  EXPECT_TRUE(WriteBytes(path, body));
  return path;
}

std::vector<std::wstring> ConverterTest::MakePages(int count) {
  std::vector<std::wstring> pages;
  for (int i = 0; i < count; ++i) {
    pages.push_back(dir.file(L"page" + std::to_wstring(i) + L".emf"));
    EXPECT_TRUE(WriteBytes(pages.back(), "EMF page " + std::to_string(i)));
  }
  return pages;
}

std::string ConverterTest::TicketBody(const std::vector<std::wstring>& pages,
                                      const std::string& device) {
  std::string body = "[Device]\r\nDeviceName=" + device + "\r\n[EMF]\r\nCount=" +
                     std::to_string(pages.size()) + "\r\n";
  for (size_t i = 0; i < pages.size(); ++i)
    body += "File" + std::to_string(i) + "=" + Narrow(pages[i]) + "\r\n";
  return body;
}

void ConverterTest::EnableLog() {
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Log", 1);
  SetString(HKEY_LOCAL_MACHINE, kMachineKey, L"LogDestDir", dir.path());
}

int ConverterTest::Run(const std::wstring& commandLine) {
  IatPatch clock("kernel32.dll", "GetSystemTime", reinterpret_cast<const void*>(FixedSystemTime));
  BoxCapture capture;
  int code = RunConverter(commandLine.c_str());
  boxes = capture.boxes();
  return code;
}

std::vector<std::string> LogEntries(const std::string& bytes) {
  std::vector<std::string> entries;
  EXPECT_GE(bytes.size(), 2u);
  if (bytes.size() < 2) return entries;
  EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE", 2));
  std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
  std::string utf8 = Narrow(text);
  std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}:\\t([^\\r\\n]*)\\r\\n");
  size_t covered = 0;
  for (auto it = std::sregex_iterator(utf8.begin(), utf8.end(), line); it != std::sregex_iterator();
       ++it) {
    EXPECT_EQ(static_cast<size_t>(it->position()), covered) << "torn line in " << utf8;
    covered = it->position() + it->length();
    entries.push_back((*it)[1]);
  }
  EXPECT_EQ(covered, utf8.size()) << utf8;
  return entries;
}
