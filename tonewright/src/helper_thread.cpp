#include "helper_thread.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

#if defined(_WIN32)
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tonewright {

namespace {

#if defined(_WIN32)
long process_id() { return long(GetCurrentProcessId()); }

// The helper's code must stay loaded while its thread waits in it: the
// library is pinned for the life of the process.
bool pin_library() {
  HMODULE self = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&pin_library), &self) != 0;
}
#else
long process_id() { return long(getpid()); }
// The shared library is linked so that it is never unloaded.
bool pin_library() { return true; }
#endif

}  // namespace

struct Helper {
  explicit Helper(long pid) : owner(pid) {}

  const long owner;  // the process that made it: a forked child has no helper thread
  std::mutex lease;  // held by the call using the helper
  std::mutex state;
  std::condition_variable posted, finished;
  bool started = false;          // the thread runs (under lease)
  void (*job)(void*) = nullptr;  // under state
  void* context = nullptr;
  bool done = true;

  void serve() {
    for (;;) {
      std::unique_lock<std::mutex> lock(state);
      posted.wait(lock, [&] { return job != nullptr; });
      void (*run)(void*) = job;
      void* with = context;
      lock.unlock();
      run(with);
      lock.lock();
      job = nullptr;
      done = true;
      lock.unlock();
      finished.notify_one();
    }
  }
};

namespace {

// The helper of this process. One made before a fork belongs to the parent
// and is left alone: its mutexes may be held by a thread the child lacks.
// Never freed, so its thread can wait in it until the process ends.
Helper* process_helper() {
  static std::mutex guard;
  static Helper* helper = nullptr;
  const long pid = process_id();
  std::unique_lock<std::mutex> lock(guard, std::try_to_lock);
  if (!lock.owns_lock()) return nullptr;  // taken by another call, or held at a fork
  if (!helper || helper->owner != pid) helper = new (std::nothrow) Helper(pid);
  return helper;
}

}  // namespace

HelperLease::HelperLease() {
  Helper* h = process_helper();
  if (!h || !h->lease.try_lock()) return;
  if (!h->started) {
    try {
      if (!pin_library()) throw std::runtime_error("library not pinned");
      std::thread(&Helper::serve, h).detach();
      h->started = true;
    } catch (...) {
      h->lease.unlock();
      return;
    }
  }
  helper_ = h;
}

HelperLease::~HelperLease() {
  if (!helper_) return;
  wait();
  helper_->lease.unlock();
}

void HelperLease::start(void (*job)(void*), void* context) {
  {
    std::lock_guard<std::mutex> lock(helper_->state);
    helper_->job = job;
    helper_->context = context;
    helper_->done = false;
  }
  helper_->posted.notify_one();
}

void HelperLease::wait() {
  std::unique_lock<std::mutex> lock(helper_->state);
  helper_->finished.wait(lock, [&] { return helper_->done; });
}

}  // namespace tonewright
