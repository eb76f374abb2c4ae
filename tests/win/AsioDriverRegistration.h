#pragma once

// Registers the test ASIO driver (qova_test_asio.dll, next to the test executables) in the
// Wine prefix the way a driver's installer does: its COM class with the server's path, and
// a key under HKLM\SOFTWARE\ASIO naming the class. Tests that load it like a real driver
// register it first and remove it again afterwards.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/app/TestSupport.h"
#include "tests/fixtures/TestAsioDriver.h"
#include "win/base/Text.h"

namespace test_asio {

inline std::string classIdText(const GUID& id) {
    wchar_t text[40];
    StringFromGUID2(id, text, 40);
    return win::toUtf8(text);
}

inline void setRegistryString(HKEY root, const std::wstring& path, const wchar_t* valueName, const std::wstring& text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// The class, served by the test driver's DLL in a single-threaded apartment.
inline void registerClass(const GUID& classId) {
    const std::wstring server = testing_support::binaryFolder() + L"\\qova_test_asio.dll";
    ASSERT_TRUE(testing_support::fileExists(server));
    const std::wstring classKey = win::toWide("CLSID\\" + classIdText(classId)) + L"\\InprocServer32";
    ASSERT_NO_FATAL_FAILURE(setRegistryString(HKEY_CLASSES_ROOT, classKey, nullptr, server));
    ASSERT_NO_FATAL_FAILURE(setRegistryString(HKEY_CLASSES_ROOT, classKey, L"ThreadingModel", L"Apartment"));
}

// The driver's ASIO key: its name, class and description.
inline void registerDriverName(const std::string& name, const GUID& classId) {
    const std::wstring key = win::toWide("SOFTWARE\\ASIO\\" + name);
    ASSERT_NO_FATAL_FAILURE(setRegistryString(HKEY_LOCAL_MACHINE, key, L"CLSID", win::toWide(classIdText(classId))));
    ASSERT_NO_FATAL_FAILURE(setRegistryString(HKEY_LOCAL_MACHINE, key, L"Description", win::toWide(name)));
}

inline void unregisterClass(const GUID& classId) {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, win::toWide("CLSID\\" + classIdText(classId)).c_str());
}

inline void unregisterDriverName(const std::string& name) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, win::toWide("SOFTWARE\\ASIO\\" + name).c_str());
}

}  // namespace test_asio
