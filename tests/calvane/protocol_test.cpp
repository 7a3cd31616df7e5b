#include "protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakes.h"

namespace calvane {
namespace {

using Events = std::vector<std::string>;

class ProtocolTest : public ::testing::Test {
 protected:
  ChunkOutcome serve(const std::string& chunk) {
    // As the reader hands it over: zero-terminated after the received bytes.
    std::vector<char> buffer(chunk.begin(), chunk.end());
    buffer.push_back('\0');
    return serve_chunk(buffer.data(), chunk.size(), output, library);
  }

  testing::EventLog log;
  testing::FakePorts output{log};
  testing::FakeLibrary library{log};
};

TEST_F(ProtocolTest, EchoThenAcknowledgementThenCall) {
  EXPECT_EQ(serve("[blc]\r\n"), ChunkOutcome::Served);
  EXPECT_EQ(log.events, (Events{"write [blc]\r\n", "write  OK\n", "call load blc"}));
}

TEST_F(ProtocolTest, ChunkWithoutMarkerIsOnlyEchoedAndAcknowledged) {
  EXPECT_EQ(serve("hello\n"), ChunkOutcome::Served);
  EXPECT_EQ(log.events, (Events{"write hello\n", "write  OK\n"}));
}

TEST_F(ProtocolTest, ExitWithAnotherMarkerCallsNothing) {
  EXPECT_EQ(serve("[awb][exit]"), ChunkOutcome::Exit);
  EXPECT_EQ(log.events, (Events{"write [awb][exit]", "write  OK\n"}));
}

TEST_F(ProtocolTest, EchoKeepsTheReceivedCountPastAnEmbeddedZero) {
  const std::string chunk("ab\0[awb]", 8);
  EXPECT_EQ(serve(chunk), ChunkOutcome::Served);
  EXPECT_EQ(log.events, (Events{"write " + chunk, "write  OK\n"}));
}

TEST_F(ProtocolTest, BufferedCopyIsThePlainText) {
  serve("%s%n%x [nc]");
  serve("second");
  EXPECT_EQ(output.buffered, "%s%n%x [nc]second");
}

TEST_F(ProtocolTest, FailingCallIsReportedOnItsOwnLineAndServingGoesOn) {
  library.failing_module = "lsc";
  library.failure_text = "no reference\nimage";
  EXPECT_EQ(serve("[lsc]"), ChunkOutcome::Served);
  EXPECT_EQ(log.events,
            (Events{"write [lsc]", "write  OK\n", "call load lsc", "write [error] load lsc: no reference image\n"}));
  EXPECT_EQ(serve("[cc]"), ChunkOutcome::Served);
  EXPECT_EQ(log.events.back(), "call load cc");
}

TEST_F(ProtocolTest, FailureThatIsNoStandardExceptionIsReportedToo) {
  library.foreign_failure_module = "nc";
  EXPECT_EQ(serve("[nc]"), ChunkOutcome::Served);
  EXPECT_EQ(log.events.back(), "write [error] load nc: unknown failure\n");
}

TEST_F(ProtocolTest, FailedEchoMeansTheHostIsGoneAndNothingRuns) {
  output.writes_left = 0;
  EXPECT_EQ(serve("[awb]"), ChunkOutcome::OutputGone);
  output.writes_left = 1;
  EXPECT_EQ(serve("[awb]"), ChunkOutcome::OutputGone);
  EXPECT_EQ(log.events, (Events{"write [awb]"}));
}

TEST_F(ProtocolTest, FailedErrorReportMeansTheHostIsGone) {
  library.failing_module = "xg";
  output.writes_left = 2;
  EXPECT_EQ(serve("[xg]"), ChunkOutcome::OutputGone);
}

}  // namespace
}  // namespace calvane
