// Forced into every GoogleTest translation unit. With the win32 thread model
// gcc has no std::mutex, so gtest's own Notification cannot be built; only
// gtest's thread tests use it, and our suites are single-threaded.
#pragma once
#define GTEST_HAS_NOTIFICATION_ 1
namespace testing {
namespace internal {
class Notification {
 public:
  Notification() : notified_(false) {}
  void Notify() { notified_ = true; }
  void WaitForNotification() {}

 private:
  bool notified_;
};
}  // namespace internal
}  // namespace testing
