// Edges a host program reaches through the public class: a port name the system would read
// differently from the caller, and a line that drops right after a reply-sized burst without
// its line end.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ConnectedDevice.h"

namespace {

using torvek::sim::Action;
using torvek::sim::Chunk;
using namespace std::chrono_literals;

// The system takes a port name up to its first NUL. A name with a NUL inside names another
// port than the one the caller sees; connecting to that one would report success for a port
// nobody asked for.
TEST(PortName, ANameWithANulInsideIsNotOpened) {
  // A device that identifies itself to whoever asks, so that only the name can fail.
  torvek::sim::FunctionResponder device([](const std::string& command) {
    return command == "0in" ? Action::Reply(torvek::test::kDefaultIdentification)
                            : Action::Silence();
  });
  torvek::sim::DeviceServer server{device};
  for (const std::string& tail : {std::string("\0", 1), std::string("\0-spare", 7)}) {
    SCOPED_TRACE(tail.size());
    TORVEK::AttenuatorHandler handler;
    EXPECT_FALSE(handler.Connect(server.Path() + tail));
    EXPECT_EQ(handler.GetCurrentStatus(100), TORVEK::PortUnavailable);
  }
  EXPECT_EQ(server.AllReceived(), "");
}

// The device sends as many bytes as the expected reply has, but the last two are not CR LF,
// and the line then drops. No line ever completed: whatever the bytes look like, they are not
// the reply, and no output may be written from them.
struct CutCase {
  const char* name;
  std::string command;
  std::string bytes;
  // Makes the call; false when an output variable no longer holds the caller's value.
  std::function<int(TORVEK::AttenuatorHandler&, bool* untouched)> call;
};

TEST(HangUpAfterAReplySizedBurst, IsNeverOkAndWritesNothing) {
  const CutCase cases[] = {
      {"GetMotorSteps", "0gp", "0PO00001234ZZ",
       [](TORVEK::AttenuatorHandler& h, bool* untouched) {
         int steps = -5;
         const int result = h.GetMotorSteps(&steps, 2000);
         *untouched = steps == -5;
         return result;
       }},
      {"GetMotorDegree", "0gp", "0PO0000E000\r?",
       [](TORVEK::AttenuatorHandler& h, bool* untouched) {
         float degree = -5.0f;
         const int result = h.GetMotorDegree(&degree, 2000);
         *untouched = degree == -5.0f;
         return result;
       }},
      {"GetTransmittance", "0gp", "0PO00008C00??",
       [](TORVEK::AttenuatorHandler& h, bool* untouched) {
         float transmittance = -5.0f;
         const int result = h.GetTransmittance(&transmittance, 0.0, 90.0, 2000);
         *untouched = transmittance == -5.0f;
         return result;
       }},
      {"GetCurrentStatus", "0gs", "0GS00\r?",
       [](TORVEK::AttenuatorHandler& h, bool*) {
         return static_cast<int>(h.GetCurrentStatus(2000));
       }},
      {"Stop", "0st", "0GS00ab",
       [](TORVEK::AttenuatorHandler& h, bool*) { return static_cast<int>(h.Stop(2000)); }},
  };
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.name);
    torvek::sim::ScriptedResponder script;
    torvek::sim::DeviceServer server{script};
    TORVEK::AttenuatorHandler handler;
    ASSERT_TRUE(torvek::test::ConnectScripted(handler, script, server));
    // The pause lets the host read the burst before the line drops.
    Action cut = Action::Fragments({Chunk{0us, c.bytes}, Chunk{30ms, ""}});
    cut.hang_up = true;
    script.Expect(c.command, cut);
    bool untouched = true;
    // As for any reply cut short by a hang-up: the port has gone.
    EXPECT_EQ(c.call(handler, &untouched), TORVEK::PortUnavailable);
    EXPECT_TRUE(untouched);
    torvek::test::ExpectScriptFinished(script);
  }
}

}  // namespace
