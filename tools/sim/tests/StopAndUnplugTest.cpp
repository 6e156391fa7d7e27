// A stop and an unplug in the middle of a motion, seen on the line by a host that writes the
// commands itself, as a library cannot while it waits for the motion's reply.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "AttenuatorModel.h"
#include "DeviceServer.h"

namespace {

using namespace std::chrono_literals;
using torvek::sim::AttenuatorModel;
using torvek::sim::Clock;
using torvek::sim::DeviceConfig;
using torvek::sim::DeviceServer;

class Host {
 public:
  explicit Host(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
  ~Host() { close(fd_); }
  int Fd() const { return fd_; }
  bool Write(const std::string& s) { return write(fd_, s.data(), s.size()) == ssize_t(s.size()); }
  // Up to `n` bytes, or what came before the line failed or 5 s passed.
  std::string Read(std::size_t n) {
    std::string got;
    char buffer[64];
    pollfd p{fd_, POLLIN, 0};
    while (got.size() < n && poll(&p, 1, 5000) == 1) {
      const ssize_t r = read(fd_, buffer, std::min(sizeof buffer, n - got.size()));
      if (r <= 0)
        break;
      got.append(buffer, static_cast<std::size_t>(r));
    }
    return got;
  }

 private:
  int fd_;
};

std::int32_t PositionIn(const std::string& frame) {
  return static_cast<std::int32_t>(std::strtoul(frame.substr(3, 8).c_str(), nullptr, 16));
}

// 1000 steps a second: the mount is still far from every target when the stop comes.
DeviceConfig Slow(std::int32_t start) {
  DeviceConfig config;
  config.speed = 1000;
  config.start_position = start;
  config.optimize_time = config.clean_time = 60s;
  return config;
}

TEST(StopOnTheLine, EachKindOfMotionAnswersAtOnceWithWhereItStoppedThenTheStopAnswers) {
  struct Row {
    const char* motion;
    std::int32_t start;
    std::int32_t target;  // the start for the runs, which sweep and come back
  };
  const Row rows[] = {
      {"0ma00008C00", 0, 35840}, {"0maFFFF7400", 0, -35840}, {"0ho0", 20000, 0},
      {"0om", 500, 500},         {"0cm", 500, 500},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.motion);
    AttenuatorModel model(Slow(row.start));
    DeviceServer server(model);
    Host host(server.Path());
    ASSERT_TRUE(host.Write(row.motion));
    ASSERT_TRUE(server.WaitForCommands(1, 1000ms));
    std::this_thread::sleep_for(100ms);  // the mount runs a while before the operator stops it
    ASSERT_TRUE(host.Write("0st"));
    const bool moves = row.target != row.start;
    const std::string replies = host.Read(moves ? 20 : 14);
    std::int32_t reached = row.start;
    if (moves) {
      ASSERT_EQ(replies.size(), 20u) << replies;
      EXPECT_EQ(replies.substr(0, 3), "0PO");
      EXPECT_EQ(replies.substr(11), "\r\n0GS00\r\n");
      reached = PositionIn(replies);
      EXPECT_GT(std::abs(reached - row.start), 0);
      EXPECT_LT(std::abs(reached - row.start), std::abs(row.target - row.start));
      EXPECT_EQ(reached - row.start < 0, row.target - row.start < 0);
    } else {
      EXPECT_EQ(replies, "0GS00\r\n0GS00\r\n");
    }
    ASSERT_TRUE(host.Write("0gp"));
    EXPECT_EQ(host.Read(13), torvek::sim::PositionFrame(reached));

    const auto received = server.Log();
    const auto sent = server.SentLog();
    ASSERT_EQ(sent.size(), 3u);
    ASSERT_EQ(server.Commands().size(), 3u);
    // The motion's reply left only after the stop came, and no faster than the mount can turn.
    EXPECT_GT(sent[0].when, received[1].when);
    const double seconds = std::chrono::duration<double>(sent[0].when - received[0].when).count();
    EXPECT_LE(std::abs(reached - row.start), 1000 * seconds);
  }
}

TEST(UnplugOnTheLine, TheMotionsReplyIsLostTheMountHaltsAndAReplugServesTheSameDevice) {
  AttenuatorModel model(Slow(0));
  DeviceServer server(model);
  const std::string first = server.Path();
  Host host(first);
  ASSERT_TRUE(host.Write("0ma00008C00"));
  ASSERT_TRUE(server.WaitForCommands(1, 1000ms));
  std::this_thread::sleep_for(100ms);
  server.Unplug();
  EXPECT_NE(access(first.c_str(), F_OK), 0);
  char byte;
  EXPECT_LE(read(host.Fd(), &byte, 1), 0);  // end of file, or EIO
  errno = 0;
  EXPECT_EQ(write(host.Fd(), "0gp", 3), -1);
  EXPECT_EQ(errno, EIO);

  Host again(server.Replug());
  ASSERT_TRUE(again.Write("0gp"));
  const std::string frame = again.Read(13);
  ASSERT_EQ(frame.size(), 13u) << frame;
  EXPECT_GT(PositionIn(frame), 0);
  EXPECT_LT(PositionIn(frame), 35840);
  EXPECT_EQ(server.SentLog().size(), 1u);  // the move never answered
}

}  // namespace
