// Each fault of the simulator, seen by a host through the library: the status codes a host
// program has to be ready for.
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <torvek/AttenuatorHandler.h>

#include "AttenuatorModel.h"
#include "DeviceServer.h"
#include "FaultInjector.h"

namespace {

using namespace std::chrono_literals;
using TORVEK::AttenuatorStatus;
using torvek::sim::FaultOptions;

// Leaves the first command, the identification on Connect, alone.
FaultOptions After(FaultOptions options) {
  options.faults_after = 1;
  return options;
}

// A simulated device behind the fault injector, and a host connected to it.
class FaultyLine {
 public:
  explicit FaultyLine(FaultOptions options, torvek::sim::DeviceConfig config = {})
      : model_(config),
        faults_(model_, options,
                [this](const std::string& note) {
                  std::lock_guard<std::mutex> lock(mu_);
                  notes_.push_back(note);
                }),
        server_(faults_) {}

  // A connected line. The identification must come within 100 ms, which a machine busy with
  // other builds misses now and then; a fresh line keeps the fault counts of the test intact.
  static std::unique_ptr<FaultyLine> Connected(FaultOptions options,
                                               torvek::sim::DeviceConfig config = {}) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      auto line = std::make_unique<FaultyLine>(options, config);
      if (line->handler.Connect(line->server_.Path())) {
        line->TakeNotes();
        return line;
      }
    }
    return nullptr;
  }

  std::vector<std::string> TakeNotes() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> notes;
    notes.swap(notes_);
    return notes;
  }

  torvek::sim::DeviceServer& Server() { return server_; }

  TORVEK::AttenuatorHandler handler;

 private:
  std::mutex mu_;
  std::vector<std::string> notes_;
  torvek::sim::AttenuatorModel model_;
  torvek::sim::FaultInjector faults_;
  torvek::sim::DeviceServer server_;
};

TEST(FaultsThroughLibrary, DroppedReplyIsAReplyTimeoutAndLeavesTheOutputAlone) {
  FaultOptions options;
  options.drop = 1;
  const auto line = FaultyLine::Connected(After(options));
  ASSERT_TRUE(line);
  int steps = 12345;
  EXPECT_EQ(line->handler.GetMotorSteps(&steps, 200), TORVEK::ReplyTimeout);
  EXPECT_EQ(steps, 12345);
  EXPECT_EQ(line->handler.SetMotorSteps(398, 200), TORVEK::ReplyTimeout);
  // The move was made all the same; only its answer was lost.
  EXPECT_EQ(line->TakeNotes(), (std::vector<std::string>{"dropped reply", "dropped reply"}));
}

TEST(FaultsThroughLibrary, LateReplyTimesOutAndThenSpoilsTheCallThatIsWaitingWhenItLands) {
  FaultOptions options;
  options.late = 1;
  options.late_by = 400ms;
  const auto line = FaultyLine::Connected(After(options));
  ASSERT_TRUE(line);
  int steps = 7;
  EXPECT_EQ(line->handler.GetMotorSteps(&steps, 150), TORVEK::ReplyTimeout);
  // The position frame lands while this call waits for its status frame.
  EXPECT_EQ(line->handler.GetCurrentStatus(1500), TORVEK::UnexpectedReply);
  // Once the line has been quiet, the stale status frame is discarded before the next command.
  std::this_thread::sleep_for(1000ms);
  EXPECT_EQ(line->handler.GetMotorSteps(&steps, 1500), TORVEK::Ok);
  EXPECT_EQ(steps, 0);
}

