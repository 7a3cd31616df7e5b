#include "reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "fakes.h"

namespace calvane {
namespace {

using Events = std::vector<std::string>;

class ReaderTest : public ::testing::Test {
 protected:
  ReaderEnd run() { return run_reader(ports, library, control); }

  testing::EventLog log;
  testing::FakePorts ports{log};
  testing::FakeLibrary library{log};
  ReaderControl control;
};

TEST_F(ReaderTest, ReadyComesFirstAndEndOfInputAsksForClose) {
  EXPECT_EQ(run(), ReaderEnd::EndOfInput);
  EXPECT_EQ(log.events, (Events{"write [ready]\n", "close"}));
}

TEST_F(ReaderTest, EachReadIsServedInOrderWithAPauseAfterIt) {
  ports.reads = {"[awb]", "[blc]", "note"};
  EXPECT_EQ(run(), ReaderEnd::EndOfInput);
  EXPECT_EQ(log.events, (Events{"write [ready]\n", "write [awb]", "write  OK\n", "call load awb", "write [blc]",
                                "write  OK\n", "call load blc", "write note", "write  OK\n", "close"}));
  EXPECT_EQ(ports.pauses, 3);
}

TEST_F(ReaderTest, ShortChunkAfterALongOneSeesOnlyItsOwnBytes) {
  ports.reads = {std::string(990, 'x') + "[awb]", "[b"};
  run();
  EXPECT_EQ(log.events[4], "write [b");
  const auto calls = std::count(log.events.begin(), log.events.end(), "call load awb");
  EXPECT_EQ(calls, 1);
}

TEST_F(ReaderTest, FullSizeChunkIsEchoedWhole) {
  const std::string chunk = std::string(kChunkCapacity - 5, '.') + "[nc]\n";
  ports.reads = {chunk};
  run();
  EXPECT_EQ(log.events[1], "write " + chunk);
  EXPECT_EQ(log.events[3], "call load nc");
}

TEST_F(ReaderTest, ExitEndsTheLoopBeforeLaterInput) {
  ports.reads = {"[exit]", "[awb]"};
  EXPECT_EQ(run(), ReaderEnd::ExitCommand);
  EXPECT_EQ(log.events, (Events{"write [ready]\n", "write [exit]", "write  OK\n", "close"}));
  EXPECT_EQ(ports.reads.size(), 1u);
}

TEST_F(ReaderTest, StopLeavesAChunkReadAfterItUnansweredAndDoesNotClose) {
  control.stop();
  ports.reads = {"[awb]", "[blc]"};
  EXPECT_EQ(run(), ReaderEnd::Stopped);
  EXPECT_EQ(log.events, (Events{"write [ready]\n"}));
  EXPECT_FALSE(control.serving());
}

// The library stops the reader from inside a call, as a signal would: the
// call's chunk counts as served until the call returns, then nothing more
// is read.
class StoppingLibrary : public testing::FakeLibrary {
 public:
  StoppingLibrary(testing::EventLog& log, ReaderControl& control) : FakeLibrary(log), control_(control) {}
  void cli(const char* action, const char* module) override {
    control_.stop();
    served_during_call = control_.serving();
    FakeLibrary::cli(action, module);
  }
  bool served_during_call = false;

 private:
  ReaderControl& control_;
};

TEST_F(ReaderTest, StopDuringACallFinishesItThenStops) {
  StoppingLibrary stopping(log, control);
  ports.reads = {"[awb]", "[blc]"};
  EXPECT_EQ(run_reader(ports, stopping, control), ReaderEnd::Stopped);
  EXPECT_TRUE(stopping.served_during_call);
  EXPECT_FALSE(control.serving());
  EXPECT_EQ(log.events.back(), "call load awb");
  EXPECT_EQ(ports.reads.size(), 1u);
}

TEST_F(ReaderTest, LostOutputEndsTheLoopAndAsksForClose) {
  ports.reads = {"[awb]", "[blc]"};
  ports.writes_left = 2;  // the ready line and one echo
  EXPECT_EQ(run(), ReaderEnd::OutputGone);
  EXPECT_EQ(log.events, (Events{"write [ready]\n", "write [awb]", "close"}));
}

TEST_F(ReaderTest, LostOutputBeforeReadyReadsNothing) {
  ports.reads = {"[awb]"};
  ports.writes_left = 0;
  EXPECT_EQ(run(), ReaderEnd::OutputGone);
  EXPECT_EQ(ports.reads.size(), 1u);
}

TEST_F(ReaderTest, FailingCallDoesNotEndTheLoop) {
  library.failing_module = "awb";
  ports.reads = {"[awb]", "[cc]"};
  EXPECT_EQ(run(), ReaderEnd::EndOfInput);
  EXPECT_EQ(log.events[log.events.size() - 2], "call load cc");
}

}  // namespace
}  // namespace calvane
