// Two-way parallelism for the row loops: one extra thread, the caller's
// thread doing the other half. If no thread can be started both halves run
// on the caller's thread, so a stage never stops half done.
#pragma once

#include <exception>
#include <thread>
#include <utility>

namespace tonewright {

// Rows below this run on the caller's thread alone: starting a thread costs
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
    std::thread worker;
    bool started = false;
    try {
        worker = std::thread(guarded_first);
        started = true;
    } catch (...) {
    }
    try {
        second();
    } catch (...) {
        second_error = std::current_exception();
    }
    if (started)
        worker.join();
    else
        guarded_first();
    if (first_error) std::rethrow_exception(first_error);
    if (second_error) std::rethrow_exception(second_error);
}

// Calls body(begin, mid, part) and body(mid, end, part) on the two threads;
// `work_per_row` decides whether a second thread pays off.
template <typename Body>
void split_rows(int begin, int end, long work_per_row, Body&& body) {
    if (long(end - begin) * work_per_row < kMinParallelWork || end - begin < 2) {
        body(begin, end, 0);
        return;
    }
    const int mid = begin + (end - begin) / 2;
    run_both([&] { body(begin, mid, 0); }, [&] { body(mid, end, 1); });
}

}  // namespace tonewright
