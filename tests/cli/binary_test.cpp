// What Windows reads from the shipped program before it runs a line of it.
#include <string>

#include "base/owners.h"
#include "support/test_support.h"

namespace {

// The stripped file in release/ beside bin/, the one that is signed and shipped.
std::wstring shipped_program() { return built_program(L"..\\release\\mirvo_machine.exe"); }

std::string embedded_manifest()
{
    std::wstring exe = shipped_program();
    HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == nullptr) return {};
    std::string text;
    HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    if (resource != nullptr) {
        HGLOBAL loaded = LoadResource(image, resource);
        DWORD size = SizeofResource(image, resource);
        if (loaded != nullptr) text.assign(static_cast<const char*>(LockResource(loaded)), size);
    }
    FreeLibrary(image);
    return text;
}

TEST(shipped_program, manifest_asks_for_no_elevation_and_declares_windows_10_and_11_and_long_paths)
{
    std::string manifest = embedded_manifest();
    ASSERT_FALSE(manifest.empty()) << "no manifest resource 1";
    EXPECT_NE(manifest.find(R"(level="asInvoker")"), std::string::npos);
    EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
    EXPECT_EQ(manifest.find("highestAvailable"), std::string::npos);
    EXPECT_NE(manifest.find(R"(<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>)"), std::string::npos);
    EXPECT_NE(manifest.find(R"(<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>)"),
              std::string::npos);
}

TEST(shipped_program, version_resource_names_the_product)
{
    std::wstring exe = shipped_program();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::string data(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, data.data()));
    auto value = [&](const wchar_t* name) {
        wchar_t* text = nullptr;
        UINT length = 0;
        std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&text), &length)) return std::wstring();
        return std::wstring(text);
    };
    EXPECT_EQ(value(L"ProductName"), L"MIRVO");
    EXPECT_EQ(value(L"OriginalFilename"), L"mirvo_machine.exe");
    EXPECT_FALSE(value(L"FileDescription").empty());
    EXPECT_FALSE(value(L"FileVersion").empty());
}

}  // namespace
