#pragma once

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "DeviceServer.h"
#include "Frames.h"
#include "Responder.h"
#include "torvek/AttenuatorHandler.h"

namespace torvek::test {

// The identification a default device sends: 360 degrees and 143360 steps per revolution.
inline const std::string kDefaultIdentification = "0IN0E1234ABCD01020304016800023000\r\n";

// Fails the test on a command the script did not expect, or on an expected exchange that has
// not happened once the device has had a moment to finish the one in hand.
void ExpectScriptFinished(const torvek::sim::ScriptedResponder& script);

// One Connect of the public class; the white-box tests add one for the implementation
// (InternalConnect.h), found by argument-dependent lookup.
inline bool ConnectOnce(TORVEK::AttenuatorHandler& handler, const std::string& port) {
  return handler.Connect(port);
}

// Connects `handler` (the public class or its implementation) to the scripted device behind
// `server`, which answers the identification with `identification`; then starts the device's
// log afresh. The device has 100 ms to identify itself, and a machine busy with other builds can
// stall a thread that long: a connection that is only the set-up of a test gets two more
// chances. The identification itself is tested on its own, where no retry hides anything.
template <typename Handler>
bool ConnectScripted(Handler& handler, torvek::sim::ScriptedResponder& script,
                     torvek::sim::DeviceServer& server,
                     const std::string& identification = kDefaultIdentification) {
  bool connected = false;
  for (int attempt = 0; attempt < 3 && !connected; ++attempt) {
    script.Expect("0in", torvek::sim::Action::Reply(identification));
    connected = ConnectOnce(handler, server.Path());
    ExpectScriptFinished(script);
  }
  server.ClearLog();
  return connected;
}

// A handler connected to a scripted device on a pseudo-terminal. Each test states the
// exchanges it expects with Expect(); the device fails the test on a command nobody expected
// and on an expected exchange that never happened.
class ConnectedDevice : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The device answers `command` with `reply` (exact bytes, CR LF included).
  void Expect(const std::string& command, const std::string& reply);
  void Expect(const std::string& command, torvek::sim::Action action);

  // Everything the library wrote since the connection was made.
  std::string Wire() const { return server.AllReceived(); }

  // Connects `handler` to the device with the given identification reply.
  bool ConnectWith(const std::string& identification);

  torvek::sim::ScriptedResponder script;
  torvek::sim::DeviceServer server{script};
  TORVEK::AttenuatorHandler handler;
};

// Milliseconds that `call` takes.
template <typename Call>
double MillisecondsOf(Call&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace torvek::test
