#include "progress.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace tuning {

namespace {

std::mutex hook_mutex;
std::shared_ptr<ProgressHook> installed_hook;
std::atomic<bool> hook_present{false};

}  // namespace

void set_progress_hook(ProgressHook hook) {
  std::lock_guard<std::mutex> lock(hook_mutex);
  installed_hook = hook ? std::make_shared<ProgressHook>(std::move(hook)) : nullptr;
  hook_present.store(installed_hook != nullptr, std::memory_order_release);
}

bool progress_wanted() { return hook_present.load(std::memory_order_acquire); }

void report_progress(const ProgressStep& step) {
  if (!progress_wanted()) return;
  std::shared_ptr<ProgressHook> hook;
  {
    std::lock_guard<std::mutex> lock(hook_mutex);
    hook = installed_hook;
  }
  if (hook) (*hook)(step);
}

}  // namespace tuning
