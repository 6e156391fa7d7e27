// The wire trace (TORVEK_ATTENUATOR_TRACE): what the host sent, what came back as it came, what
// the purge threw away, the wait and the result, one line each; and nothing at all without the
// variable.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ConnectedDevice.h"

namespace {

using torvek::sim::Action;
using namespace std::chrono_literals;

constexpr char kVariable[] = "TORVEK_ATTENUATOR_TRACE";

std::string TracePath(const char* name) {
  const std::string path =
      ::testing::TempDir() + "torvek-trace-" + std::to_string(::getpid()) + "-" + name + ".log";
  std::remove(path.c_str());
  return path;
}

std::vector<std::string> FileLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// "  2099.661950 #1 wait   36.773 ms, a line" -> "wait   N ms, a line"; the handler number
// goes to `handler`.
std::string Stripped(const std::string& line, std::string* handler) {
  static const std::regex shape(R"(^ *[0-9]+\.[0-9]{6} #([0-9]+) (.*)$)");
  static const std::regex milliseconds(R"([0-9]+\.[0-9]{3} ms)");
  std::smatch parts;
  if (!std::regex_match(line, parts, shape)) {
    return "MALFORMED: " + line;
  }
  *handler = parts[1];
  return std::regex_replace(parts[2].str(), milliseconds, "N ms");
}

class WireTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = TracePath(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ::setenv(kVariable, path.c_str(), 1);
    ASSERT_TRUE(torvek::test::ConnectScripted(handler, script, server));
    ::unsetenv(kVariable);  // read when the handler connects, not later
    Take();
  }

  // The lines written since the last look, stripped of time and handler number, which must be
  // the same on every line.
  std::vector<std::string> Take() {
    const std::vector<std::string> all = FileLines(path);
    std::vector<std::string> lines;
    for (std::size_t i = seen; i < all.size(); ++i) {
      std::string number;
      lines.push_back(Stripped(all[i], &number));
      EXPECT_TRUE(handler_number.empty() || number == handler_number) << all[i];
      handler_number = number;
    }
    seen = all.size();
    return lines;
  }

  std::string path;
  std::size_t seen = 0;
  std::string handler_number;
  torvek::sim::ScriptedResponder script;
  torvek::sim::DeviceServer server{script};
  TORVEK::AttenuatorHandler handler;
};

TEST_F(WireTraceTest, ConnectShowsThePortTheSettingsAndTheIdentification) {
  handler.Disconnect();
  ::setenv(kVariable, path.c_str(), 1);
  script.Expect("0in", Action::Reply(torvek::test::kDefaultIdentification));
  ASSERT_TRUE(handler.Connect(server.Path()));
  ::unsetenv(kVariable);
  EXPECT_EQ(Take(), (std::vector<std::string>{
                        "open   " + server.Path() +
                            ": 9600 8N1, low latency not offered by the driver (Inappropriate "
                            "ioctl for device)",
                        "host   0in",
                        "device 0IN0E1234ABCD01020304016800023000\\r\\n",
                        "wait   N ms, a line",
                        "ident  1234ABCD 0102 03 04, 360 degrees, 143360 steps per revolution",
                        "result Connect: true",
                    }));
}

