#include "WireTrace.h"

#include <chrono>

#include <torvek_wiretext/Escape.h>

namespace torvek::sim {

WireTrace::WireTrace(std::FILE* out) : out_(out), start_(Clock::now()) {}

void WireTrace::OnCommand(Clock::time_point when, const std::string& command) {
  Line(when, "host  ", TORVEK::EscapedBytes(command));
}

void WireTrace::OnSent(const Sent& sent) {
  Line(sent.when, "device", TORVEK::EscapedBytes(sent.bytes));
}

void WireTrace::Note(const std::string& text) {
  Line(Clock::now(), "fault ", text);
}

void WireTrace::Line(Clock::time_point when, const char* who, const std::string& text) {
  const double seconds = std::chrono::duration<double>(when - start_).count();
  std::lock_guard<std::mutex> lock(mu_);
  std::fprintf(out_, "%12.6f %s %s\n", seconds, who, text.c_str());
  std::fflush(out_);
}

}  // namespace torvek::sim
