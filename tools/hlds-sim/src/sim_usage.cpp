#include "sim_usage.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <fstream>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's count of the bytes its allocator handed out.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace ironpost::sim {

namespace {

std::uint64_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's allocator replaces the C library's and keeps its own count.
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;  // every arena, the plugin's threads' included
#endif
}

long OpenDescriptors() {
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) {
        return -1;
    }
    long count = 0;
    while (const dirent* entry = readdir(folder)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(folder);
    return count - 1;  // the listing's own descriptor
}

std::string Mebibytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
    return text;
}

}  // namespace

ProcessUsage SampleProcessUsage() {
    ProcessUsage usage;
    usage.heap_bytes = HeapInUse();
    std::uint64_t pages = 0;
    std::uint64_t resident = 0;
    std::ifstream statm("/proc/self/statm");
    if (statm >> pages >> resident) {
        usage.resident_bytes = resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    }
    usage.open_descriptors = OpenDescriptors();
    return usage;
}

std::string DescribeUsage(const ProcessUsage& usage) {
    return "heap " + Mebibytes(usage.heap_bytes) + ", resident " + Mebibytes(usage.resident_bytes) +
           ", " + std::to_string(usage.open_descriptors) + " descriptors";
}

}  // namespace ironpost::sim
