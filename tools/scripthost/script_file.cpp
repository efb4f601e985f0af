#include "tools/scripthost/script_file.h"
#include <windows.h>

namespace velkomb::scripthost {

namespace {

std::optional<std::string> ReadBytes(const std::wstring& path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) bytes.append(chunk, read);
    CloseHandle(file);
    return bytes;
}

std::optional<std::wstring> Decode(UINT codePage, DWORD flags, const char* bytes, int size)
{
    if (size == 0) return std::wstring();
    const int length = MultiByteToWideChar(codePage, flags, bytes, size, nullptr, 0);
    if (length == 0) return std::nullopt;
    std::wstring text(length, L'\0');
    MultiByteToWideChar(codePage, flags, bytes, size, text.data(), length);
    return text;
}

} // namespace

std::optional<std::wstring> ReadScriptFile(const std::wstring& path)
{
    const std::optional<std::string> bytes = ReadBytes(path);
    if (!bytes) return std::nullopt;
    const std::string& b = *bytes;
    if (b.size() >= 2 && b[0] == '\xFF' && b[1] == '\xFE') {
        return std::wstring(reinterpret_cast<const wchar_t*>(b.data() + 2), (b.size() - 2) / sizeof(wchar_t));
    }
    if (b.size() >= 3 && b.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        return Decode(CP_UTF8, 0, b.data() + 3, static_cast<int>(b.size() - 3));
    }
    const int size = static_cast<int>(b.size());
    if (auto text = Decode(CP_UTF8, MB_ERR_INVALID_CHARS, b.data(), size)) return text;
    return Decode(CP_ACP, 0, b.data(), size);
}

} // namespace velkomb::scripthost
