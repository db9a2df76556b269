// Sizing of large buffers before they are allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

namespace korvel::engine {

// An operator too large for this machine's memory. Derives from std::bad_alloc, so the
// bindings report it as MemoryError.
class MemoryLimitError : public std::bad_alloc {
public:
    explicit MemoryLimitError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Saturating arithmetic for element counts: a count that does not fit stays at the maximum.
inline constexpr std::uint64_t kCountMax = ~std::uint64_t{0};
constexpr std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
    return a > kCountMax - b ? kCountMax : a + b;
}
constexpr std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
    return (b != 0 && a > kCountMax / b) ? kCountMax : a * b;
}
constexpr std::uint64_t sat_pow2(int k) { return k >= 64 ? kCountMax : std::uint64_t{1} << k; }

// Bytes of memory this process may plan for: the machine's physical memory.
std::uint64_t memory_budget_bytes();

// Throws MemoryLimitError when `count` elements of `bytes_per_element` bytes do not fit the
// memory budget. `what` names the buffer, e.g. "Majorana expansion".
void require_memory(std::uint64_t count, std::uint64_t bytes_per_element, const char* what);

}  // namespace korvel::engine
