#pragma once

#include <cstddef>

// What this process holds, for checks that a device, a handler or a run leaves nothing behind.

namespace torvek::sim {

// Threads of this process (entries of /proc/self/task).
std::size_t ThreadCount();

// The thread count once it has held still for a while (at most about two seconds): a thread
// that was just joined can stay listed until the kernel has finished with it, so a count
// taken as a baseline right after a join may include it.
std::size_t SettledThreadCount();

// Open descriptors of this process (entries of /proc/self/fd, less the one reading it).
std::size_t DescriptorCount();

}  // namespace torvek::sim
