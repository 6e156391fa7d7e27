// The read of one reply line and its deadline. A busy machine may give the calling thread the
// processor only after the deadline: the reply that had arrived in time must still be taken,
// and what arrives after the deadline must stay in the port.
#include <sys/ioctl.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <asio/buffer.hpp>

#include "ConnectedDevice.h"
#include "link/AttenuatorHandlerImpl.h"
#include "link/LineReader.h"

namespace {

using attsim::Action;
using attsim::Chunk;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using TORVEK::LineEnd;

class LineReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bool connected = false;
    for (int attempt = 0; attempt < 3 && !connected; ++attempt) {
      script.Expect("0in", Action::Reply(torvek_test::kDefaultIdentification));
      connected = impl.Connect(server.Path());
    }
    ASSERT_TRUE(connected);
  }

  // Writes `command` the way the transaction does, without reading.
  void Send(const std::string& command) {
    TORVEK::PurgeInput(*impl.port);
    ASSERT_EQ(impl.port->write_some(asio::buffer(command)), command.size());
  }

  // Bytes waiting in the port's input.
  int Pending() {
    int count = -1;
    ::ioctl(impl.port->native_handle(), FIONREAD, &count);
    return count;
  }

  // Waits (at most 5 s) until the port holds `count` bytes.
  bool PendingBecomes(int count) {
    const auto limit = Clock::now() + 5s;
    while (Pending() != count) {
      if (Clock::now() > limit) {
        return false;
      }
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  attsim::ScriptedResponder script;
  attsim::DeviceServer server{script};
  TORVEK::AttenuatorHandlerImpl impl;
};

TEST_F(LineReaderTest, ALineThatArrivedBeforeTheDeadlineIsTakenThoughTheReadComesLate) {
  script.Expect("0gs", Action::Reply("0GS05\r\n"));
  Send("0gs");
  ASSERT_TRUE(PendingBecomes(7));
  std::string received;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, Clock::now() - 1s), LineEnd::kComplete);
  EXPECT_EQ(received, "0GS05\r\n");
}

TEST_F(LineReaderTest, NothingThereAtTheDeadlineIsATimeOutAndLaterBytesStayInThePort) {
  script.Expect("0gs", Action::Late("0GS05\r\n", 30ms));
  Send("0gs");
  std::string received;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, Clock::now()), LineEnd::kTimedOut);
  EXPECT_EQ(received, "");
  EXPECT_TRUE(PendingBecomes(7));
}

TEST_F(LineReaderTest, HalfALineBeforeTheDeadlineIsReadAndTheRestLeft) {
  script.Expect("0gs", Action::Fragments({Chunk{0us, "0GS"}, Chunk{60ms, "05\r\n"}}));
  Send("0gs");
  std::string received;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, Clock::now() + 20ms), LineEnd::kTimedOut);
  EXPECT_EQ(received, "0GS");
  EXPECT_TRUE(PendingBecomes(4));
}

TEST_F(LineReaderTest, ATerminatorSplitAcrossTwoReadsEndsTheLine) {
  script.Expect("0gs", Action::Fragments({Chunk{0us, "0GS05\r"}, Chunk{20ms, "\n"}}));
  Send("0gs");
  std::string received;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, Clock::now() + 1s), LineEnd::kComplete);
  EXPECT_EQ(received, "0GS05\r\n");
}

TEST_F(LineReaderTest, TheDeadlineEndsTheWaitOnTime) {
  script.Expect("0gs", Action::Silence());
  Send("0gs");
  std::string received;
  const auto deadline = Clock::now() + 40ms;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, deadline), LineEnd::kTimedOut);
  const auto returned = Clock::now();
  EXPECT_GE(returned, deadline);
  EXPECT_LT(returned, deadline + 100ms);
}

TEST_F(LineReaderTest, AHangUpEndsTheReadWithWhatCame) {
  Action cut = Action::Fragments({Chunk{0us, "0G"}, Chunk{30ms, ""}});
  cut.hang_up = true;
  script.Expect("0gs", cut);
  Send("0gs");
  std::string received;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, Clock::now() + 5s), LineEnd::kPortFailed);
  EXPECT_EQ(received, "0G");
}

}  // namespace
