// Installing twice, removing twice, and removing after an install that failed
// at each of its steps: every removal leaves the spooler and the file system
// as they were before the first install.
#include <functional>

#include "setup_fixture.h"

using namespace orvltest;

namespace {


}  // namespace

class RobustnessTest : public SetupTest {
 protected:
  // Everything an install can leave behind is gone again.
  void ExpectClean(const std::string& after) {
    EXPECT_FALSE(PrinterPresent(L"Orvalis")) << after;
    EXPECT_FALSE(DriverRegistered(L"Orvalis")) << after;
    EXPECT_FALSE(MonitorRegistered(L"MONorvl")) << after;
    EXPECT_FALSE(PortListed(L"orvl")) << after;
    EXPECT_FALSE(FileExists(SystemDir() + L"\\orvlpm.dll")) << after;
    for (const wchar_t* f : {L"orvl.gpd", L"orvlui.dll", L"orvlui2.exe", L"orvl.ini"})
      EXPECT_FALSE(FileExists(DriverDir() + L"\\3\\" + f)) << after << ": " << Narrow(f);
    EXPECT_EQ(PlainFiles(DriverDir()), stagingBefore) << after;
  }
  // Removes silently through the same entry the "/U" switch takes.
  int Remove() {
    ResetState(1);
    BoxCapture boxes;
    int code = UninstallPrinter();
    EXPECT_TRUE(boxes.boxes().empty());
    return code;
  }
  // Installs silently with a failure injected and checks its exit code; the
  // removal afterwards must leave nothing behind.
  void FailThenRemove(const std::string& step, int expectedExit,
                      const std::function<void()>& inject = nullptr) {
    SCOPED_TRACE(step);
    ResetState(1);
    {
      BoxCapture boxes;  // the missing-INF box shows even when silent
      if (inject) {
        inject();
      } else {
        EXPECT_EQ(InstallPrinter(), expectedExit);
      }
    }
    EXPECT_EQ(Remove(), 0);
    ExpectClean("removal after a failed " + step);
    EXPECT_EQ(Remove(), 0);
    ExpectClean("second removal after a failed " + step);
  }
};

TEST_F(RobustnessTest, InstallTwiceThenRemoveTwiceEndsClean) {
  ResetState(1);
  ASSERT_EQ(InstallPrinter(), 0);
  ResetState(1);
  ASSERT_EQ(InstallPrinter(), 0);
  EXPECT_TRUE(PrinterPresent(L"Orvalis"));
  EXPECT_TRUE(DriverRegistered(L"Orvalis"));
  EXPECT_TRUE(MonitorRegistered(L"MONorvl"));
  EXPECT_TRUE(PortListed(L"orvl"));
  EXPECT_EQ(PlainFiles(DriverDir()), stagingBefore);
  EXPECT_EQ(Remove(), 0);
  ExpectClean("first removal");
  EXPECT_EQ(Remove(), 0);
  ExpectClean("second removal");
}

TEST_F(RobustnessTest, InstallRemoveInstallRemoveEndsClean) {
  for (int round = 1; round <= 2; ++round) {
    ResetState(1);
    ASSERT_EQ(InstallPrinter(), 0) << round;
    EXPECT_TRUE(PrinterPresent(L"Orvalis")) << round;
    EXPECT_EQ(Remove(), 0) << round;
    ExpectClean("removal in round " + std::to_string(round));
  }
}

TEST_F(RobustnessTest, RemovalAfterAFailedMonitorCopyEndsClean) {
  DeleteFileW(package.file(L"orvlpm.dll").c_str());
  FailThenRemove("monitor copy", 5);
}

TEST_F(RobustnessTest, RemovalAfterARefusedMonitorEndsClean) {
  IatPatch add("winspool.drv", "AddMonitorW", reinterpret_cast<const void*>(RefusingAddMonitorW));
  FailThenRemove("monitor registration", 5);
}

TEST_F(RobustnessTest, RemovalAfterARefusedPortEndsClean) {
  IatPatch xcv("winspool.drv", "XcvDataW", reinterpret_cast<const void*>(RefusingXcvDataW));
  FailThenRemove("port creation", 6, [] {
    EXPECT_EQ(InstallPrinter(), 6);
    EXPECT_TRUE(MonitorRegistered(L"MONorvl"));  // not rolled back by the install itself
  });
}

TEST_F(RobustnessTest, RemovalAfterAMissingSystemInfEndsClean) {
  RemoveInfFixture();
  FailThenRemove("system driver step", 7, [] {
    EXPECT_EQ(InstallPrinter(), 7);
    EXPECT_TRUE(PortListed(L"orvl"));
  });
}

TEST_F(RobustnessTest, RemovalAfterAMissingPackageFileEndsClean) {
  DeleteFileW(package.file(L"orvl.ini").c_str());
  FailThenRemove("package file copy", 0);
}

TEST_F(RobustnessTest, RemovalAfterARefusedDriverEndsClean) {
  IatPatch add("winspool.drv", "AddPrinterDriverW",
               reinterpret_cast<const void*>(RefusingAddPrinterDriverW));
  FailThenRemove("driver registration", 8);
}

TEST_F(RobustnessTest, RemovalAfterARefusedPrinterEndsClean) {
  IatPatch add("winspool.drv", "AddPrinterW", reinterpret_cast<const void*>(RefusingAddPrinterW));
  FailThenRemove("printer creation", 9, [] {
    EXPECT_EQ(InstallPrinter(), 9);
    EXPECT_TRUE(DriverRegistered(L"Orvalis"));
  });
}

TEST_F(RobustnessTest, RemovalAfterAVanishedPrinterEndsClean) {
  IatPatch add("winspool.drv", "AddPrinterW", reinterpret_cast<const void*>(VanishingAddPrinterW));
  g_realAddPrinterW = add.original<decltype(&AddPrinterW)>();
  FailThenRemove("printer check", 9);
}
