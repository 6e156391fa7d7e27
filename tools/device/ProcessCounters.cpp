#include "ProcessCounters.h"

#include <dirent.h>

#include <chrono>
#include <thread>

namespace torvek::sim {
namespace {

std::size_t EntriesIn(const char* path) {
  DIR* dir = ::opendir(path);
  if (dir == nullptr) {
    return 0;
  }
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') {
      ++count;
    }
  }
  ::closedir(dir);
  return count;
}

}  // namespace

std::size_t ThreadCount() {
  return EntriesIn("/proc/self/task");
}

std::size_t SettledThreadCount() {
  using namespace std::chrono_literals;
  std::size_t count = ThreadCount();
  int unchanged = 0;
  for (int look = 0; look < 100 && unchanged < 3; ++look) {
    std::this_thread::sleep_for(20ms);
    const std::size_t now = ThreadCount();
    unchanged = now == count ? unchanged + 1 : 0;
    count = now;
  }
  return count;
}

std::size_t DescriptorCount() {
  return EntriesIn("/proc/self/fd") - 1;
}

}  // namespace torvek::sim
