#include "workers/MainThreadDispatch.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

namespace {

struct TSyncRequest {
  std::function<void()> Method;
  std::exception_ptr Error;
  bool Done = false;
  std::condition_variable Signal;
};

// Process-wide state. The main thread is the one that initialises the
// program's statics, which is the thread that runs main().
std::mutex QueueLock;
std::deque<TSyncRequest*> Pending;
std::function<void()> WakeMainThread;
bool Dispatching = false;
const std::thread::id MainThreadId = std::this_thread::get_id();

}  // namespace

void Synchronize(std::function<void()> Method) {
  if (std::this_thread::get_id() == MainThreadId) {
    Method();
    return;
  }
  TSyncRequest request;
  request.Method = std::move(Method);
  std::function<void()> wake;
  {
    std::lock_guard lock(QueueLock);
    Pending.push_back(&request);
    wake = WakeMainThread;
  }
  if (wake) wake();
  std::unique_lock lock(QueueLock);
  request.Signal.wait(lock, [&] { return request.Done; });
  if (request.Error) std::rethrow_exception(request.Error);
}

bool CheckSynchronize() {
  std::deque<TSyncRequest*> batch;
  {
    std::lock_guard lock(QueueLock);
    if (Dispatching || Pending.empty()) return false;
    Dispatching = true;
  }
  // Requests that arrive while a batch runs are taken by the next round: a
  // wake-up they posted may have been used up by a nested event loop whose
  // own call returned early.
  for (;;) {
    {
      std::lock_guard lock(QueueLock);
      batch.swap(Pending);
      if (batch.empty()) {
        Dispatching = false;
        return true;
      }
    }
    for (TSyncRequest* request : batch) {
      std::exception_ptr error;
      try {
        request->Method();
      } catch (...) {
        error = std::current_exception();
      }
      // The request lives on the waiting worker's stack: once Done is seen
      // the worker may return, so the signal is given while the lock is still
      // held and the request is not touched afterwards. The error moves over
      // whole: the worker becomes its only owner.
      std::lock_guard lock(QueueLock);
      request->Error = std::move(error);
      request->Done = true;
      request->Signal.notify_one();
    }
    batch.clear();
  }
}

void SetWakeMainThread(std::function<void()> WakeUp) {
  std::lock_guard lock(QueueLock);
  WakeMainThread = std::move(WakeUp);
}
