// A stop in the middle of each kind of motion, seen on the line by a host that writes it during
// the motion itself, as the library cannot while it waits for the motion's reply.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "AttenuatorModel.h"
#include "DeviceServer.h"

namespace {

using namespace std::chrono_literals;

// Up to `n` bytes, or what came before the line failed or 5 s passed.
std::string Read(int fd, std::size_t n) {
  std::string got(n, '\0');
  std::size_t have = 0;
  pollfd p{fd, POLLIN, 0};
  while (have < n && poll(&p, 1, 5000) == 1) {
    const ssize_t r = read(fd, &got[have], n - have);
    if (r <= 0)
      break;
    have += static_cast<std::size_t>(r);
  }
  return got.substr(0, have);
}

TEST(StopOnTheLine, EachKindOfMotionAnswersAtOnceWithWhereItStoppedThenTheStopAnswers) {
  struct Row {
    const char* motion;
    std::int32_t start;
    std::int32_t target;  // the start for the runs, which sweep and come back
  };
  for (const Row& row : {Row{"0ma00008C00", 0, 35840}, Row{"0maFFFF7400", 0, -35840},
                         Row{"0ho0", 20000, 0}, Row{"0om", 500, 500}, Row{"0cm", 500, 500}}) {
    SCOPED_TRACE(row.motion);
    torvek::sim::DeviceConfig config;
    config.speed = 1000;  // far from every target when the stop comes
    config.start_position = row.start;
    config.optimize_time = config.clean_time = 60s;
    torvek::sim::AttenuatorModel model(config);
    torvek::sim::DeviceServer server(model);
    const int host = open(server.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(write(host, row.motion, std::strlen(row.motion)), ssize_t(std::strlen(row.motion)));
    ASSERT_TRUE(server.WaitForCommands(1, 1000ms));
    std::this_thread::sleep_for(100ms);  // the mount runs a while before the operator stops it
    ASSERT_EQ(write(host, "0st", 3), 3);
    const bool moves = row.target != row.start;
    const std::string replies = Read(host, moves ? 20 : 14);
    std::int32_t reached = row.start;
    if (moves) {
      ASSERT_EQ(replies.size(), 20u) << replies;
      EXPECT_EQ(replies.substr(0, 3), "0PO");
      EXPECT_EQ(replies.substr(11), "\r\n0GS00\r\n");
      reached = static_cast<std::int32_t>(std::strtoul(replies.substr(3, 8).c_str(), nullptr, 16));
      EXPECT_GT(std::abs(reached - row.start), 0);
      EXPECT_LT(std::abs(reached - row.start), std::abs(row.target - row.start));
      EXPECT_EQ(reached < row.start, row.target < row.start);
    } else {
      EXPECT_EQ(replies, "0GS00\r\n0GS00\r\n");
    }
    ASSERT_EQ(write(host, "0gp", 3), 3);
    EXPECT_EQ(Read(host, 13), torvek::sim::PositionFrame(reached));
    close(host);
    // The motion's reply left only after the stop came, and no faster than the mount turns.
    const auto received = server.Log();
    const auto sent = server.SentLog();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_GT(sent[0].when, received[1].when);
    const double seconds = std::chrono::duration<double>(sent[0].when - received[0].when).count();
    EXPECT_LE(std::abs(reached - row.start), 1000 * seconds);
  }
}

}  // namespace
