// ini_file_name.h: how CIniFile derives its default settings file name from
// the executable's path (kept apart so tests can check it on any path).
#pragma once

#include <string>

namespace VexloTool {
namespace detail {

// The path with the file name's extension replaced by ".ini", or ".ini"
// appended when it has none. Only the file name is searched for the full
// stop, so "/opt/app.local/player" keeps its folder and a leading full stop
// ("/home/u/.player") marks a hidden file, not an extension.
inline std::wstring IniNameFor(const std::wstring& executable) {
    size_t separator = executable.find_last_of(L"\\/");
    size_t nameStart = separator == std::wstring::npos ? 0 : separator + 1;
    size_t dot = executable.rfind(L'.');
    std::wstring name = executable;
    if (dot != std::wstring::npos && dot > nameStart)
        name.erase(dot);
    return name + L".ini";
}

}  // namespace detail
}  // namespace VexloTool
