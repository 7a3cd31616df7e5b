#include "interrupt.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

namespace tuning {

namespace {

// How often the installed check is asked: well under a second, rare enough
// that taking the host's lock costs nothing measurable.
constexpr auto kCheckInterval = std::chrono::milliseconds(50);

std::mutex check_mutex;
std::shared_ptr<InterruptCheck> installed_check;
std::thread::id checking_thread;
std::atomic<bool> check_present{false};
std::atomic<bool> stop_asked{false};
std::atomic<std::chrono::steady_clock::rep> next_check{0};

}  // namespace

void set_interrupt_check(InterruptCheck check) {
  std::lock_guard<std::mutex> lock(check_mutex);
  installed_check = check ? std::make_shared<InterruptCheck>(std::move(check)) : nullptr;
  checking_thread = std::this_thread::get_id();
  next_check.store(0, std::memory_order_relaxed);  // the next check asks at once
  check_present.store(installed_check != nullptr, std::memory_order_release);
}

void request_interrupt() { stop_asked.store(true, std::memory_order_relaxed); }

void clear_interrupt() { stop_asked.store(false, std::memory_order_relaxed); }

void check_interrupt() {
  if (stop_asked.load(std::memory_order_relaxed)) throw Interrupted();
  if (!check_present.load(std::memory_order_acquire)) return;
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  if (now < next_check.load(std::memory_order_relaxed)) return;
  std::shared_ptr<InterruptCheck> check;
  {
    std::lock_guard<std::mutex> lock(check_mutex);
    if (std::this_thread::get_id() != checking_thread) return;
    check = installed_check;
  }
  next_check.store(now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(kCheckInterval).count(),
                   std::memory_order_relaxed);
  if (check && (*check)()) {
    stop_asked.store(true, std::memory_order_relaxed);
    throw Interrupted();
  }
}

}  // namespace tuning
