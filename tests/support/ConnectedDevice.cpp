#include "ConnectedDevice.h"

namespace torvek_test {

void ConnectedDevice::SetUp() {
  ASSERT_TRUE(ConnectWith(kDefaultIdentification));
}

void ConnectedDevice::TearDown() {
  EXPECT_TRUE(script.Unexpected().empty())
      << "the library sent a command nobody expected: " << script.Unexpected().front();
  EXPECT_TRUE(script.Remaining().empty()) << "an expected exchange never happened";
}

bool ConnectedDevice::ConnectWith(const std::string& identification) {
  script.Expect("0in", attsim::Action::Reply(identification));
  const bool connected = handler.Connect(server.Path());
  server.ClearLog();
  return connected;
}

void ConnectedDevice::Expect(const std::string& command, const std::string& reply) {
  script.Expect(command, attsim::Action::Reply(reply));
}

void ConnectedDevice::Expect(const std::string& command, attsim::Action action) {
  script.Expect(command, std::move(action));
}

}  // namespace torvek_test
