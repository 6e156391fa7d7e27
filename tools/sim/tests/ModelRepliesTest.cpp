// The simulated device's replies, byte for byte, and the time each takes.
#include <optional>

#include <gtest/gtest.h>

#include "AttenuatorModel.h"

namespace {

using std::chrono::milliseconds;
using torvek::sim::Action;
using torvek::sim::AttenuatorModel;
using torvek::sim::DeviceConfig;

std::string Bytes(const Action& action) {
  std::string bytes;
  for (const torvek::sim::Chunk& c : action.chunks)
    bytes += c.bytes;
  return bytes;
}

milliseconds Delay(const Action& action) {
  std::chrono::microseconds delay{0};
  for (const torvek::sim::Chunk& c : action.chunks)
    delay += c.delay_before;
  return std::chrono::duration_cast<milliseconds>(delay);
}

struct Exchange {
  const char* command;
  const char* reply;   // nullptr: no reply at all
  long long delay_ms;  // before the reply
  int position_after;  // steps
};

// One device, commands in order: each row starts where the previous left the mount.
TEST(AttenuatorModel, AnswersEachCommandWithItsFrameAfterTheWorkIsDone) {
  const Exchange session[] = {
      {"0in", "0IN0E1234ABCD01020304016800023000\r\n", 0, 0},
      {"0gs", "0GS00\r\n", 0, 0},
      {"0gp", "0PO00000000\r\n", 0, 0},
      {"0go", "0HO00000000\r\n", 0, 0},
      // 71680 steps per second: a quarter turn takes half a second.
      {"0ma00008C00", "0PO00008C00\r\n", 500, 35840},
      {"0gp", "0PO00008C00\r\n", 0, 35840},
      {"0maFFFF7400", "0POFFFF7400\r\n", 1000, -35840},
      {"0gp", "0POFFFF7400\r\n", 0, -35840},
      {"0mafffdd000", "0POFFFDD000\r\n", 1500, -143360},  // lower-case digits are taken too
      {"0ho0", "0PO00000000\r\n", 2000, 0},
      {"0ma00023000", "0PO00023000\r\n", 2000, 143360},
      {"0om", "0GS00\r\n", 2000, 143360},
      {"0cm", "0GS00\r\n", 1500, 143360},
      {"0st", "0GS00\r\n", 0, 143360},
      // Refused, and the mount stays where it is.
      {"0maZZZZZZZZ", "0GS0B\r\n", 0, 143360},
      {"0ma0000 100", "0GS0B\r\n", 0, 143360},
      {"0ho1", "0GS0B\r\n", 0, 143360},
      {"0xx", "0GS0A\r\n", 0, 143360},
      {"0GS", "0GS0A\r\n", 0, 143360},
      // Another address: nobody on this line answers.
      {"1gs", nullptr, 0, 143360},
      {"1ma00000000", nullptr, 0, 143360},
  };
  AttenuatorModel model;
  for (const Exchange& e : session) {
    SCOPED_TRACE(e.command);
    const Action action = model.OnCommand(e.command);
    if (e.reply == nullptr) {
      EXPECT_TRUE(action.chunks.empty());
    } else {
      EXPECT_EQ(Bytes(action), e.reply);
      EXPECT_EQ(Delay(action).count(), e.delay_ms);
    }
    EXPECT_FALSE(action.hang_up);
    EXPECT_EQ(model.Position(), e.position_after);
  }
}

TEST(AttenuatorModel, ReportsWhatItIsConfiguredToBe) {
  DeviceConfig config;
  config.identity = {"7A", "SIM00042", "BEEF", "99", "AB", 720, 286720};
  config.address = '3';
  config.start_position = -16;
  config.home_offset = -16;
  config.status_code = 31;
  config.speed = 0;
  config.optimize_time = milliseconds(40);
  config.clean_time = milliseconds(30);
  const Exchange session[] = {
      {"3in", "3IN7ASIM00042BEEF99AB02D000046000\r\n", 0, -16},
      {"3gs", "3GS1F\r\n", 0, -16},
      {"3gp", "3POFFFFFFF0\r\n", 0, -16},
      {"3go", "3HOFFFFFFF0\r\n", 0, -16},
      {"3ma00023000", "3PO00023000\r\n", 0, 143360},  // speed 0: instant
      {"3om", "3GS00\r\n", 40, 143360},
      {"3cm", "3GS00\r\n", 30, 143360},
      {"0gs", nullptr, 0, 143360},
  };
  AttenuatorModel model(config);
  for (const Exchange& e : session) {
    SCOPED_TRACE(e.command);
    const Action action = model.OnCommand(e.command);
    EXPECT_EQ(Bytes(action), e.reply ? e.reply : "");
    EXPECT_EQ(Delay(action).count(), e.delay_ms);
    EXPECT_EQ(model.Position(), e.position_after);
  }
}

}  // namespace

