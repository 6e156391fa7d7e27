#include "WireTrace.h"

#include <chrono>

namespace attsim {

std::string Escape(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\\') {
      text += "\\\\";
    } else if (u >= 0x20 && u < 0x7F) {
      text += c;
    } else {
      text += "\\x";
      text += kHex[u >> 4];
      text += kHex[u & 0xF];
    }
  }
  return text;
}

WireTrace::WireTrace(std::FILE* out) : out_(out), start_(Clock::now()) {}

void WireTrace::OnCommand(Clock::time_point when, const std::string& command) {
  Line(when, "<-", Escape(command));
}

void WireTrace::OnSent(const Sent& sent) {
  Line(sent.when, "->", Escape(sent.bytes));
}

void WireTrace::Note(const std::string& text) {
  Line(Clock::now(), "!!", text);
}

void WireTrace::Line(Clock::time_point when, const char* arrow, const std::string& text) {
  const double seconds = std::chrono::duration<double>(when - start_).count();
  std::lock_guard<std::mutex> lock(mu_);
  std::fprintf(out_, "%12.6f %s %s\n", seconds, arrow, text.c_str());
  std::fflush(out_);
}

}  // namespace attsim
