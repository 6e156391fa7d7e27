#include "Measure.h"

#include <dirent.h>
#include <malloc.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <thread>

namespace torvek_bench {
namespace {

long CountEntries(const char* directory) {
  DIR* dir = ::opendir(directory);
  if (dir == nullptr) {
    return -1;
  }
  long count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') {
      ++count;
    }
  }
  ::closedir(dir);
  return count;
}

}  // namespace

Summary Summarize(std::vector<double> samples) {
  Summary s;
  s.count = samples.size();
  if (samples.empty()) {
    return s;
  }
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  s.min = samples.front();
  s.max = samples.back();
  s.median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
  const std::size_t rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
  s.p99 = samples[std::max<std::size_t>(rank, 1) - 1];
  return s;
}

Usage CurrentUsage() {
  Usage u;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      u.rss_kib = std::stol(line.substr(6));
    }
  }
  // A thread just joined can stay listed until the kernel has finished with it: count once
  // the list has held still (three looks 20 ms apart, two seconds at most).
  u.threads = CountEntries("/proc/self/task");
  for (int look = 0, unchanged = 0; look < 100 && unchanged < 3; ++look) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const long now = CountEntries("/proc/self/task");
    unchanged = now == u.threads ? unchanged + 1 : 0;
    u.threads = now;
  }
  // opendir holds one descriptor of its own while it counts.
  u.descriptors = CountEntries("/proc/self/fd") - 1;
  const struct mallinfo2 heap = ::mallinfo2();
  u.heap_kib = static_cast<double>(heap.uordblks + heap.hblkhd) / 1024.0;
  return u;
}

std::string MachineDescription() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  std::string model = "unknown CPU";
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname uts{};
  ::uname(&uts);
  std::ostringstream out;
  out << model << ", " << ::sysconf(_SC_NPROCESSORS_ONLN) << " CPUs online, Linux " << uts.release;
  return out.str();
}

std::string LoadAverage() {
  std::ifstream loadavg("/proc/loadavg");
  std::string one, five, fifteen;
  loadavg >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace torvek_bench
