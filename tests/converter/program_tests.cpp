// The real converter.exe, started as the job's starter starts it.
#include <algorithm>

#include "converter_fixture.h"

using namespace orvltest;

namespace {

std::wstring ConverterExe() { return BinDir() + L"\\converter.exe"; }

}  // namespace

class ConverterProgramTest : public ConverterTest {
 protected:
  RunResult RunExe(const std::wstring& tail) { return RunProgram(ConverterExe(), tail); }
};

TEST_F(ConverterProgramTest, ProcessesAJobAndLogsIt) {
  EnableLog();
  auto pages = MakePages(3);
  std::wstring ticket = WriteTicket("[Job]\r\nId=7\r\n" + TicketBody(pages));
  RunResult r = RunExe(ticket);
  ASSERT_TRUE(r.started);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(r.boxes.empty());
  for (const auto& p : pages) EXPECT_FALSE(FileExists(p));
  std::string after = ReadBytes(ticket);
  EXPECT_EQ(after.find("[EMF]"), std::string::npos);
  EXPECT_NE(after.find("Id=7"), std::string::npos);
  EXPECT_EQ(LogEntries(ReadBytes(LogPath())),
            (std::vector<std::string>{"Converter started.", "Delete EMF files.", "Converter exits."}));
}

TEST_F(ConverterProgramTest, TakesAnUnquotedPathWithSpacesWhole) {
  std::wstring sub = dir.file(L"print jobs");
  CreateDirectoryW(sub.c_str(), nullptr);
  auto pages = MakePages(1);
  std::wstring ticket = sub + L"\\job one.ini";
  ASSERT_TRUE(WriteBytes(ticket, TicketBody(pages)));
  RunResult r = RunExe(ticket);
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_FALSE(FileExists(pages[0]));
}

TEST_F(ConverterProgramTest, QuotedPathShowsTheInvalidParameterBox) {
  auto pages = MakePages(1);
  std::wstring ticket = WriteTicket(TicketBody(pages));
  RunResult r = RunExe(L"\"" + ticket + L"\"");
  EXPECT_EQ(r.exitCode, 0u);
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0].caption, L"Orvalis converter");
  EXPECT_EQ(r.boxes[0].text, L"Invalid command line parameter.");
  EXPECT_TRUE(r.boxes[0].systemModal());
  EXPECT_TRUE(FileExists(pages[0]));
}

TEST_F(ConverterProgramTest, NoArgumentsShowsTheInvalidParameterBox) {
  RunResult r = RunExe(L"");
  EXPECT_EQ(r.exitCode, 0u);
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0].text, L"Invalid command line parameter.");
}

TEST_F(ConverterProgramTest, TicketOfAnotherPrinterExitsWithOne) {
  auto pages = MakePages(1);
  std::string body = TicketBody(pages, "Other Printer");
  std::wstring ticket = WriteTicket(body);
  RunResult r = RunExe(ticket);
  EXPECT_EQ(r.exitCode, 1u);
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_TRUE(FileExists(pages[0]));
  EXPECT_EQ(ReadBytes(ticket), body);
}

TEST_F(ConverterProgramTest, UserKeyClosedShowsErrorFiveAndExitsWithOne) {
  DenyKeyAccess deny(HKEY_CURRENT_USER, kUserKey);
  auto pages = MakePages(1);
  RunResult r = RunExe(WriteTicket(TicketBody(pages)));
  EXPECT_EQ(r.exitCode, 1u);
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0].text, ErrorReport(L"Failed to open registry key\nHKCU\\Software\\Orvalis", 5));
  EXPECT_TRUE(r.boxes[0].systemModal());
  EXPECT_TRUE(FileExists(pages[0]));
}

TEST_F(ConverterProgramTest, MessageModeOneBroadcastsToOtherProcesses) {
  BroadcastListener listener(L"Orvalis_notify_message");
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Message Mode", 1);
  RunResult noPages = RunExe(WriteTicket("[Device]\r\nDeviceName=Orvalis\r\n"));
  EXPECT_EQ(noPages.exitCode, 0u);
  {
    DenyKeyAccess deny(HKEY_LOCAL_MACHINE, kDefaultsKey);
    RunResult denied = RunExe(WriteTicket(TicketBody(MakePages(1)), L"two.ini"));
    EXPECT_EQ(denied.exitCode, 1u);
    EXPECT_TRUE(denied.boxes.empty());
  }
  RunResult normal = RunExe(WriteTicket(TicketBody(MakePages(1)), L"three.ini"));
  EXPECT_EQ(normal.exitCode, 0u);
  listener.Pump(100);
  EXPECT_TRUE(noPages.boxes.empty());
  ASSERT_EQ(listener.received.size(), 2u);
  EXPECT_EQ(listener.received[0], std::make_pair(WPARAM(0xF012), LPARAM(0)));
  EXPECT_EQ(listener.received[1], std::make_pair(WPARAM(0xF013), LPARAM(5)));
}

TEST_F(ConverterProgramTest, ConcurrentRunsShareOneLog) {
  EnableLog();
  const int kRuns = 8;
  std::vector<PROCESS_INFORMATION> running;
  std::vector<DWORD> pids;
  for (int i = 0; i < kRuns; ++i) {
    std::wstring ticket =
        WriteTicket("[Device]\r\nDeviceName=Orvalis\r\n", L"c" + std::to_wstring(i) + L".ini");
    std::wstring line = L"\"" + ConverterExe() + L"\" " + ticket;
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &si, &pi));
    running.push_back(pi);
    pids.push_back(pi.dwProcessId);
  }
  // Each run ends on "No pages to process." with a box: answer them all.
  std::vector<HWND> answeredBoxes;
  int answered = 0;
  DWORD start = GetTickCount();
  while (answered < kRuns && GetTickCount() - start < 60000) {
    HWND box = nullptr;
    while ((box = FindWindowExW(nullptr, box, L"#32770", L"Orvalis converter")) != nullptr) {
      wchar_t text[64] = {};
      DWORD pid = 0;
      GetWindowThreadProcessId(box, &pid);
      if (std::find(pids.begin(), pids.end(), pid) != pids.end() && GetDlgItemTextW(box, 0xFFFF, text, 64) &&
          std::find(answeredBoxes.begin(), answeredBoxes.end(), box) == answeredBoxes.end()) {
        answeredBoxes.push_back(box);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        ++answered;
      }
    }
    Sleep(10);
  }
  for (auto& pi : running) {
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
  EXPECT_EQ(answered, kRuns);
  std::vector<std::string> entries = LogEntries(ReadBytes(LogPath()));
  EXPECT_EQ(entries.size(), 2u * kRuns);
}
