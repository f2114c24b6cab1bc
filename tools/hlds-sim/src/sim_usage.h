#pragma once

// What the process holds, sampled in-process: the heap in use (the
// allocator's own count, so that a leak shows to the byte), the resident
// memory and the open descriptors. The plugin runs inside the simulator's
// process, so its share is in these figures.

#include <cstdint>
#include <string>

namespace ironpost::sim {

struct ProcessUsage {
    std::uint64_t heap_bytes = 0;      // allocated and not freed
    std::uint64_t resident_bytes = 0;  // /proc/self/statm
    long open_descriptors = 0;         // entries of /proc/self/fd
};

[[nodiscard]] ProcessUsage SampleProcessUsage();
// "heap 1.2 MiB, resident 14.0 MiB, 9 descriptors"
[[nodiscard]] std::string DescribeUsage(const ProcessUsage& usage);

}  // namespace ironpost::sim
