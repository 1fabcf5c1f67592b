// UTF-8 <-> UTF-16 for tests and tools, through the system's converters.
#include "wintest.h"

WString PlatWide(const std::string &utf8) {
    if (utf8.empty())
        return WString();
    int length =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    WString out(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(),
                            length);
    return out;
}

std::string PlatNarrow(const WString &utf16) {
    if (utf16.empty())
        return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(),
                            length, nullptr, nullptr);
    return out;
}
