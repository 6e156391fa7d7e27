// What each fault does to a reply, looked at on the actions the injector hands the line.
#include <set>

#include <gtest/gtest.h>

#include "AttenuatorModel.h"
#include "FaultInjector.h"

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using torvek::sim::Action;
using torvek::sim::FaultInjector;
using torvek::sim::FaultOptions;
using torvek::sim::FunctionResponder;

const std::string kReply = "0PO00008C00\r\n";

// A device that always answers kReply after 20 ms, and counts what it was asked.
struct CountingDevice {
  int commands = 0;
  FunctionResponder responder{[this](const std::string&) {
    ++commands;
    return Action::Late(kReply, milliseconds(20));
  }};
};

std::string Bytes(const Action& action) {
  std::string bytes;
  for (const torvek::sim::Chunk& c : action.chunks)
    bytes += c.bytes;
  return bytes;
}

TEST(FaultInjector, DropLosesTheReplyButTheDeviceStillActs) {
  CountingDevice device;
  FaultOptions options;
  options.drop = 1;
  options.faults_after = 1;
  FaultInjector faults(device.responder, options);
  EXPECT_EQ(Bytes(faults.OnCommand("0in")), kReply);  // spared
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(faults.OnCommand("0ma00008C00").chunks.empty());
  EXPECT_EQ(device.commands, 6);
}

