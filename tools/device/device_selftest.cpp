#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CommandSplitter.h"
#include "DeviceServer.h"
#include "Frames.h"
#include "ProcessCounters.h"
#include "Responder.h"

namespace torvek::sim {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

// The host end, as a driver would open it.
class Host {
 public:
  explicit Host(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
  ~Host() { Close(); }
  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }
  bool Write(const std::string& s) { return write(fd_, s.data(), s.size()) == ssize_t(s.size()); }

  // Reads until `n` bytes have arrived, or until `timeout` ran out or the line failed.
  std::string Read(size_t n, milliseconds timeout) {
    std::string got;
    const auto deadline = Clock::now() + timeout;
    while (got.size() < n) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0)
        break;
      char buf[256];
      const ssize_t r = read(fd_, buf, std::min(sizeof buf, n - got.size()));
      if (r <= 0)
        break;
      got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }

  // Reads up to and including CR LF.
  std::string ReadLine(milliseconds timeout) {
    std::string line;
    const auto deadline = Clock::now() + timeout;
    while (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      const std::string c = Read(1, std::max(left, 0ms));
      if (c.empty())
        break;
      line += c;
    }
    return line;
  }

 private:
  int fd_;
};

template <typename Pred>
bool Eventually(Pred pred, milliseconds timeout = 1000ms) {
  const auto deadline = Clock::now() + timeout;
  while (!pred()) {
    if (Clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(Frames, ExactBytes) {
  EXPECT_EQ(StatusFrame(0x1F), "0GS1F\r\n");
  EXPECT_EQ(StatusFrame(0), "0GS00\r\n");
  EXPECT_EQ(StatusFrame(0x0C, '3'), "3GS0C\r\n");
  EXPECT_THROW(StatusFrame(256), std::out_of_range);
  EXPECT_THROW(StatusFrame(-1), std::out_of_range);
  EXPECT_EQ(PositionFrame(0x12AB), "0PO000012AB\r\n");
  EXPECT_EQ(PositionFrame(-1), "0POFFFFFFFF\r\n");
  EXPECT_EQ(PositionFrame(INT32_MIN), "0PO80000000\r\n");
  EXPECT_EQ(HomeOffsetFrame(-2), "0HOFFFFFFFE\r\n");
  EXPECT_EQ(HomeOffsetFrame(0xABCDEF), "0HO00ABCDEF\r\n");
}

TEST(Frames, InfoFromDataOrFields) {
  const std::string data = "00ABCDEFGH1234XY9Z0168000089AB";
  ASSERT_EQ(data.size(), 30u);
  EXPECT_EQ(InfoFrame(data), "0IN" + data + "\r\n");
  EXPECT_EQ(InfoFrame(data).size(), 35u);
  InfoFields f;
  f.ident_a = "ABCDEFGH";
  f.ident_b = "1234";
  f.ident_c = "XY";
  f.ident_d = "9Z";
  f.degrees_per_revolution = 360;
  f.pulses_per_revolution = 0x89AB;
  EXPECT_EQ(InfoFrame(f), "0IN" + data + "\r\n");
  f.ident_b = "123";
  EXPECT_THROW(InfoFrame(f), std::invalid_argument);
  EXPECT_THROW(InfoFrame(std::string(29, '0')), std::invalid_argument);
}

TEST(CommandSplitter, SplitsByLengthOnly) {
  CommandSplitter s;
  s.Feed("0g");
  EXPECT_FALSE(s.Next());
  EXPECT_EQ(s.Pending(), "0g");
  s.Feed("s0ma0000");
  EXPECT_EQ(s.Pending(), "0ma0000");
  EXPECT_EQ(s.Next(), "0gs");
  EXPECT_FALSE(s.Next());
  s.Feed("FFFF0ho00gpX");
  EXPECT_EQ(s.Next(), "0ma0000FFFF");
  EXPECT_EQ(s.Next(), "0ho0");
  EXPECT_EQ(s.Next(), "0gp");
  EXPECT_FALSE(s.Next());
  EXPECT_EQ(s.Pending(), "X");
  s.Feed("ab7in");  // address is not checked
  EXPECT_EQ(s.Next(), "Xab");
  EXPECT_EQ(s.Next(), "7in");
  EXPECT_EQ(s.Pending(), "");
}

TEST(ScriptedResponder, FollowsScriptAndReportsDeviations) {
  ScriptedResponder r;
  r.Expect("0gs", Action::Reply("A"));
  r.Expect("0gp", Action::Late("B", 5ms));
  EXPECT_TRUE(r.OnCommand("0gp").chunks.empty());  // not next: silence, script unchanged
  const Action a = r.OnCommand("0gs");
  ASSERT_EQ(a.chunks.size(), 1u);
  EXPECT_EQ(a.chunks[0].bytes, "A");
  EXPECT_EQ(r.Remaining(), std::vector<std::string>{"0gp"});
  const Action b = r.OnCommand("0gp");
  ASSERT_EQ(b.chunks.size(), 1u);
  EXPECT_EQ(b.chunks[0].delay_before, 5000us);
  EXPECT_TRUE(r.OnCommand("0st").chunks.empty());
  EXPECT_EQ(r.Unexpected(), (std::vector<std::string>{"0gp", "0st"}));
  EXPECT_TRUE(r.Remaining().empty());
  EXPECT_TRUE(Action::HangUp().hang_up);
}

TEST(DeviceServer, SlaveIsRawWhenHostOpensIt) {
  ScriptedResponder r;
  DeviceServer server(r);
  Host host(server.Path());
  ASSERT_TRUE(host.IsOpen());
  termios t{};
  ASSERT_EQ(tcgetattr(host.Fd(), &t), 0);
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IXON), 0u);
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
}

TEST(DeviceServer, RepliesWithExactBytesAndNoEcho) {
  ScriptedResponder r;
  r.Expect("0gs", Action::Reply(StatusFrame(0x1F)));
  DeviceServer server(r);
  Host host(server.Path());
  ASSERT_TRUE(host.Write("0gs"));
  EXPECT_EQ(host.Read(7, 1000ms), "0GS1F\r\n");
  EXPECT_EQ(host.Read(1, 50ms), "");
  EXPECT_EQ(server.AllReceived(), "0gs");
  EXPECT_EQ(server.Commands(), std::vector<std::string>{"0gs"});
  ASSERT_EQ(server.SentLog().size(), 1u);
  EXPECT_EQ(server.SentLog()[0].bytes, "0GS1F\r\n");
  EXPECT_GE(server.SentLog()[0].when, server.Log()[0].when);
  EXPECT_TRUE(r.Unexpected().empty());
  EXPECT_TRUE(r.Remaining().empty());
}

TEST(DeviceServer, CommandsWrittenInPiecesAndBackToBack) {
  ScriptedResponder r;
  r.Expect("0ma00001000", Action::Reply(PositionFrame(0x1000)));
  r.Expect("0gp", Action::Reply(PositionFrame(-5)));
  DeviceServer server(r);
  Host host(server.Path());
  ASSERT_TRUE(host.Write("0ma0000"));
  ASSERT_FALSE(server.WaitForCommands(1, 50ms));
  ASSERT_TRUE(host.Write("10000gp"));
  EXPECT_EQ(host.Read(26, 1000ms), PositionFrame(0x1000) + PositionFrame(-5));
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"0ma00001000", "0gp"}));
  EXPECT_EQ(server.Log().size(), 2u);
}

