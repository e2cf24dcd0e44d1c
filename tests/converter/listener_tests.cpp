// The sample listener orvl-listen.exe prints the reports that a real
// converter.exe broadcasts in Message Mode 1.
#include "converter_fixture.h"

using namespace orvltest;

namespace {

// A running orvl-listen.exe whose standard output goes to a file.
class Listener {
 public:
  Listener(const std::wstring& outputPath, const std::wstring& arguments) : path_(outputPath) {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE out = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return;
    std::wstring line = L"\"" + BinDir() + L"\\orvl-listen.exe\" " + arguments;
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = out;
    started_ = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                              &si, &pi_) != 0;
    CloseHandle(out);
  }
  ~Listener() {
    if (!started_) return;
    if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi_.hProcess, 99);
    CloseHandle(pi_.hProcess);
    CloseHandle(pi_.hThread);
  }
  bool started() const { return started_; }
  // Waits until the listener has printed a line starting with this text.
  bool WaitForOutput(const std::string& text, DWORD milliseconds) {
    DWORD start = GetTickCount();
    do {
      if (Output().find(text) != std::string::npos) return true;
      Sleep(20);
    } while (GetTickCount() - start < milliseconds);
    return false;
  }
  DWORD Wait(DWORD milliseconds) {
    if (!started_ || WaitForSingleObject(pi_.hProcess, milliseconds) != WAIT_OBJECT_0) return 0xFFFFFFFF;
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(pi_.hProcess, &code);
    return code;
  }
  std::string Output() const { return ReadBytes(path_); }

 private:
  std::wstring path_;
  PROCESS_INFORMATION pi_ = {};
  bool started_ = false;
};

}  // namespace

class ListenerTest : public ConverterTest {
 protected:
  RunResult RunConverterExe(const std::wstring& tail) {
    return RunProgram(BinDir() + L"\\converter.exe", tail);
  }
};

TEST_F(ListenerTest, PrintsEachReportAndExitsAfterTheCount) {
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Message Mode", 1);
  std::wstring out = dir.file(L"listener.txt");
  Listener listener(out, L"2 60");
  ASSERT_TRUE(listener.started());
  ASSERT_TRUE(listener.WaitForOutput("listening\r\n", 30000)) << listener.Output();

  RunResult noPages = RunConverterExe(WriteTicket("[Device]\r\nDeviceName=Orvalis\r\n"));
  EXPECT_EQ(noPages.exitCode, 0u);
  EXPECT_TRUE(noPages.boxes.empty());
  {
    DenyKeyAccess deny(HKEY_LOCAL_MACHINE, kDefaultsKey);
    RunResult denied = RunConverterExe(WriteTicket(TicketBody(MakePages(1)), L"two.ini"));
    EXPECT_EQ(denied.exitCode, 1u);
    EXPECT_TRUE(denied.boxes.empty());
  }
  EXPECT_EQ(listener.Wait(30000), 0u);
  EXPECT_EQ(listener.Output(),
            "listening\r\n"
            "report 0xF012 (61458) error 0\r\n"
            "report 0xF013 (61459) error 5\r\n");
}

TEST_F(ListenerTest, SuccessfulJobSendsNoReportAndTheTimeoutEndsTheListener) {
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Message Mode", 1);
  std::wstring out = dir.file(L"listener.txt");
  Listener listener(out, L"1 3");
  ASSERT_TRUE(listener.started());
  ASSERT_TRUE(listener.WaitForOutput("listening\r\n", 30000)) << listener.Output();
  auto pages = MakePages(2);
  RunResult ok = RunConverterExe(WriteTicket(TicketBody(pages)));
  EXPECT_EQ(ok.exitCode, 0u);
  EXPECT_FALSE(FileExists(pages[0]));
  EXPECT_EQ(listener.Wait(30000), 1u);
  EXPECT_EQ(listener.Output(), "listening\r\ntimeout after 0 report(s)\r\n");
}

TEST_F(ListenerTest, RejectsArgumentsThatAreNotCounts) {
  std::wstring out = dir.file(L"listener.txt");
  Listener listener(out, L"two");
  ASSERT_TRUE(listener.started());
  EXPECT_EQ(listener.Wait(30000), 2u);
  EXPECT_EQ(listener.Output(), "usage: orvl-listen [count [timeout-seconds]]\r\n");
}
