#include "engine/memory.h"

#include <unistd.h>

#include <cstdio>

namespace korvel::engine {

std::uint64_t memory_budget_bytes() {
    // Read once: the physical memory does not change while the process runs, and the
    // query is a system call, which the rotation orbits would otherwise make once per
    // direction of every monomial.
    static const std::uint64_t budget = [] {
        long pages = sysconf(_SC_PHYS_PAGES);
        long page = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || page <= 0) return kCountMax;
        return sat_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page));
    }();
    return budget;
}

namespace {
std::string human_bytes(std::uint64_t b) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double v = static_cast<double>(b);
    int u = 0;
    while (v >= 1024.0 && u < 6) {
        v /= 1024.0;
        ++u;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}
}  // namespace

void require_memory(std::uint64_t count, std::uint64_t bytes_per_element, const char* what) {
    std::uint64_t need = sat_mul(count, bytes_per_element);
    std::uint64_t budget = memory_budget_bytes();
    if (need <= budget) return;
    std::string n = count == kCountMax ? std::string("more than 2^64") : std::to_string(count);
    throw MemoryLimitError(std::string(what) + " needs " + n + " entries (" +
                           (count == kCountMax ? std::string("beyond any") : human_bytes(need)) +
                           " of memory), more than the " + human_bytes(budget) +
                           " this machine has");
}

}  // namespace korvel::engine