TEST(DeviceServer, FragmentsArriveAsOneLine) {
  ScriptedResponder r;
  r.Expect("0gp", Action::Fragments({{0us, "0PO"}, {20ms, "0000"}, {20ms, "1000\r\n"}}));
  DeviceServer server(r);
  Host host(server.Path());
  const auto start = Clock::now();
  ASSERT_TRUE(host.Write("0gp"));
  EXPECT_EQ(host.ReadLine(1000ms), PositionFrame(0x1000));
  EXPECT_GE(Clock::now() - start, 40ms);
  const std::vector<Sent> sent = server.SentLog();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_GE(sent[2].when - sent[0].when, 40ms);
}

TEST(DeviceServer, LateReplyAndReadingDuringTheDelay) {
  ScriptedResponder r;
  r.Expect("0gs", Action::Late(StatusFrame(0), 150ms));
  DeviceServer server(r);
  Host host(server.Path());
  const auto start = Clock::now();
  ASSERT_TRUE(host.Write("0gs"));
  ASSERT_TRUE(server.WaitForCommands(1, 1000ms));
  ASSERT_TRUE(host.Write("0gp"));  // rude host: does not wait for the reply
  // The device notices the second command while still sitting on the first reply.
  EXPECT_TRUE(server.WaitForCommands(2, 100ms));
  EXPECT_TRUE(server.SentLog().empty());
  EXPECT_EQ(host.Read(7, 1000ms), "0GS00\r\n");
  EXPECT_GE(Clock::now() - start, 150ms);
  const std::vector<Received> log = server.Log();
  const std::vector<Sent> sent = server.SentLog();
  ASSERT_EQ(log.size(), 2u);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_LT(log[1].when, sent[0].when);  // what a "one command per reply" check must catch
  // Answered (with silence) only once the late reply is out.
  EXPECT_TRUE(Eventually([&] { return !r.Unexpected().empty(); }));
  EXPECT_EQ(r.Unexpected(), std::vector<std::string>{"0gp"});
}

