#pragma once

// Owns one view of a file mapping and unmaps it exactly once. The section itself stays
// alive for as long as any handle or view refers to it, so the view may outlive or be
// outlived by the handle it was made from.

#include <windows.h>

#include <utility>

namespace win {

class MappedView {
public:
    MappedView() = default;
    explicit MappedView(void* address) : address_(address) {}
    MappedView(MappedView&& other) noexcept : address_(std::exchange(other.address_, nullptr)) {}
    MappedView& operator=(MappedView&& other) noexcept {
        if (this != &other) reset(std::exchange(other.address_, nullptr));
        return *this;
    }
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    ~MappedView() { reset(); }

    void* get() const { return address_; }
    explicit operator bool() const { return address_ != nullptr; }

    void reset(void* address = nullptr) {
        if (address_ != nullptr) UnmapViewOfFile(address_);
        address_ = address;
    }

private:
    void* address_ = nullptr;
};

}  // namespace win
