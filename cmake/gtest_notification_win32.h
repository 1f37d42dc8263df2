// GoogleTest 1.12 builds its Notification on std::mutex and
// std::condition_variable, which the win32 thread model's C++ runtime does not
// have. Only GoogleTest's own threading support uses it; this one waits on a
// Win32 event instead, and GoogleTest takes it in place of its own.
#pragma once

#include "../src/win32.h"

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
 public:
  Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace testing::internal