TEST(DeviceServer, HangUpActionEndsTheLine) {
  ScriptedResponder r;
  r.Expect("0in", Action::HangUp());
  DeviceServer server(r);
  Host host(server.Path());
  ASSERT_TRUE(host.Write("0in"));
  pollfd p{host.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_NE(p.revents & POLLHUP, 0);
  char c;
  EXPECT_EQ(read(host.Fd(), &c, 1), 0);  // a hung-up tty reads as end-of-file...
  errno = 0;
  EXPECT_EQ(write(host.Fd(), "0gs", 3), -1);  // ...and refuses writes
  EXPECT_EQ(errno, EIO);
  EXPECT_NE(access(server.Path().c_str(), F_OK), 0);
  EXPECT_FALSE(server.SendUnsolicited("x"));
  server.HangUp();  // already hung up: returns at once
}

TEST(DeviceServer, HangUpFromAnotherThreadAndReplug) {
  ScriptedResponder r;
  r.Expect("0gp", Action::Reply(PositionFrame(7)));
  DeviceServer server(r);
  const std::string first = server.Path();
  EXPECT_EQ(server.Replug(), first);  // plugged in already
  Host host(first);
  ASSERT_TRUE(host.Write("0gs"));
  ASSERT_TRUE(server.WaitForCommands(1, 1000ms));
  server.HangUp();
  EXPECT_FALSE(server.Plugged());
  EXPECT_EQ(host.Read(1, 1000ms), "");
  errno = 0;
  EXPECT_EQ(write(host.Fd(), "0gs", 3), -1);
  EXPECT_EQ(errno, EIO);
  // The old slave is still held open, so the new line cannot have its number.
  const std::string second = server.Replug();
  EXPECT_NE(second, first);
  EXPECT_EQ(server.Path(), second);
  EXPECT_TRUE(server.Plugged());
  EXPECT_NE(access(first.c_str(), F_OK), 0);
  Host again(second);
  ASSERT_TRUE(again.Write("0gp"));
  EXPECT_EQ(again.Read(13, 1000ms), PositionFrame(7));
}

// Through a USB adapter a reply reaches the host only once the adapter's timer, which the first
// byte it holds starts, has run out, or at once in full packets of 62 bytes. Load can make it
// later, never earlier.
TEST(DeviceServer, AnAdapterHoldsRepliesForItsTimerOrUntilAPacketIsFull) {
  struct Case {
    unsigned baud;
    milliseconds latency;
    size_t reply_size;
    std::vector<size_t> pieces;  // as the adapter hands them on; empty: more than one, any size
  };
  const Case cases[] = {
      {0, 30ms, 7, {7}},
      {0, 30ms, 100, {62, 38}},  // the first packet full at once, the rest on the timer
      {9600, 30ms, 13, {13}},    // all 13 bytes (13.5 ms) are in before the timer runs out
      {9600, 5ms, 40, {}},       // 41.7 ms on the line: the timer runs out again and again
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.baud) + " baud, " + std::to_string(c.latency.count()) + " ms, " +
                 std::to_string(c.reply_size) + " bytes");
    const std::string reply(c.reply_size, 'x');
    ScriptedResponder r;
    r.Expect("0gs", Action::Reply(reply));
    ServerOptions options;
    options.baud = c.baud;
    options.adapter_latency = c.latency;
    DeviceServer server(r, options);
    Host host(server.Path());
    ASSERT_TRUE(host.Write("0gs"));
    const std::string first_byte = host.Read(1, 1000ms);
    const auto arrived = Clock::now();
    EXPECT_EQ(first_byte + host.Read(reply.size() - 1, 1000ms), reply);
    const std::vector<Sent> sent = server.SentLog();
    ASSERT_FALSE(sent.empty());
    if (sent[0].bytes.size() < kAdapterPacketData) {
      EXPECT_GE(arrived - sent[0].ready, c.latency);
    }
    std::string handed_on;
    std::vector<size_t> pieces;
    for (const Sent& piece : sent) {
      handed_on += piece.bytes;
      pieces.push_back(piece.bytes.size());
      EXPECT_LE(piece.bytes.size(), kAdapterPacketData);
      if (piece.bytes.size() < kAdapterPacketData) {
        EXPECT_GE(piece.when - piece.ready, c.latency);
      }
    }
    EXPECT_EQ(handed_on, reply);
    if (c.pieces.empty()) {
      EXPECT_GE(pieces.size(), 2u);
    } else {
      EXPECT_EQ(pieces, c.pieces);
    }
  }
}

