#include "shared/interrupt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "shared/capture_bands.h"
#include "test_files.h"

using namespace tuning;

namespace {

// Leaves no check installed and no stop pending for the next test.
struct CheckGuard {
  ~CheckGuard() {
    set_interrupt_check({});
    clear_interrupt();
  }
};

}  // namespace

TEST(Interrupt, AStopAskedEndsAFoldBeforeItsNextBandAndIsForgottenAfter) {
  CheckGuard guard;
  tunekit_test::ScratchDir dir;
  const std::vector<std::string> files = {dir.file("a.raw"), dir.file("b.raw")};
  for (const auto& f : files) tunekit_test::write_samples(f, tunekit_test::filled(8 * 4, 1));
  int bands = 0;
  const auto count = [&](const std::uint16_t*, std::int64_t, std::int64_t) { ++bands; };
  set_interrupt_check([] { return true; });
  EXPECT_THROW(for_each_capture_band(files, CaptureFormat{}, 4, 8, ShapeRule::exact, count), Interrupted);
  EXPECT_EQ(bands, 0);
  set_interrupt_check({});
  EXPECT_THROW(check_interrupt(), Interrupted);  // still pending until the host has reported it
  clear_interrupt();
  for_each_capture_band(files, CaptureFormat{}, 4, 8, ShapeRule::exact, count);
  EXPECT_EQ(bands, 2);
}

TEST(Interrupt, OnlyTheInstallingThreadAsksButEveryThreadStops) {
  CheckGuard guard;
  std::atomic<int> asked{0};
  bool stop = false;
  set_interrupt_check([&] {
    ++asked;
    return stop;
  });
  std::thread([] { check_interrupt(); }).join();
  EXPECT_EQ(asked.load(), 0);
  stop = true;
  set_interrupt_check([&] {
    ++asked;
    return stop;
  });
  EXPECT_THROW(check_interrupt(), Interrupted);
  EXPECT_EQ(asked.load(), 1);
  bool other_stopped = false;
  std::thread([&] {
    try {
      check_interrupt();
    } catch (const Interrupted&) {
      other_stopped = true;
    }
  }).join();
  EXPECT_TRUE(other_stopped);
}
