#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace torvek::bench {

// Order statistics of a set of samples, in the samples' own unit.
struct Summary {
  std::size_t count = 0;
  double min = 0;
  double median = 0;
  double p99 = 0;  // nearest rank: 99 % of the samples are at or below it
  double max = 0;
};

Summary Summarize(std::vector<double> samples);

// What the process holds now.
struct Usage {
  long rss_kib = 0;      // resident set (VmRSS)
  long threads = 0;      // entries of /proc/self/task, once they hold still
  long descriptors = 0;  // open descriptors, less the one used to count them
  double heap_kib = 0;   // allocated and not freed, all malloc arenas
};

Usage CurrentUsage();

// The machine, for the heading of a run: CPU model, online CPUs, kernel.
std::string MachineDescription();

// The 1-minute load average as /proc/loadavg shows it.
std::string LoadAverage();

}  // namespace torvek::bench