TEST(DeviceServer, NoticesHostCloseAndServesReconnect) {
  ScriptedResponder r;
  for (int i = 0; i < 2; ++i)
    r.Expect("0gs", Action::Reply(StatusFrame(i)));
  DeviceServer server(r);
  EXPECT_FALSE(server.WaitForPeerClose(30ms));  // setting up the slave is not a host
  for (int i = 0; i < 2; ++i) {
    Host host(server.Path());
    ASSERT_TRUE(host.Write("0gs"));
    EXPECT_EQ(host.Read(7, 1000ms), StatusFrame(i));
    host.Close();
    EXPECT_TRUE(server.WaitForPeerClose(1000ms, i + 1));
    EXPECT_EQ(server.PeerCloseCount(), i + 1);
  }
  server.ClearLog();
  EXPECT_EQ(server.PeerCloseCount(), 0);
  EXPECT_TRUE(server.Log().empty());
}

TEST(DeviceServer, HostCloseRightAfterWritingIsStillSeen) {
  ScriptedResponder r;
  r.Expect("0gs", Action::Reply(StatusFrame(0)));
  DeviceServer server(r);
  {
    Host host(server.Path());
    ASSERT_TRUE(host.Write("0gs"));
  }
  EXPECT_TRUE(server.WaitForPeerClose(1000ms));
  EXPECT_EQ(server.Commands(), std::vector<std::string>{"0gs"});
}

TEST(DeviceServer, NothingStaleReachesTheNextSession) {
  ScriptedResponder r;
  r.Expect("0gs", Action::Late(StatusFrame(1), 50ms));
  r.Expect("0gp", Action::Reply(PositionFrame(7)));
  DeviceServer server(r);
  {
    Host host(server.Path());
    ASSERT_TRUE(host.Write("0gs"));  // gives up before the late reply
  }
  ASSERT_TRUE(server.WaitForPeerClose(1000ms));
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(server.SentLog().empty());  // sent to nobody: dropped
  {
    Host host(server.Path());
    ASSERT_TRUE(host.Write("0gp"));  // reply sent, but never read
    ASSERT_TRUE(Eventually([&] { return !server.SentLog().empty(); }));
    ASSERT_EQ(server.SentLog().size(), 1u);
  }
  ASSERT_TRUE(server.WaitForPeerClose(1000ms, 2));
  Host host(server.Path());
  EXPECT_EQ(host.Read(1, 100ms), "");
}

