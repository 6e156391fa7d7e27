// The write of a command and the read of one reply line, each with its deadline. A busy
// machine may give the calling thread the processor only after the deadline: the reply that had
// arrived in time must still be taken, and what arrives after the deadline must stay in the
// port. A line that has stopped taking bytes must not hold the caller in the write.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <asio/buffer.hpp>

#include "ConnectedDevice.h"
#include "InternalConnect.h"
#include "PseudoTerminal.h"
#include "link/AttenuatorHandlerImpl.h"
#include "link/SerialIo.h"

namespace {

using torvek::sim::Action;
using torvek::sim::Chunk;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using TORVEK::LineEnd;

class SerialIoTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(torvek::test::ConnectScripted(impl, script, server)); }

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

  torvek::sim::ScriptedResponder script;
  torvek::sim::DeviceServer server{script};
  TORVEK::AttenuatorHandlerImpl impl;
};

TEST_F(SerialIoTest, ALineThatArrivedBeforeTheDeadlineIsTakenThoughTheReadComesLate) {
  script.Expect("0gs", Action::Reply("0GS05\r\n"));
  Send("0gs");
  ASSERT_TRUE(PendingBecomes(7));
  std::string received;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, Clock::now() - 1s, impl.cancellation),
            LineEnd::kComplete);
  EXPECT_EQ(received, "0GS05\r\n");
}

TEST_F(SerialIoTest, NothingThereAtTheDeadlineIsATimeOutAndLaterBytesStayInThePort) {
  script.Expect("0gs", Action::Late("0GS05\r\n", 30ms));
  Send("0gs");
  std::string received;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, Clock::now(), impl.cancellation),
            LineEnd::kTimedOut);
  EXPECT_EQ(received, "");
  EXPECT_TRUE(PendingBecomes(7));
}

TEST_F(SerialIoTest, HalfALineBeforeTheDeadlineIsReadAndTheRestLeft) {
  script.Expect("0gs", Action::Fragments({Chunk{0us, "0GS"}, Chunk{60ms, "05\r\n"}}));
  Send("0gs");
  std::string received;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, Clock::now() + 20ms, impl.cancellation),
            LineEnd::kTimedOut);
  EXPECT_EQ(received, "0GS");
  EXPECT_TRUE(PendingBecomes(4));
}

TEST_F(SerialIoTest, ATerminatorSplitAcrossTwoReadsEndsTheLine) {
  script.Expect("0gs", Action::Fragments({Chunk{0us, "0GS05\r"}, Chunk{20ms, "\n"}}));
  Send("0gs");
  std::string received;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, Clock::now() + 1s, impl.cancellation),
            LineEnd::kComplete);
  EXPECT_EQ(received, "0GS05\r\n");
}

TEST_F(SerialIoTest, TheDeadlineEndsTheWaitOnTime) {
  script.Expect("0gs", Action::Silence());
  Send("0gs");
  std::string received;
  const auto deadline = Clock::now() + 40ms;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, deadline, impl.cancellation),
            LineEnd::kTimedOut);
  const auto returned = Clock::now();
  EXPECT_GE(returned, deadline);
  EXPECT_LT(returned, deadline + 100ms);
}

TEST_F(SerialIoTest, AHangUpEndsTheReadAsThePortGone) {
  Action cut = Action::Fragments({Chunk{0us, "0G"}, Chunk{30ms, ""}});
  cut.hang_up = true;
  script.Expect("0gs", cut);
  Send("0gs");
  std::string received;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, Clock::now() + 5s, impl.cancellation),
            LineEnd::kPortGone);
  EXPECT_EQ(received, "0G");
}

// Host programs get signals while a call waits (timers, profilers, a child process ending, an
// interpreter's Ctrl-C handler). One that interrupts the wait must neither end the read early
// nor lose the reply: the read goes on waiting for what is left of the time.
TEST_F(SerialIoTest, SignalsDuringTheWaitNeitherEndItNorLoseTheReply) {
  struct sigaction quiet {};
  quiet.sa_handler = [](int) {};
  sigemptyset(&quiet.sa_mask);  // no SA_RESTART: the wait really is interrupted
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &before), 0);
  const pthread_t reader = ::pthread_self();
  std::atomic<bool> reading{true};
  std::thread interrupter([&] {
    while (reading) {
      ::pthread_kill(reader, SIGUSR1);
      std::this_thread::sleep_for(5ms);
    }
  });

  script.Expect("0gs", Action::Late("0GS05\r\n", 60ms));
  Send("0gs");
  std::string received;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, Clock::now() + 2s, impl.cancellation),
            LineEnd::kComplete);
  EXPECT_EQ(received, "0GS05\r\n");

  script.Expect("0gs", Action::Silence());
  Send("0gs");
  received.clear();
  const auto deadline = Clock::now() + 80ms;
  EXPECT_EQ(TORVEK::ReadLineUntil(*impl.port, received, deadline, impl.cancellation),
            LineEnd::kTimedOut);
  EXPECT_GE(Clock::now(), deadline);
  EXPECT_EQ(received, "");

  reading = false;
  interrupter.join();
  ::sigaction(SIGUSR1, &before, nullptr);
}

