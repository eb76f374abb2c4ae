#pragma once

// Owns one open registry key and closes it exactly once.

#include <windows.h>

#include <utility>

namespace win {

class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { reset(); }

    HKEY get() const { return key_; }

    // For the open call to fill in; whatever was owned before is closed first.
    HKEY* receive() {
        reset();
        return &key_;
    }

private:
    void reset() {
        if (key_ != nullptr) RegCloseKey(std::exchange(key_, nullptr));
    }

    HKEY key_ = nullptr;
};

}  // namespace win
