// Links against the installed library and checks what a host sees before any device is there.
#include <torvek/AttenuatorHandler.h>

#include <cstdio>

int main() {
  TORVEK::AttenuatorHandler attenuator;
  if (attenuator.Connect("/dev/no-such-attenuator")) {
    std::puts("consumer: connected to a port that does not exist");
    return 1;
  }
  const TORVEK::AttenuatorStatus status = attenuator.GetCurrentStatus(100);
  if (status != TORVEK::PortUnavailable) {
    std::printf("consumer: expected PortUnavailable without a port, got %d\n", status);
    return 1;
  }
  std::printf("consumer: library %s found and linked\n", TORVEK::LibraryVersion());
  return 0;
}