TEST(FaultInjector, LateAddsTheDelayToTheDevicesOwn) {
  CountingDevice device;
  FaultOptions options;
  options.late = 1;
  options.late_by = milliseconds(700);
  FaultInjector faults(device.responder, options);
  const Action action = faults.OnCommand("0gp");
  ASSERT_EQ(action.chunks.size(), 1u);
  EXPECT_EQ(action.chunks[0].bytes, kReply);
  EXPECT_EQ(action.chunks[0].delay_before, microseconds(720'000));
}

TEST(FaultInjector, CorruptReplacesExactlyOneByteAndKeepsTheLineEnd) {
  CountingDevice device;
  FaultOptions options;
  options.corrupt = 1;
  std::vector<std::string> notes;
  FaultInjector faults(device.responder, options,
                       [&notes](const std::string& note) { notes.push_back(note); });
  std::set<std::size_t> positions;
  for (int i = 0; i < 200; ++i) {
    const std::string bytes = Bytes(faults.OnCommand("0gp"));
    ASSERT_EQ(bytes.size(), kReply.size());
    EXPECT_EQ(bytes.substr(11), "\r\n");
    std::size_t differing = 0;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
      if (bytes[at] != kReply[at]) {
        ++differing;
        positions.insert(at);
        EXPECT_NE(bytes[at], '\r');
        EXPECT_NE(bytes[at], '\n');
        EXPECT_EQ(notes.back().rfind("corrupted byte " + std::to_string(at) + ":", 0), 0u)
            << notes.back();
      }
    }
    EXPECT_EQ(differing, 1u) << bytes;
  }
  // Over 200 replies every byte before CR LF has been hit.
  EXPECT_EQ(positions.size(), 11u);
}

TEST(FaultInjector, FragmentSplitsTheReplyInTwoToFourPiecesOnTime) {
  CountingDevice device;
  FaultOptions options;
  options.fragment = 1;
  options.fragment_gap = milliseconds(30);
  FaultInjector faults(device.responder, options);
  std::set<std::size_t> piece_counts;
  for (int i = 0; i < 100; ++i) {
    const Action action = faults.OnCommand("0gp");
    EXPECT_EQ(Bytes(action), kReply);
    piece_counts.insert(action.chunks.size());
    EXPECT_EQ(action.chunks.front().delay_before, microseconds(20'000));
    for (std::size_t k = 1; k < action.chunks.size(); ++k) {
      EXPECT_FALSE(action.chunks[k].bytes.empty());
      EXPECT_LE(action.chunks[k].delay_before, microseconds(30'000));
    }
  }
  EXPECT_EQ(piece_counts, (std::set<std::size_t>{2, 3, 4}));
}

TEST(FaultInjector, SilentAfterAnswersNCommandsThenNone) {
  CountingDevice device;
  FaultOptions options;
  options.silent_after = 3;
  FaultInjector faults(device.responder, options);
  for (int i = 1; i <= 6; ++i)
    EXPECT_EQ(faults.OnCommand("0gp").chunks.empty(), i > 3) << "command " << i;
  EXPECT_EQ(device.commands, 6);  // a silent device still moves
}

TEST(FaultInjector, HangupAfterAnswersNCommandsThenHangsUpAtTheNext) {
  CountingDevice device;
  FaultOptions options;
  options.hangup_after = 2;
  FaultInjector faults(device.responder, options);
  EXPECT_EQ(Bytes(faults.OnCommand("0in")), kReply);
  EXPECT_EQ(Bytes(faults.OnCommand("0gp")), kReply);
  const Action third = faults.OnCommand("0gp");
  EXPECT_TRUE(third.hang_up);
  EXPECT_TRUE(third.chunks.empty());
  EXPECT_EQ(device.commands, 2);
}

// A stop cuts a move's reply short; what is left of it meets the fault drawn for the move.
TEST(FaultInjector, AReplyCutShortMeetsTheFaultDrawnForItsCommand) {
  struct Case {
    const char* fault;
    std::size_t chunks;
    long long delay_us;
  };
  for (const Case& c : {Case{"none", 1, 0}, Case{"late", 1, 700'000}, Case{"drop", 0, 0}}) {
    SCOPED_TRACE(c.fault);
    torvek::sim::AttenuatorModel::Clock::time_point now{};
    torvek::sim::AttenuatorModel model({}, [&now] { return now; });
    FaultOptions options;
    options.late = std::string(c.fault) == "late";
    options.drop = std::string(c.fault) == "drop";
    options.late_by = milliseconds(700);
    FaultInjector faults(model, options);
    faults.OnCommand("0ma00008C00");
    now += milliseconds(250);
    const std::optional<Action> instead = faults.OnCommandDuring("0st");
    ASSERT_TRUE(instead);
    ASSERT_EQ(instead->chunks.size(), c.chunks);
    if (c.chunks != 0) {
      EXPECT_EQ(Bytes(*instead), "0PO00004600\r\n");
      EXPECT_EQ(instead->chunks[0].delay_before, microseconds(c.delay_us));
    }
    EXPECT_EQ(model.Position(), 17920);
  }
  // A move whose reply was lost leaves the line free: the stop comes as a command of its own,
  // and the mount still stops where it is.
  torvek::sim::AttenuatorModel::Clock::time_point now{};
  torvek::sim::AttenuatorModel model({}, [&now] { return now; });
  FaultOptions options;
  options.drop = 1;
  FaultInjector faults(model, options);
  faults.OnCommand("0ma00008C00");
  now += milliseconds(250);
  faults.OnCommand("0st");
  now += milliseconds(250);
  EXPECT_EQ(model.Position(), 17920);
}

// The whole sequence of actions for 300 commands with every fault mixed in.
std::vector<std::string> MixedRun(std::uint64_t seed) {
  CountingDevice device;
  FaultOptions options;
  options.drop = options.late = options.corrupt = options.fragment = 0.25;
  options.seed = seed;
  FaultInjector faults(device.responder, options);
  std::vector<std::string> seen;
  for (int i = 0; i < 300; ++i) {
    std::string text;
    for (const torvek::sim::Chunk& c : faults.OnCommand("0gp").chunks)
      text += std::to_string(c.delay_before.count()) + ":" + c.bytes + "|";
    seen.push_back(text);
  }
  return seen;
}

// Which of 300 replies a drop hits, with the other faults on or off.
std::vector<int> Dropped(FaultOptions options) {
  CountingDevice device;
  FaultInjector faults(device.responder, options);
  std::vector<int> dropped;
  for (int i = 0; i < 300; ++i) {
    if (faults.OnCommand("0gp").chunks.empty())
      dropped.push_back(i);
  }
  return dropped;
}

TEST(FaultInjector, OtherFaultsDoNotChangeWhichRepliesADropHits) {
  FaultOptions drop_only;
  drop_only.drop = 0.2;
  drop_only.seed = 9;
  FaultOptions all = drop_only;
  all.corrupt = all.fragment = all.late = 0.5;
  const std::vector<int> dropped = Dropped(drop_only);
  EXPECT_GT(dropped.size(), 30u);
  EXPECT_EQ(Dropped(all), dropped);
}

TEST(FaultInjector, TheSameSeedRepeatsTheRunExactly) {
  EXPECT_EQ(MixedRun(42), MixedRun(42));
  EXPECT_NE(MixedRun(42), MixedRun(43));
}

}  // namespace
