#include <cstdio>

#include "Sections.h"

namespace torvek::bench {
namespace {

bool g_failed = false;

}  // namespace

bool Connected(TORVEK::AttenuatorHandler& handler, const std::string& path) {
  return handler.Connect(path, TORVEK::kConnectAttempts) == TORVEK::ConnectResult::Connected;
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

}  // namespace torvek::bench
