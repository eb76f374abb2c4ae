#pragma once

// Joins the calling thread to a COM apartment for the life of the object. It leaves only an
// apartment it joined: a CoUninitialize without its own successful CoInitializeEx would take
// the apartment away from whoever made it.

#include <objbase.h>

namespace win {

class ComApartment {
public:
    explicit ComApartment(COINIT model) : joined_(SUCCEEDED(CoInitializeEx(nullptr, model))) {}
    ~ComApartment() {
        if (joined_) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    bool joined() const { return joined_; }

private:
    bool joined_;
};

}  // namespace win
