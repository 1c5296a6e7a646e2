// Allocator for the large per-atom arrays. Blocks of several megabytes are
// aligned to 2 MB and offered to the kernel for huge pages, which makes
// touching a million-atom array several times faster than with 4 kB pages.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#include <sys/mman.h>

template <class T>
struct QB_allocator {
    using value_type = T;

    QB_allocator() = default;
    template <class U>
    QB_allocator(const QB_allocator<U>&) {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        std::size_t bytes = n * sizeof(T);
        void* p = nullptr;
        if (bytes >= kLarge) {
            bytes = (bytes + kHuge - 1) / kHuge * kHuge;
            p = std::aligned_alloc(kHuge, bytes);
#ifdef MADV_HUGEPAGE
            if (p) madvise(p, bytes, MADV_HUGEPAGE);
#endif
        } else {
            p = std::malloc(bytes ? bytes : 1);
        }
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) { std::free(p); }

    static constexpr std::size_t kHuge = std::size_t(2) << 20;
    static constexpr std::size_t kLarge = std::size_t(4) << 20;
};

template <class T, class U>
bool operator==(const QB_allocator<T>&, const QB_allocator<U>&) {
    return true;
}
template <class T, class U>
bool operator!=(const QB_allocator<T>&, const QB_allocator<U>&) {
    return false;
}
