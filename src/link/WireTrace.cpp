#include "link/WireTrace.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace TORVEK {
namespace {

constexpr char kVariable[] = "TORVEK_ATTENUATOR_TRACE";

// Every destination of the process, opened once and kept: handlers come and go, the file
// stays one stream, appended to.
std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, std::FILE*>& Sinks() {
  static auto* sinks = new std::map<std::string, std::FILE*>;  // outlives every handler
  return *sinks;
}

// Under SinkMutex. Null when the destination cannot be opened; the warning is given once.
std::FILE* SinkFor(const std::string& destination) {
  auto& sinks = Sinks();
  const auto found = sinks.find(destination);
  if (found != sinks.end()) {
    return found->second;
  }
  std::FILE* out = stderr;
  if (destination != "stderr") {
    out = std::fopen(destination.c_str(), "a");
    if (out == nullptr) {
      std::fprintf(stderr, "torvek_attenuator: %s=%s: cannot open it (%s); no trace\n", kVariable,
                   destination.c_str(), std::strerror(errno));
    }
  }
  sinks.emplace(destination, out);
  return out;
}

}  // namespace

std::unique_ptr<WireTrace> WireTrace::FromEnvironment(unsigned handler_number) {
  const char* destination = std::getenv(kVariable);
  if (destination == nullptr || *destination == '\0') {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(SinkMutex());
  std::FILE* out = SinkFor(destination);
  if (out == nullptr) {
    return nullptr;
  }
  return std::unique_ptr<WireTrace>(new WireTrace(out, handler_number));
}

void WireTrace::Line(const char* who, std::string_view text) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  char head[64];
  const int length = std::snprintf(head, sizeof head, "%12.6f #%u %-6s ", seconds, handler_, who);
  std::string line(head, static_cast<std::size_t>(length > 0 ? length : 0));
  line.append(text);
  line += '\n';
  std::lock_guard<std::mutex> lock(SinkMutex());
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

void WireTrace::Bytes(const char* who, std::string_view bytes) {
  Line(who, EscapedBytes(bytes));
}

}  // namespace TORVEK