TEST(DeviceServer, DoesNotSpinWhileNoHostIsThere) {
  ScriptedResponder r;
  r.Expect("0gs", Action::Reply(StatusFrame(0)));
  DeviceServer server(r);
  {
    Host host(server.Path());
    ASSERT_TRUE(host.Write("0gs"));
    EXPECT_EQ(host.Read(7, 1000ms), "0GS00\r\n");
  }
  ASSERT_TRUE(server.WaitForPeerClose(1000ms));
  // The master now reports POLLHUP on every poll until a host opens the slave again.
  const auto cpu = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return std::chrono::seconds(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           std::chrono::microseconds(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
  };
  const auto before = cpu();
  std::this_thread::sleep_for(300ms);
  EXPECT_LT(cpu() - before, 60ms);
  Host host(server.Path());  // and it still notices the next host
  ASSERT_TRUE(host.Write("0gs"));
  ASSERT_TRUE(server.WaitForCommands(2, 1000ms));
}

TEST(DeviceServer, UnsolicitedBytesReachTheHost) {
  ScriptedResponder r;
  DeviceServer server(r);
  for (int i = 0; i < 20; ++i) {
    // Straight after the open, before the device thread has had a chance to notice the host.
    Host host(server.Path());
    EXPECT_TRUE(server.SendUnsolicited(StatusFrame(0x0C)));
    EXPECT_EQ(host.Read(7, 1000ms), "0GS0C\r\n");
  }
  // A host that reopens within the device's 1 ms look-again period hides the close before it.
  EXPECT_TRUE(server.WaitForPeerClose(1000ms));
  EXPECT_LE(server.PeerCloseCount(), 20);
}

TEST(DeviceServer, PacesBytesAtTheBaudRateWithoutDrift) {
  const std::string reply(960, 'x');  // 960 bytes at 9600 8N1: one second
  const auto byte_time = std::chrono::nanoseconds(1'000'000'000LL * 10 / 9600);
  ScriptedResponder r;
  r.Expect("0gs", Action::Reply(reply));
  DeviceServer server(r, DeviceServer::Options{9600});
  Host host(server.Path());
  const auto start = Clock::now();
  ASSERT_TRUE(host.Write("0gs"));
  std::string got;
  while (got.size() < reply.size()) {
    const std::string more = host.Read(reply.size() - got.size(), 1000ms);
    if (more.empty())
      break;
    got += more;
    // Load can only make bytes late, never early.
    EXPECT_LE(got.size(), static_cast<size_t>((Clock::now() - start) / byte_time));
  }
  EXPECT_EQ(got, reply);
  const std::vector<Sent> sent = server.SentLog();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bytes, reply);
  const auto took = sent[0].when - server.Log()[0].when;
  EXPECT_GE(took, 1000ms);
  // Sleeping byte by byte would pile up 960 oversleeps (about 100 ms here); absolute deadlines
  // only pay for the last one.
  EXPECT_LT(took, 1075ms);
}

TEST(DeviceServer, ShutdownIsPromptDuringALongDelay) {
  ScriptedResponder r;
  r.Expect("0gs", Action::Late(StatusFrame(0), 10000ms));
  auto server = std::make_unique<DeviceServer>(r);
  Host host(server->Path());
  ASSERT_TRUE(host.Write("0gs"));
  ASSERT_TRUE(server->WaitForCommands(1, 1000ms));
  std::this_thread::sleep_for(20ms);  // let it settle into the delay
  const auto start = Clock::now();
  server.reset();
  EXPECT_LT(Clock::now() - start, 200ms);
}

TEST(DeviceServer, LeavesNoDescriptorsOrThreads) {
  // ThreadSanitizer starts a helper thread of its own with the process's first thread; let
  // that happen before counting, or it would pass for one of the device's.
  std::thread([] {}).join();
  const size_t fds = DescriptorCount();
  const size_t tasks = SettledThreadCount();
  {
    FunctionResponder echo([](const std::string& c) {
      return c == "0st" ? Action::HangUp() : Action::Reply(StatusFrame(0));
    });
    DeviceServer a(echo), b(echo, DeviceServer::Options{9600});
    EXPECT_EQ(ThreadCount(), tasks + 2);
    for (DeviceServer* s : {&a, &b}) {
      Host host(s->Path());
      ASSERT_TRUE(host.Write("0gs"));
      EXPECT_EQ(host.Read(7, 1000ms), "0GS00\r\n");
      host.Close();
      ASSERT_TRUE(s->WaitForPeerClose(1000ms));  // the device has flushed the slave by now
      Host again(s->Path());
      ASSERT_TRUE(again.Write("0st"));
      EXPECT_EQ(again.Read(1, 1000ms), "");
    }
    EXPECT_GT(DescriptorCount(), fds);
  }
  EXPECT_EQ(DescriptorCount(), fds);
  // A joined thread can linger in /proc for a moment while the kernel reaps it.
  EXPECT_TRUE(Eventually([&] { return ThreadCount() == tasks; }));
  EXPECT_EQ(ThreadCount(), tasks);
}

}  // namespace
}  // namespace torvek::sim