TEST(FaultsThroughLibrary, CorruptedReplyIsUnexpectedOrAWrongValueNeverATimeout) {
  FaultOptions options;
  options.corrupt = 1;
  options.seed = 1;
  torvek::sim::DeviceConfig config;
  // FFFFFFFF: whatever byte of the number is hit, the value read differs or has no digit.
  config.start_position = -1;
  const auto line = FaultyLine::Connected(After(options), config);
  ASSERT_TRUE(line);
  std::set<std::string> kinds;
  for (int i = 0; i < 80; ++i) {
    int steps = 777;
    const AttenuatorStatus status = line->handler.GetMotorSteps(&steps, 1000);
    const std::vector<std::string> notes = line->TakeNotes();
    ASSERT_EQ(notes.size(), 1u);
    const int at = std::stoi(notes[0].substr(std::string("corrupted byte ").size()));
    SCOPED_TRACE(notes[0]);
    if (at == 0) {  // the address is not looked at
      EXPECT_EQ(status, TORVEK::Ok);
      EXPECT_EQ(steps, -1);
      kinds.insert("address");
    } else if (at <= 2) {  // the tag
      EXPECT_EQ(status, TORVEK::UnexpectedReply);
      EXPECT_EQ(steps, 777);
      kinds.insert("tag");
    } else if (status == TORVEK::Ok) {
      EXPECT_NE(steps, -1);
      kinds.insert("wrong value");
    } else {
      EXPECT_EQ(status, TORVEK::UnexpectedReply);
      EXPECT_EQ(steps, 777);
      kinds.insert("no digits");
    }
  }
  EXPECT_EQ(kinds, (std::set<std::string>{"address", "tag", "wrong value", "no digits"}));
}

TEST(FaultsThroughLibrary, FragmentedRepliesAreReassembled) {
  FaultOptions options;
  options.fragment = 1;
  options.fragment_gap = 20ms;
  const auto line = FaultyLine::Connected(After(options));
  ASSERT_TRUE(line);
  line->Server().ClearLog();
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(line->handler.SetMotorSteps(100 * i, 1000), TORVEK::Ok);
    int steps = 0;
    EXPECT_EQ(line->handler.GetMotorSteps(&steps, 1000), TORVEK::Ok);
    EXPECT_EQ(steps, 100 * i);
  }
  // 20 replies, each in 2 to 4 writes.
  const std::size_t writes = line->Server().SentLog().size();
  EXPECT_GE(writes, 40u);
  EXPECT_LE(writes, 80u);
}

TEST(FaultsThroughLibrary, SilentAfterNIsATimeoutFromThenOn) {
  FaultOptions options;
  options.silent_after = 3;  // 0in, then two more
  const auto line = FaultyLine::Connected(options);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->handler.GetCurrentStatus(500), TORVEK::Ok);
  EXPECT_EQ(line->handler.SetMotorSteps(398, 1000), TORVEK::Ok);
  EXPECT_EQ(line->handler.GetCurrentStatus(200), TORVEK::ReplyTimeout);
  EXPECT_EQ(line->handler.GetMotorSteps(nullptr, 200), TORVEK::ReplyTimeout);
}

TEST(FaultsThroughLibrary, HangupAfterNEndsTheWaitingCallAndEveryCallAfterIt) {
  FaultOptions options;
  options.hangup_after = 2;
  const auto line = FaultyLine::Connected(options);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->handler.GetCurrentStatus(500), TORVEK::Ok);
  // The line closes under this call: the port has gone, at once.
  EXPECT_EQ(line->handler.GetCurrentStatus(2000), TORVEK::PortUnavailable);
  EXPECT_EQ(line->handler.GetCurrentStatus(500), TORVEK::PortUnavailable);
  EXPECT_EQ(line->handler.SetMotorSteps(0, 500), TORVEK::PortUnavailable);
}

// A delay of a few hundred years stands for "never"; it must not wrap round the clock and turn
// into an answer at once. The device server adds each delay to steady_clock::now() in
// nanoseconds, which overflows past about 292 years from the clock's epoch.
TEST(FaultsThroughLibrary, ADelayTooLongToWaitOutIsATimeoutNotAnImmediateReply) {
  const auto never = std::chrono::milliseconds(10'000'000'000'000);  // about 317 years
  struct Case {
    const char* name;
    bool late;  // the delay is --late-ms on every reply, else --optimize-ms of 0om
  };
  for (const Case& c : {Case{"late reply", true}, Case{"optimisation run", false}}) {
    SCOPED_TRACE(c.name);
    FaultOptions options;
    torvek::sim::DeviceConfig config;
    if (c.late) {
      options.late = 1;
      options.late_by = never;
    } else {
      config.optimize_time = never;
    }
    const auto line = FaultyLine::Connected(After(options), config);
    ASSERT_TRUE(line);
    const AttenuatorStatus status =
        c.late ? line->handler.GetCurrentStatus(300) : line->handler.StartOptimization(300);
    EXPECT_EQ(status, TORVEK::ReplyTimeout);
  }
}

}  // namespace
