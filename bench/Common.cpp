#include <cstdio>

#include "Sections.h"

namespace torvek_bench {
namespace {

bool g_failed = false;

}  // namespace

bool Connected(TORVEK::AttenuatorHandler& handler, const std::string& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (handler.Connect(path)) {
      return true;
    }
  }
  return false;
}

void Fail(const std::string& what) {
  std::printf("   FAILED: %s\n", what.c_str());
  g_failed = true;
}

bool Failed() {
  return g_failed;
}

double MicrosecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

const char* Verdict(bool met) {
  return met ? "met" : "MISSED";
}

void PrintRow(const char* client, const Summary& s) {
  std::printf("   %-38s %9.1f %9.1f %9.1f\n", client, s.median, s.p99, s.max);
}

}  // namespace torvek_bench
