// Ports chosen by their USB adapter's identity, on trees of /dev and /sys of the test's own
// (TORVEK_ATTENUATOR_SYSROOT), whose ttyUSB nodes lead to simulated devices.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ConnectedDevice.h"

namespace {

namespace fs = std::filesystem;
using TORVEK::ConnectResult;

// A machine with USB adapters, each a link to a device server's pseudo-terminal.
class AdapterTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("torvek-ports-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root / "dev");
    ::setenv("TORVEK_ATTENUATOR_SYSROOT", root.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("TORVEK_ATTENUATOR_SYSROOT");
    fs::remove_all(root);
  }

  // ttyUSB<n> on a USB device with these ids, its node leading to `target`.
  void Adapter(int n, const std::string& vendor, const std::string& product,
               const std::string& serial, const std::string& target) {
    const std::string tty = "ttyUSB" + std::to_string(n);
    const fs::path usb = root / "sys/devices/pci0/usb1" / ("1-" + std::to_string(n));
    const fs::path port = usb / "1-1:1.0" / tty;
    fs::create_directories(port);
    Write(usb / "idVendor", vendor);
    Write(usb / "idProduct", product);
    Write(usb / "serial", serial);
    Write(port / "latency_timer", "16");
    fs::create_directories(root / "sys/class/tty" / tty);
    fs::create_directory_symlink(port, root / "sys/class/tty" / tty / "device");
    fs::create_symlink(target, root / "dev" / tty);
  }

  static void Write(const fs::path& file, const std::string& text) {
    std::ofstream(file) << text << "\n";
  }

  fs::path root;
  torvek::sim::ScriptedResponder script;
  torvek::sim::DeviceServer server{script};
};

TEST_F(AdapterTree, AStableIdentityLeadsToItsAdapterWhateverItsNode) {
  Adapter(3, "0403", "6001", "TA0001", server.Path());
  Adapter(7, "10c4", "ea60", "XY99", "/dev/null");

  const std::vector<TORVEK::SerialPortInfo> ports = TORVEK::ListSerialPorts();
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].path, "/dev/ttyUSB3");
  EXPECT_EQ(ports[0].open_path, (root / "dev/ttyUSB3").string());
  EXPECT_EQ(ports[0].vendor_id + ":" + ports[0].product_id + ":" + ports[0].serial,
            "0403:6001:TA0001");
  EXPECT_EQ(ports[0].latency_timer_ms, 16);

  const struct {
    const char* name;
    ConnectResult result;
    std::string path;
  } cases[] = {
      {"usb:0403:6001", ConnectResult::Connected, (root / "dev/ttyUSB3").string()},
      {"usb:0403:6001:TA0001", ConnectResult::Connected, (root / "dev/ttyUSB3").string()},
      {"usb:10C4:EA60", ConnectResult::Connected, (root / "dev/ttyUSB7").string()},
      {"usb:0403:6001:TA0002", ConnectResult::NoSuchPort, ""},
      {"usb:0403:6010", ConnectResult::NoSuchPort, ""},
      {"usb:0403", ConnectResult::NoSuchPort, ""},
      {"usb:403:6001", ConnectResult::NoSuchPort, ""},
      {"usb:0403:6001:", ConnectResult::NoSuchPort, ""},
      {"/dev/ttyS0", ConnectResult::Connected, "/dev/ttyS0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = "unwritten";
    EXPECT_EQ(TORVEK::ResolvePortName(c.name, &path), c.result);
    EXPECT_EQ(path, c.result == ConnectResult::Connected ? c.path : "unwritten");
  }

  // A name that leads nowhere: the advice names what is there.
  EXPECT_EQ(TORVEK::PortAdvice("/dev/ttyUSB9", ConnectResult::NoSuchPort),
            "ports present: /dev/ttyUSB3 /dev/ttyUSB7");
  EXPECT_EQ(TORVEK::PortAdvice("/dev/ttyUSB9", ConnectResult::NoIdentification), "");

  // Connect resolves it itself; the device there answers.
  TORVEK::AttenuatorHandler handler;
  script.Expect("0in", torvek::sim::Action::Reply(torvek::test::kDefaultIdentification));
  EXPECT_EQ(handler.Connect("usb:0403:6001:TA0001", 1), ConnectResult::Connected);
  EXPECT_EQ(handler.Connect("usb:0403:6001:TA0002", 1), ConnectResult::NoSuchPort);
  EXPECT_EQ(handler.Connect("usb:10c4:ea60", 1), ConnectResult::NotASerialPort);
  torvek::test::ExpectScriptFinished(script);
}

TEST_F(AdapterTree, TwoAdaptersOfOneKindNeedTheirSerial) {
  Adapter(0, "0403", "6001", "A", server.Path());
  Adapter(1, "0403", "6001", "B", server.Path());
  std::string path;
  EXPECT_EQ(TORVEK::ResolvePortName("usb:0403:6001", &path), ConnectResult::AmbiguousPort);
  EXPECT_EQ(TORVEK::ResolvePortName("usb:0403:6001:B", &path), ConnectResult::Connected);
  EXPECT_EQ(path, (root / "dev/ttyUSB1").string());
  TORVEK::AttenuatorHandler handler;
  EXPECT_EQ(handler.Connect("usb:0403:6001", 3), ConnectResult::AmbiguousPort);
  // A link to the adapter is described as the adapter.
  fs::create_directories(root / "dev/serial/by-id");
  fs::create_symlink("../../ttyUSB1", root / "dev/serial/by-id/usb-B-port0");
  const TORVEK::SerialPortInfo described =
      TORVEK::DescribePort((root / "dev/serial/by-id/usb-B-port0").string());
  EXPECT_EQ(described.path, "/dev/ttyUSB1");
  EXPECT_EQ(described.serial, "B");
  EXPECT_TRUE(described.may_open);
}

// A lock file left by a terminal program says who holds the port while that process lives; a
// number no process can have names nobody.
TEST_F(AdapterTree, ALockFileNamesTheLiveProcessThatHoldsThePort) {
  Adapter(0, "0403", "6001", "A", server.Path());
  fs::create_directories(root / "var/lock");
  const std::string self = std::to_string(::getpid());
  const struct {
    std::string content;
    std::string locked_by;
  } cases[] = {
      {"      " + self + "\n", "process " + self + " (/var/lock/LCK..ttyUSB0)"},
      {"0\n", ""},
      {"-1\n", ""},
      {"4294967295\n", ""},  // -1 once cast to a pid: every process
      {"4294967297\n", ""},  // 1 once cast
      {"not a number\n", ""},
  };
  for (const auto& c : cases) {
    Write(root / "var/lock/LCK..ttyUSB0", c.content);
    EXPECT_EQ(TORVEK::DescribePort((root / "dev/ttyUSB0").string()).locked_by, c.locked_by)
        << c.content;
  }
}

}  // namespace
