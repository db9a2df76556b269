// Sizing of large buffers before they are allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <memory>
#include <string>
#include <vector>

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

// An allocator whose resize() leaves new elements of plain types uninitialised (they are
// default-initialised rather than value-initialised), for large buffers that are written
// before they are read: a fill would only cost time.
template <typename T>
struct DefaultInitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() = default;
    template <typename U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        std::allocator_traits<std::allocator<T>>::construct(*this, p, std::forward<Args>(args)...);
    }
};

template <typename T>
using BufferVector = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace korvel::engine
