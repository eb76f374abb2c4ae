#pragma once

// Owns memory the system allocated for us with LocalAlloc (security descriptors, SID texts,
// message texts) and frees it exactly once.

#include <windows.h>

#include <memory>

namespace win {

struct LocalFreeDeleter {
    void operator()(void* memory) const { LocalFree(memory); }
};

template <class T>
using UniqueLocal = std::unique_ptr<T, LocalFreeDeleter>;

}  // namespace win
