#include "ConnectedDevice.h"

#include <thread>

namespace torvek::test {

void ConnectedDevice::SetUp() {
  ASSERT_TRUE(ConnectWith(kDefaultIdentification));
}

void ExpectScriptFinished(const torvek::sim::ScriptedResponder& script) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!script.Remaining().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(script.Unexpected().empty())
      << "the library sent a command nobody expected: " << script.Unexpected().front();
  EXPECT_TRUE(script.Remaining().empty())
      << "an expected exchange never happened: " << script.Remaining().front();
}

void ConnectedDevice::TearDown() {
  ExpectScriptFinished(script);
}

bool ConnectedDevice::ConnectWith(const std::string& identification) {
  return ConnectScripted(handler, script, server, identification);
}

void ConnectedDevice::Expect(const std::string& command, const std::string& reply) {
  script.Expect(command, torvek::sim::Action::Reply(reply));
}

void ConnectedDevice::Expect(const std::string& command, torvek::sim::Action action) {
  script.Expect(command, std::move(action));
}

}  // namespace torvek::test
