#include "DeviceHarness.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "DeviceServer.h"
#include "Responder.h"

namespace {

struct Device {
  torvek::sim::ScriptedResponder script;
  torvek::sim::DeviceServer server{script};
};

std::unique_ptr<Device> device;
std::string received;
thread_local bool fail_allocations = false;

}  // namespace

// Replacing the global allocation functions in the test program replaces them for the shared
// library too, which is how the test makes the library run out of memory on demand.
void* operator new(std::size_t size) {
  if (fail_allocations) {
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) {
    return block;
  }
  throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}

extern "C" {

int device_start(void) {
  try {
    device = std::make_unique<Device>();
    return 1;
  } catch (const std::exception& err) {
    std::fprintf(stderr, "device_start: %s\n", err.what());
    return 0;
  }
}

const char* device_path(void) {
  return device->server.Path().c_str();
}

void device_expect(const char* command, const char* reply) {
  device->script.Expect(command, reply != nullptr ? torvek::sim::Action::Reply(reply)
                                                  : torvek::sim::Action::Silence());
}

const char* device_received(void) {
  received = device->server.AllReceived();
  return received.c_str();
}

void device_clear_log(void) {
  device->server.ClearLog();
}

int device_script_done(void) {
  int done = 1;
  for (const std::string& command : device->script.Unexpected()) {
    std::fprintf(stderr, "  unexpected command \"%s\"\n", command.c_str());
    done = 0;
  }
  for (const std::string& command : device->script.Remaining()) {
    std::fprintf(stderr, "  expected command \"%s\" never arrived\n", command.c_str());
    done = 0;
  }
  return done;
}

void device_stop(void) {
  device.reset();
}

void device_fail_allocations(int fail) {
  fail_allocations = fail != 0;
}

}  // extern "C"
