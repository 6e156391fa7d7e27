#include "link/WireTrace.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace TORVEK {
namespace {

constexpr char kVariable[] = "TORVEK_ATTENUATOR_TRACE";

// Where the handlers of the process trace to, by destination, while any of them does; a file is
// closed with the last handler tracing there and appended to again by the next one. Lines are
// written whole under this one lock.
struct Sinks {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<TraceSink>> open;
  std::set<std::string> refused;  // warned about once, and not tried again
};

Sinks& AllSinks() {
  static Sinks sinks;
  return sinks;
}

}  // namespace

struct TraceSink {
  TraceSink(std::FILE* file, bool owned) : out(file), owned(owned) {}
  ~TraceSink() {
    if (owned) {
      std::fclose(out);
    }
  }
  TraceSink(const TraceSink&) = delete;
  TraceSink& operator=(const TraceSink&) = delete;

  std::FILE* out;
  bool owned;
};

std::unique_ptr<WireTrace> WireTrace::FromEnvironment(unsigned handler_number) {
  const char* variable = std::getenv(kVariable);
  if (variable == nullptr || *variable == '\0') {
    return nullptr;
  }
  const std::string destination = variable;
  Sinks& sinks = AllSinks();
  std::lock_guard<std::mutex> lock(sinks.mutex);
  std::shared_ptr<TraceSink> sink = sinks.open[destination].lock();
  if (!sink) {
    if (sinks.refused.count(destination) != 0) {
      return nullptr;
    }
    if (destination == "stderr") {
      sink = std::make_shared<TraceSink>(stderr, false);
    } else if (std::FILE* file = std::fopen(destination.c_str(), "a")) {
      sink = std::make_shared<TraceSink>(file, true);
    } else {
      std::fprintf(stderr, "torvek_attenuator: %s=%s: cannot open it (%s); no trace\n", kVariable,
                   destination.c_str(), std::strerror(errno));
      sinks.refused.insert(destination);
      sinks.open.erase(destination);
      return nullptr;
    }
    sinks.open[destination] = sink;
  }
  return std::unique_ptr<WireTrace>(new WireTrace(std::move(sink), handler_number));
}

void WireTrace::Line(const char* who, std::string_view text) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  char head[64];
  const int length = std::snprintf(head, sizeof head, "%12.6f #%u %-6s ", seconds, handler_, who);
  std::string line(head, static_cast<std::size_t>(length > 0 ? length : 0));
  line.append(text);
  line += '\n';
  std::lock_guard<std::mutex> lock(AllSinks().mutex);
  std::fwrite(line.data(), 1, line.size(), sink_->out);
  std::fflush(sink_->out);
}

void WireTrace::Bytes(const char* who, std::string_view bytes) {
  Line(who, EscapedBytes(bytes));
}

}  // namespace TORVEK
