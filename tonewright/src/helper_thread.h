// The library's one helper thread, started by the first call and kept for
// the later ones: starting a thread costs more than a stage of a small
// frame. One call holds the helper at a time; a call that finds it held
// (another thread's call running at the same moment) gets no lease and
// starts a thread of its own, as before.
#pragma once

namespace tonewright {

class HelperLease {
 public:
  // Takes the helper if it is free, starting its thread the first time.
  HelperLease();
  ~HelperLease();
  HelperLease(const HelperLease&) = delete;
  HelperLease& operator=(const HelperLease&) = delete;

  // False when the helper is busy or no thread could be started.
  bool held() const { return helper_ != nullptr; }
  // Runs job(context) on the helper; requires held() and no job running.
  // The job must not throw.
  void start(void (*job)(void*), void* context);
  // Returns once the job started last has returned.
  void wait();

 private:
  struct Helper* helper_ = nullptr;
};

}  // namespace tonewright