// During a motion only a stop is heard: the motion ends at the step reached, and its reply goes
// out at once instead of at its end. Anything else waits its turn. One device, rows in order, on
// a clock the test turns by hand.
TEST(AttenuatorModel, AStopEndsAMotionWhereTheMountStands) {
  struct Row {
    const char* motion;  // at the row's time 0
    long long after_ms;  // then `during` arrives
    const char* during;
    const char* instead;  // what the motion answers now; nullptr: `during` waits its turn
    int position_after;
  };
  const Row rows[] = {
      // 71680 steps a second: in 250 ms the mount covers 17920 of the 35840 steps.
      {"0ma00008C00", 250, "0st", "0PO00004600\r\n", 17920},
      {"0maFFFF7400", 100, "0st", "0PO00002A00\r\n", 10752},  // downward, 7168 steps
      {"0ho0", 50, "0st", "0PO00001C00\r\n", 7168},
      {"0om", 1000, "0st", "0GS00\r\n", 7168},
      {"0cm", 10, "0st", "0GS00\r\n", 7168},
      {"0ma00008C00", 100, "0gp", nullptr, 35840},
      {"0ma00000000", 100, "1st", nullptr, 0},     // a stop for another device
      {"0ma00001C00", 100, "0st", nullptr, 7168},  // 7168 steps take 100 ms: over already
      {"0gs", 0, "0st", nullptr, 7168},
  };
  AttenuatorModel::Clock::time_point now{};
  AttenuatorModel model({}, [&now] { return now; });
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.motion) + " then " + row.during);
    model.OnCommand(row.motion);
    now += milliseconds(row.after_ms);
    const std::optional<Action> instead = model.OnCommandDuring(row.during);
    ASSERT_EQ(instead.has_value(), row.instead != nullptr);
    if (instead) {
      EXPECT_EQ(Bytes(*instead), row.instead);
      EXPECT_EQ(Delay(*instead).count(), 0);
    }
    EXPECT_EQ(model.Position(), row.position_after);
    now += std::chrono::seconds(10);  // whatever was not stopped has ended
  }
}

// Pulled out in the middle of a move, the mount halts there; only a power cycle forgets it.
TEST(AttenuatorModel, AnUnplugHaltsTheMountAndAPowerCycleForgetsWhereItIs) {
  DeviceConfig config;
  config.start_position = -16;
  AttenuatorModel::Clock::time_point now{};
  AttenuatorModel model(config, [&now] { return now; });
  model.OnCommand("0ma00008C00");
  now += milliseconds(500);
  model.OnUnplug();
  EXPECT_EQ(Bytes(model.OnCommand("0gp")), "0PO00008BF0\r\n");
  EXPECT_FALSE(model.OnCommandDuring("0st"));  // nothing moves any more
  model.PowerCycle();
  EXPECT_EQ(Bytes(model.OnCommand("0gp")), "0POFFFFFFF0\r\n");
}
