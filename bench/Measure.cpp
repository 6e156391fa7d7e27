#include "Measure.h"

#include <malloc.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "ProcessCounters.h"

namespace torvek::bench {

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
  // A thread just joined can stay listed until the kernel has finished with it.
  u.threads = static_cast<long>(torvek::sim::SettledThreadCount());
  u.descriptors = static_cast<long>(torvek::sim::DescriptorCount());
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

}  // namespace torvek::bench
