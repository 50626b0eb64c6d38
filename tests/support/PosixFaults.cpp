#include "support/PosixFaults.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

#include "platform/posix_calls.h"

namespace {

PosixFaults* Active = nullptr;

const TPosixCalls& Real() { return SystemPosixCalls(); }

int Open(const char* Path, int Flags, mode_t Mode) {
  return Active->Enter("open") ? -1 : Real().Open(Path, Flags, Mode);
}
ssize_t Read(int Fd, void* Buffer, size_t Count) {
  return Active->Enter("read") ? -1 : Real().Read(Fd, Buffer, Count);
}
ssize_t Write(int Fd, const void* Buffer, size_t Count) {
  if (Active->Enter("write")) return -1;
  return Real().Write(Fd, Buffer, std::min(Count, Active->WriteLimit()));
}
int Fsync(int Fd) { return Active->Enter("fsync") ? -1 : Real().Fsync(Fd); }
int Close(int Fd) {
  // The descriptor is released even when the call reports a failure, as
  // close() does on Linux.
  const bool Fail = Active->Enter("close");
  const int Error = errno;
  const int Result = Real().Close(Fd);
  if (!Fail) return Result;
  errno = Error;
  return -1;
}
int Rename(const char* From, const char* To) {
  return Active->Enter("rename") ? -1 : Real().Rename(From, To);
}
int RenameNoReplace(const char* From, const char* To) {
  return Active->Enter("renameat2") ? -1 : Real().RenameNoReplace(From, To);
}
int Link(const char* From, const char* To) {
  return Active->Enter("link") ? -1 : Real().Link(From, To);
}
int Unlink(const char* Path) { return Active->Enter("unlink") ? -1 : Real().Unlink(Path); }

}  // namespace

PosixFaults::PosixFaults() {
  if (Active != nullptr) throw std::logic_error("PosixFaults is already active");
  Active = this;
  PosixCalls() = {Open, Read, Write, Fsync, Close, Rename, RenameNoReplace, Link, Unlink};
}

PosixFaults::~PosixFaults() {
  PosixCalls() = SystemPosixCalls();
  Active = nullptr;
}

void PosixFaults::FailCall(size_t Number, int Error) {
  FFailNumber = Number;
  FFailError = Error;
}

void PosixFaults::FailEvery(std::string_view Name, int Error) {
  FRules.push_back({std::string(Name), Error, false});
}

void PosixFaults::FailOnce(std::string_view Name, int Error) {
  FRules.push_back({std::string(Name), Error, true});
}

void PosixFaults::LimitWrites(size_t Bytes) { FWriteLimit = Bytes; }

void PosixFaults::Watch(std::function<void(std::string_view)> Watcher) {
  FWatcher = std::move(Watcher);
}

size_t PosixFaults::Count(std::string_view Name) const {
  return static_cast<size_t>(std::count(FLog.begin(), FLog.end(), Name));
}

bool PosixFaults::Enter(std::string_view Name) {
  if (FWatcher) FWatcher(Name);
  const size_t Number = FLog.size();
  FLog.emplace_back(Name);
  if (Number == FFailNumber) {
    errno = FFailError;
    return true;
  }
  const auto Rule =
      std::find_if(FRules.begin(), FRules.end(), [&](const TRule& R) { return R.Name == Name; });
  if (Rule == FRules.end()) return false;
  errno = Rule->Error;
  if (Rule->Once) FRules.erase(Rule);
  return true;
}

void ForEachFailingCall(const std::function<void()>& Arrange, const std::function<void()>& Act,
                        const std::function<void(const std::string&, bool)>& Check) {
  Arrange();
  std::vector<std::string> Calls;
  {
    const PosixFaults Counter;
    Act();
    Calls = Counter.Log();
  }
  for (size_t Number = 0; Number < Calls.size(); ++Number) {
    Arrange();
    bool Raised = false;
    {
      PosixFaults Faults;
      Faults.FailCall(Number, EIO);
      try {
        Act();
      } catch (const std::exception&) {
        Raised = true;
      }
    }
    Check(Calls[Number] + " #" + std::to_string(Number), Raised);
  }
}