// A port whose far end has stopped reading: the pty's queue towards the device is filled to the
// last byte, as a real port's output is when flow control holds it.
class StalledLine : public ::testing::Test {
 protected:
  void SetUp() override {
    impl.port = std::make_unique<asio::serial_port>(impl.io_context, pty.SlavePath());
    const int fd = impl.port->native_handle();
    // The kernel moves bytes on towards the master side behind the writer's back, so room
    // comes back for a while after a write has been refused.
    const std::string filler(4096, 'x');
    for (int round = 0; round < 1000; ++round) {
      for (std::size_t size = filler.size(); size > 0;) {
        if (::write(fd, filler.data(), size) < 0) {
          size /= 2;
        }
      }
      pollfd writable{fd, POLLOUT, 0};
      if (::poll(&writable, 1, 50) == 0) {
        return;
      }
    }
    FAIL() << "the line still takes bytes";
  }

  torvek::sim::PseudoTerminal pty;
  TORVEK::AttenuatorHandlerImpl impl;
};

TEST_F(StalledLine, TheWriteGivesUpAtItsDeadline) {
  const auto deadline = Clock::now() + 50ms;
  EXPECT_EQ(TORVEK::WriteCommand(*impl.port, "0gs", deadline, impl.cancellation),
            TORVEK::WriteEnd::kStalled);
  const auto returned = Clock::now();
  EXPECT_GE(returned, deadline);
  EXPECT_LT(returned, deadline + 500ms);
}

TEST_F(StalledLine, ACallGetsItsTimeOutAndALittleMoreThenPortUnavailable) {
  // The little more is the 100 ms a command may take to go out on a working line.
  for (const int timeout_ms : {0, 150}) {
    std::string reply = "untouched";
    int result = 0;
    const auto start = Clock::now();
    result = impl.Exchange("0gs", reply, timeout_ms);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(result, TORVEK::PortUnavailable) << timeout_ms;
    EXPECT_EQ(reply, "untouched");
    EXPECT_GE(elapsed, std::chrono::milliseconds(timeout_ms + 100)) << timeout_ms;
    EXPECT_LT(elapsed, std::chrono::milliseconds(timeout_ms + 1000)) << timeout_ms;
  }
}

TEST_F(StalledLine, ACancelEndsTheWaitForRoomWithATimeOut) {
  impl.cancellation.BeginCall();
  std::thread canceller([&] {
    std::this_thread::sleep_for(50ms);
    impl.cancellation.Request();
  });
  std::string reply = "untouched";
  int result = 0;
  const auto start = Clock::now();
  result = impl.Exchange("0gs", reply, 5000);
  const auto elapsed = Clock::now() - start;
  canceller.join();
  impl.cancellation.EndCall();
  EXPECT_EQ(result, TORVEK::ReplyTimeout);
  EXPECT_EQ(reply, "untouched");
  EXPECT_LT(elapsed, 2500ms) << "the write waited on";
}

TEST_F(StalledLine, OnceTheLineMovesAgainTheNextCallGoesThrough) {
  std::string reply;
  ASSERT_EQ(impl.Exchange("0gs", reply, 0), TORVEK::PortUnavailable);
  // The device reads again: it takes the filler, then answers a status query.
  std::thread device([&] {
    std::string heard;
    char chunk[4096];
    const auto give_up = Clock::now() + 5s;
    while (heard.find("0gs") == std::string::npos && Clock::now() < give_up) {
      pollfd readable{pty.MasterFd(), POLLIN, 0};
      if (::poll(&readable, 1, 10) > 0) {
        const ssize_t n = ::read(pty.MasterFd(), chunk, sizeof chunk);
        if (n > 0) {
          // Only the tail matters; the filler is dropped as it comes.
          heard = heard.substr(heard.size() > 2 ? heard.size() - 2 : 0);
          heard.append(chunk, static_cast<std::size_t>(n));
        }
      }
    }
    ASSERT_EQ(::write(pty.MasterFd(), "0GS00\r\n", 7), 7);
  });
  const int result = impl.Exchange("0gs", reply, 5000);
  device.join();
  EXPECT_EQ(result, TORVEK::Ok);
  EXPECT_EQ(reply, "0GS00\r\n");
}

}  // namespace

namespace {

// The refusals a root test run cannot provoke for real (root may open any port, exclusive or
// not), by the errors the system gives for them.
TEST(OpenRefusal, TheSystemsErrorsMeanThesePortsCannotServe) {
  using TORVEK::ConnectResult;
  const struct {
    int error;
    ConnectResult result;
  } cases[] = {
      {EACCES, ConnectResult::AccessDenied},   {EPERM, ConnectResult::AccessDenied},
      {EBUSY, ConnectResult::PortBusy},        {ENOENT, ConnectResult::NoSuchPort},
      {ENXIO, ConnectResult::NoSuchPort},      {EIO, ConnectResult::NoSuchPort},
      {ENOTTY, ConnectResult::NotASerialPort}, {EMFILE, ConnectResult::PortUnavailable},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TORVEK::OpenRefusal(std::error_code(c.error, std::system_category())), c.result)
        << c.error;
  }
}

}  // namespace
