// Text crosses into the W functions as UTF-16 and comes back as UTF-8:
// the one pair of conversions every Windows platform file uses.
#pragma once

#include <string>
#include <string_view>

namespace vel::platform::win32 {

// Empty for an empty, invalid or over-long text.
std::wstring to_wide(std::string_view s);
std::string to_utf8(const wchar_t* w, size_t len);
std::string to_utf8(const wchar_t* w);  // up to its NUL

}  // namespace vel::platform::win32