// Each kind of exchange, line by line. The hang-up comes last: it takes the port.
TEST_F(WireTraceTest, EachKindOfExchangeLineByLine) {
  struct Case {
    const char* name;
    std::function<void()> before;  // the device's part
    std::function<int()> call;
    std::vector<std::string> lines;
  };
  int steps = 0;
  const Case cases[] = {
      {"a reply",
       [&] { script.Expect("0gp", Action::Reply("0PO00008C00\r\n")); },
       [&] { return handler.GetMotorSteps(&steps, 1000); },
       {"host   0gp", "device 0PO00008C00\\r\\n", "wait   N ms, a line",
        "result GetMotorSteps: Ok"}},
      {"a time-out",
       [&] { script.Expect("0gs", Action::Silence()); },
       [&] { return handler.GetCurrentStatus(30); },
       {"host   0gs", "wait   N ms, timed out", "result GetCurrentStatus: ReplyTimeout"}},
      {"a status frame",
       [&] { script.Expect("0gp", Action::Reply("0GS07\r\n")); },
       [&] { return handler.GetMotorSteps(&steps, 1000); },
       {"host   0gp", "device 0GS07\\r\\n", "wait   N ms, a line",
        "result GetMotorSteps: DeviceStatus 7"}},
      {"garbage",
       [&] { script.Expect("0gs", Action::Reply("\x07z\\\r\n")); },
       [&] { return handler.GetCurrentStatus(1000); },
       {"host   0gs", "device \\x07z\\\\\\r\\n", "wait   N ms, a line",
        "result GetCurrentStatus: UnexpectedReply"}},
      {"stale bytes purged",
       [&] {
         ASSERT_TRUE(server.SendUnsolicited("0PO00000010\r\n"));
         std::this_thread::sleep_for(50ms);  // on the host's side of the pty by now
         script.Expect("0gs", Action::Reply("0GS00\r\n"));
       },
       [&] { return handler.GetCurrentStatus(1000); },
       {"purged 13 bytes 0PO00000010\\r\\n", "host   0gs", "device 0GS00\\r\\n",
        "wait   N ms, a line", "result GetCurrentStatus: Ok"}},
      {"a refused argument",
       [] {},
       [&] { return handler.SetMotorSteps(143361, 1000); },
       {"result SetMotorSteps: InvalidArgument"}},
      {"a hang-up",
       [&] { script.Expect("0gs", Action::HangUp()); },
       [&] { return handler.GetCurrentStatus(1000); },
       {"host   0gs", "wait   N ms, the port has gone",
        "read   the port has gone (unplugged, hung up); closed",
        "result GetCurrentStatus: PortUnavailable"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.before();
    c.call();
    EXPECT_EQ(Take(), c.lines);
  }
}

TEST(WireTraceOff, NoVariableNoTraceAndNoFile) {
  const std::string path = TracePath("off");
  ::unsetenv(kVariable);
  torvek::sim::ScriptedResponder script;
  torvek::sim::DeviceServer server{script};
  TORVEK::AttenuatorHandler handler;
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(torvek::test::ConnectScripted(handler, script, server));
  script.Expect("0gs", Action::Reply("0GS00\r\n"));
  EXPECT_EQ(handler.GetCurrentStatus(1000), TORVEK::Ok);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

TEST(WireTraceOff, AnUnopenablePathWarnsOnceAndNoCallFails) {
  ::setenv(kVariable, "/nonexistent-directory/trace.log", 1);
  torvek::sim::ScriptedResponder script;
  torvek::sim::DeviceServer server{script};
  TORVEK::AttenuatorHandler handler;
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(torvek::test::ConnectScripted(handler, script, server));
    script.Expect("0gs", Action::Reply("0GS00\r\n"));
    EXPECT_EQ(handler.GetCurrentStatus(1000), TORVEK::Ok);
  }
  ::unsetenv(kVariable);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "torvek_attenuator: TORVEK_ATTENUATOR_TRACE=/nonexistent-directory/trace.log: "
            "cannot open it (No such file or directory); no trace\n");
}

// Two handlers on two threads append to one file: every line whole, each handler's lines its
// own.
TEST(WireTraceShared, TwoHandlersOnTwoThreadsNeverMixWithinALine) {
  const std::string path = TracePath("shared");
  constexpr int kCalls = 200;
  ::setenv(kVariable, path.c_str(), 1);
  torvek::sim::FunctionResponder device([](const std::string& command) {
    return Action::Reply(command == "0in" ? torvek::test::kDefaultIdentification : "0GS00\r\n");
  });
  torvek::sim::DeviceServer first(device);
  torvek::sim::DeviceServer second(device);
  TORVEK::AttenuatorHandler a;
  TORVEK::AttenuatorHandler b;
  const auto run = [](TORVEK::AttenuatorHandler& handler, torvek::sim::DeviceServer& server) {
    ASSERT_EQ(handler.Connect(server.Path(), TORVEK::kConnectAttempts),
              TORVEK::ConnectResult::Connected);
    for (int i = 0; i < kCalls; ++i) {
      EXPECT_EQ(handler.GetCurrentStatus(2000), TORVEK::Ok);
    }
  };
  std::thread one([&] { run(a, first); });
  std::thread two([&] { run(b, second); });
  one.join();
  two.join();
  ::unsetenv(kVariable);

  std::map<std::string, int> results;
  for (const std::string& line : FileLines(path)) {
    std::string handler;
    const std::string text = Stripped(line, &handler);
    ASSERT_EQ(text.find("MALFORMED"), std::string::npos) << line;
    if (text == "result GetCurrentStatus: Ok") {
      ++results[handler];
    }
  }
  ASSERT_EQ(results.size(), 2u);
  for (const auto& [handler, count] : results) {
    EXPECT_EQ(count, kCalls) << "handler #" << handler;
  }
  std::remove(path.c_str());
}

}  // namespace
