/// @file
/// IniFile.h: typed access to one INI settings file through the platform's
/// private-profile functions.
#pragma once

#include "VexloTool/Export.h"

namespace VexloTool {

/// Keeps only the file's name; every read and write is one request to the
/// profile service, so other objects and processes see each write at once.
/// Integers are written as "%d", floats as "%.2f" (full stop, whatever the
/// locale), and strings as they are. A file the class creates holds any
/// Unicode text on both targets (Windows: UTF-16LE with a byte order mark);
/// an existing file keeps its encoding (an ANSI file on Windows can hold only
/// its code page's characters).
///
/// Thread affinity: none; one object is used by one thread at a time, other
/// objects (even on the same file) from any thread. Locks: one process-wide
/// leaf lock held across a write (creating a missing file and writing to it
/// are one step, so writers that create the file at once keep each other's
/// keys); no host code runs under it. A modify-if-not-equal call is a read
/// and a write, not atomic against other writers of the same key.
///
/// Bad input: a null section or key reads the default and writes nothing (a
/// null key would otherwise address every key of the section, and deleting
/// with it would drop the whole section). A section, key or value with a line
/// break, a key with '=' or a key starting with '[' or ';' is not written, as
/// it would corrupt the file's structure; GetLastError then tells
/// ERROR_INVALID_PARAMETER. A write that fails (missing folder, read-only
/// file) leaves the profile service's error there.
class VEXLOTOOL_API CIniFile {
public:
    /// Names the file; nothing is read or created until a value is.
    CIniFile(const wchar_t* fileName = L"");
    CIniFile(const CIniFile& other);
    CIniFile& operator=(const CIniFile& other);
    virtual ~CIniFile();

    /// A null name means the empty name.
    void SetFileName(const wchar_t* fileName);
    /// The executable's path with its extension replaced by ".ini" (or ".ini"
    /// appended when the file name has none); full stops in folder names and
    /// a leading one in the file name are no extension. Paths of any length.
    void SetDefaultName();
    /// Valid until the name changes or the object is destroyed; never null.
    const wchar_t* GetFileName() const;

    /// The stored integer; the default when the key is missing or section or key is null.
    int GetIntValue(const wchar_t* section, const wchar_t* key, int defaultValue);
    /// Writes the value as "%d".
    void SetIntValue(const wchar_t* section, const wchar_t* key, int value);
    /// The stored text converted as wcstod does in the C locale; a missing key
    /// gives the default rounded to two decimals, an empty or non-numeric text 0.
    float GetFloatValue(const wchar_t* section, const wchar_t* key, float defaultValue);
    void SetFloatValue(const wchar_t* section, const wchar_t* key, float value);
    // The stored text (at most 2047 characters), or the default when the key
    // is missing; null when that is empty. Release with ReleaseString.
    wchar_t* GetStringValue(const wchar_t* section, const wchar_t* key,
                            const wchar_t* defaultValue);
    // A null value deletes the key.
    void SetStringValue(const wchar_t* section, const wchar_t* key, const wchar_t* value);
    // Releases a string handed out by this class (null is ignored).
    static void ReleaseString(wchar_t* text);

    /// Each writes only when the stored value (read with the default) differs,
    /// and returns 1 when it wrote: 0 when they were equal, and also when the
    /// write was refused or failed (GetLastError tells why), so a caller never
    /// believes a value stored that is not. Integers compare as numbers, text
    /// and floats as text (floats formatted with "%.2f").
    int ModifyValueIfNotEqual(const wchar_t* section, const wchar_t* key, int value,
                              int defaultValue);
    /// A null value is a caller error: throws std::system_error whose
    /// code().value() is E_FAIL (0x80004005) and writes nothing.
    int ModifyValueIfNotEqual(const wchar_t* section, const wchar_t* key, const wchar_t* value,
                              const wchar_t* defaultValue);
    int ModifyValueIfNotEqual(const wchar_t* section, const wchar_t* key, float value,
                              float defaultValue);

    void DeleteValue(const wchar_t* section, const wchar_t* key);

private:
    // Characters of a reference-counted, immutable block shared by copies.
    wchar_t* m_fileName;
};

}  // namespace VexloTool
