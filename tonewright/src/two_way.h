// Two-way parallelism for the row loops: the library's helper thread beside
// the caller's, the two sharing the rows. When the helper is busy with
// another call a thread is started for this one; if none can be started the
// caller's thread does all the work, so a stage never stops half done.
#pragma once

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <utility>

#include "helper_thread.h"

namespace tonewright {

// Rows below this run on the caller's thread alone: handing work over costs
// more than it saves.
constexpr long kMinParallelWork = 1 << 14;

template <typename A, typename B>
void run_both(A&& first, B&& second) {
  std::exception_ptr first_error, second_error;
  auto guarded_first = [&] {
    try {
      first();
    } catch (...) {
      first_error = std::current_exception();
    }
  };
  HelperLease helper;
  std::thread worker;
  bool started = false;
  if (helper.held()) {
    helper.start([](void* job) { (*static_cast<decltype(guarded_first)*>(job))(); }, &guarded_first);
    started = true;
  } else {
    try {
      worker = std::thread(guarded_first);
      started = true;
    } catch (...) {
    }
  }
  try {
    second();
  } catch (...) {
    second_error = std::current_exception();
  }
  if (!started)
    guarded_first();
  else if (helper.held())
    helper.wait();
  else
    worker.join();
  if (first_error) std::rethrow_exception(first_error);
  if (second_error) std::rethrow_exception(second_error);
}

// Calls body(chunk_begin, chunk_end, part) over [begin, end) in chunks of
// `chunk` rows, each thread taking the next chunk as it finishes one: when
// other work on the machine slows one thread down, it takes fewer chunks
// instead of holding the other up at the end. `part` is the thread, 0 or 1.
// `aside()` runs once, on one thread before it takes its first chunk: work
// the rows do not wait for, done while the other thread starts on them.
template <typename Body, typename Aside>
void share_rows(int begin, int end, int chunk, long work_per_row, Body&& body, Aside&& aside) {
  if (long(end - begin) * work_per_row < kMinParallelWork || end - begin < 2) {
    aside();
    body(begin, end, 0);
    return;
  }
  std::atomic<int> next{begin};
  auto take_chunks = [&](int part) {
    for (;;) {
      const int b = next.fetch_add(chunk);
      if (b >= end) return;
      body(b, std::min(b + chunk, end), part);
    }
  };
  run_both(
      [&] {
        aside();
        take_chunks(0);
      },
      [&] { take_chunks(1); });
}

template <typename Body>
void share_rows(int begin, int end, int chunk, long work_per_row, Body&& body) {
  share_rows(begin, end, chunk, work_per_row, std::forward<Body>(body), [] {});
}

}  // namespace tonewright
