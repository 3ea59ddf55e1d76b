// SPDX-License-Identifier: Apache-2.0
#include "ModuleLoader.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>

namespace veilcast::module {

namespace {

bool widen(const std::string& text, std::wstring& wide)
{
    if (text.empty())
        return true;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    if (n <= 0)
        return false;
    wide.resize(static_cast<std::size_t>(n));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                               wide.data(), n) == n;
}

std::string narrow(const wchar_t* text, int length)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(n, 0)), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
    return out;
}

std::string systemMessage(DWORD code)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = buffer ? narrow(buffer, static_cast<int>(length)) : std::string();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return (text.empty() ? "system error" : text) + " (error " + std::to_string(code) + ")";
}

}  // namespace

const char* const suffix = ".dll";

void* open(const std::string& path, std::string& error)
{
    std::wstring wide;
    if (!widen(path, wide)) {
        error = "the path is not valid UTF-8";
        return nullptr;
    }
    // Build systems write paths with forward slashes, which LoadLibraryW does
    // not accept everywhere.
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    HMODULE handle = LoadLibraryW(wide.c_str());
    if (!handle)
        error = systemMessage(GetLastError());
    return reinterpret_cast<void*>(handle);
}

void close(void* handle)
{
    FreeLibrary(static_cast<HMODULE>(handle));
}

}  // namespace veilcast::module
