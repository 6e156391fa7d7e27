#pragma once

#include <cstddef>

namespace torvek_test {

// Threads of this process (entries of /proc/self/task).
std::size_t ThreadCount();

// Open descriptors of this process (entries of /proc/self/fd, less the one reading it).
std::size_t DescriptorCount();

}  // namespace torvek_test
