#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Routes the file layer's POSIX calls (platform/posix_calls.h) through
// counting wrappers while the object lives, so a test can make one call fail,
// shorten writes, or look at the disk before each call. The real calls are
// back when it goes. One at a time, on one thread.
class PosixFaults {
 public:
  PosixFaults();
  ~PosixFaults();
  PosixFaults(const PosixFaults&) = delete;
  PosixFaults& operator=(const PosixFaults&) = delete;

  // The call with this number (from 0, counting every call) fails with Error.
  void FailCall(size_t Number, int Error);
  // Every call of this name ("open", "write", "renameat2", ...) fails.
  void FailEvery(std::string_view Name, int Error);
  // The next call of this name fails.
  void FailOnce(std::string_view Name, int Error);
  // Each write takes at most this many bytes.
  void LimitWrites(size_t Bytes);
  // Runs before each call, with the call's name.
  void Watch(std::function<void(std::string_view Name)> Watcher);

  // The names of the calls made so far, in order.
  const std::vector<std::string>& Log() const { return FLog; }
  size_t Count(std::string_view Name) const;

  // Called by the wrappers: logs the call and tells whether it is to fail
  // (errno then set).
  bool Enter(std::string_view Name);
  size_t WriteLimit() const { return FWriteLimit; }

 private:
  struct TRule {
    std::string Name;
    int Error;
    bool Once;
  };

  std::vector<std::string> FLog;
  size_t FFailNumber = static_cast<size_t>(-1);
  int FFailError = 0;
  std::vector<TRule> FRules;
  size_t FWriteLimit = static_cast<size_t>(-1);
  std::function<void(std::string_view)> FWatcher;
};

// Shows that an action survives a failure at any of its steps: runs Arrange
// and Act once to count Act's calls, then, for each of them, Arrange again
// and Act with that call failing (EIO), and Check with the failed call's name
// and whether Act raised.
void ForEachFailingCall(
    const std::function<void()>& Arrange, const std::function<void()>& Act,
    const std::function<void(const std::string& FailedCall, bool Raised)>& Check);
