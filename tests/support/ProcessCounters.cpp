#include "ProcessCounters.h"

#include <dirent.h>

namespace torvek_test {
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

std::size_t DescriptorCount() {
  return EntriesIn("/proc/self/fd") - 1;
}

}  // namespace torvek_test
