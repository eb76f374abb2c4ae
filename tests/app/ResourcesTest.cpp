// Reads the resources of the built QOVA.exe: what Windows shows and obeys about the program.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

class ProgramResources : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = testing_support::binaryFolder() + L"\\QOVA.exe";
        module_ = LoadLibraryExW(path_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << GetLastError();
    }
    void TearDown() override {
        if (module_ != nullptr) FreeLibrary(module_);
    }

    std::string resourceBytes(const wchar_t* type, int id) const {
        HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(id), type);
        if (found == nullptr) return {};
        HGLOBAL loaded = LoadResource(module_, found);
        const char* data = static_cast<const char*>(LockResource(loaded));
        return data == nullptr ? std::string() : std::string(data, SizeofResource(module_, found));
    }

    std::wstring path_;
    HMODULE module_ = nullptr;
};

TEST_F(ProgramResources, IconOneHoldsTheUsualSizes) {
    const std::string group = resourceBytes(RT_GROUP_ICON, 1);
    ASSERT_GE(group.size(), 6u);
    const unsigned count = static_cast<unsigned char>(group[4]) | static_cast<unsigned char>(group[5]) << 8;
    EXPECT_GE(count, 4u);
    // Each entry: width, height, ... ; 0 stands for 256.
    bool has16 = false;
    bool has32 = false;
    bool has256 = false;
    for (unsigned i = 0; i < count && 6 + 14 * (i + 1) <= group.size(); ++i) {
        const unsigned width = static_cast<unsigned char>(group[6 + 14 * i]);
        has16 |= width == 16;
        has32 |= width == 32;
        has256 |= width == 0;
    }
    EXPECT_TRUE(has16 && has32 && has256);
}

TEST_F(ProgramResources, ManifestRunsAsInvokerPerMonitorAwareInUtf8) {
    const std::string manifest = resourceBytes(RT_MANIFEST, 1);
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find(">PerMonitorV2"), std::string::npos);
    EXPECT_NE(manifest.find(">true/pm<"), std::string::npos);
    EXPECT_NE(manifest.find("<activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">UTF-8<"),
              std::string::npos);
}

TEST_F(ProgramResources, VersionIsZeroOneTwo) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, (0u << 16) | 1u);
    EXPECT_EQ(fixed->dwFileVersionLS, 2u << 16);
    EXPECT_EQ(fixed->dwProductVersionMS, (0u << 16) | 1u);

    wchar_t* text = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\ProductVersion",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_EQ(std::wstring(text), L"0.1.2");
}

// The names of the DLLs the executable imports, read from its import directory.
std::vector<std::string> importedLibraries(const std::string& image) {
    std::vector<std::string> names;
    auto at = [&image](std::size_t offset, std::size_t size) {
        return offset + size <= image.size() ? image.data() + offset : nullptr;
    };
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(at(0, sizeof(IMAGE_DOS_HEADER)));
    if (dos == nullptr) return names;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(at(dos->e_lfanew, sizeof(IMAGE_NT_HEADERS64)));
    if (nt == nullptr) return names;
    const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        at(dos->e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt->FileHeader.SizeOfOptionalHeader,
           nt->FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER)));
    if (sections == nullptr) return names;
    auto fileOffset = [&](DWORD rva) -> std::size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const auto& section = sections[i];
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize)
                return rva - section.VirtualAddress + section.PointerToRawData;
        }
        return image.size();
    };
    const DWORD importRva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (std::size_t offset = fileOffset(importRva);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* entry =
            reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(at(offset, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
        if (entry == nullptr || entry->Name == 0) break;
        const char* name = at(fileOffset(entry->Name), 1);
        if (name == nullptr) break;
        names.emplace_back(name, strnlen(name, image.size() - fileOffset(entry->Name)));
    }
    return names;
}

TEST_F(ProgramResources, ImportsOnlySystemLibraries) {
    // A DLL of the toolchain left as an import would fail silently on a user's machine.
    const std::vector<std::string> names = importedLibraries(testing_support::readFile(path_));
    EXPECT_NE(std::find(names.begin(), names.end(), "KERNEL32.dll"), names.end()) << testing::PrintToString(names);
    for (const std::string& name : names) {
        EXPECT_NE(name.rfind("lib", 0), 0u) << name;  // libwinpthread-1.dll, libstdc++-6.dll, libgcc_s_seh-1.dll
    }
}

}  // namespace
