// Loaded with LD_PRELOAD by tests/test_resources.py: replaces the global
// operator new and delete so that a test can make the k-th allocation from
// now fail (as std::bad_alloc, or nullptr for the nothrow forms) and can
// read how many blocks are live, to see that a failed call freed
// everything it allocated. Only C++ code allocates through these.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> countdown{-1};  // allocations to let through; -1: never fail
std::atomic<int> fired{0};
std::atomic<long> live{0};

void* allocate(std::size_t size, std::size_t alignment) {
    long left = countdown.load(std::memory_order_relaxed);
    if (left >= 0) {
        countdown.store(left - 1, std::memory_order_relaxed);
        if (left == 0) {
            fired.store(1, std::memory_order_relaxed);
            return nullptr;
        }
    }
    if (size == 0) size = 1;
    void* p = alignment <= alignof(std::max_align_t)
                  ? std::malloc(size)
                  : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (p != nullptr) live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void release(void* p) {
    if (p == nullptr) return;
    live.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
}

void* allocate_or_throw(std::size_t size, std::size_t alignment) {
    void* p = allocate(size, alignment);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

extern "C" {
// The k-th operator new from now on (0: the next one) fails; -1 disarms.
__attribute__((visibility("default"))) void failing_new_arm(long k) {
    fired.store(0);
    countdown.store(k);
}
// 1 when the armed failure has happened since the last arm.
__attribute__((visibility("default"))) int failing_new_fired() { return fired.load(); }
// Blocks allocated by operator new and not yet deleted.
__attribute__((visibility("default"))) long failing_new_live() { return live.load(); }
}

void* operator new(std::size_t size) { return allocate_or_throw(size, 0); }
void* operator new[](std::size_t size) { return allocate_or_throw(size, 0); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) {
    return allocate_or_throw(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return allocate_or_throw(size, static_cast<std::size_t>(a));
}
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
