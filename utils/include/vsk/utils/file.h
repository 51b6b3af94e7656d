// Whole-file reading and writing, temporary file names that vanish with their last holder, and the
// path helpers of the library: the program's own path, the temporary, special and profile folders,
// name parts and existence tests. Code that splits paths accepts both "/" and "\".
#pragma once

#include <vsk/platform/file.h>
#include <vsk/platform/module.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

namespace Vsk::InternalUtils {

// A file read into or written from the blob part. Owned by one thread.
class CFile : public Vsk::Utils::CDataBlob {
public:
    CFile();
    // Shares the contents of `data` (the bytes to write).
    explicit CFile(const Vsk::Utils::CDataBlob& data);
    ~CFile() override;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    void openForRead(const WCHAR* path);
    // `disposition` is a creation disposition of CreateFileW (CREATE_ALWAYS, OPEN_ALWAYS, ...).
    void openForWrite(const WCHAR* path, DWORD disposition);
    // Reads as many bytes as the blob holds into it; returns the bytes read.
    DWORD read();
    void write();
    uint64_t getSize();
    // The last write time in local time; false when any step fails.
    bool getLastWriteTime(SYSTEMTIME& time);
    void close();
    void readAll(const WCHAR* path);
    void writeAll(const WCHAR* path, DWORD disposition);
    Vsk::Utils::CWString getFileName() const { return m_path; }

private:
    Vsk::Utils::CWString m_path;
    HANDLE m_file;
};

}  // namespace Vsk::InternalUtils

namespace Vsk::Utils {

// The name of a temporary file; the last handle to let go deletes the file.
class CTempFile {
public:
    class CImpl : public CRefMan, public CWString {
    public:
        CImpl() = default;
        ~CImpl() override;
    };

    CTempFile();
    // Replaces the implementation by a fresh one; the old file goes when no other handle shares it.
    void reset();
    // Makes the name from `prefix` (may be null) on first request; returns the path.
    CWString getName(const WCHAR* prefix);
    // The path, empty until a name was made.
    CWString getPath() const;

private:
    CRefPtr<CImpl> m_pImpl;
};

// The temporary folder, `prefix` (nothing when null) and a new GUID in lower case without braces.
CWString Get_TempFileName(const WCHAR* prefix);

}  // namespace Vsk::Utils

namespace Vsk::InternalUtils {

// The temporary folder with its trailing separator; raises "GetTempPath" on failure.
Vsk::Utils::CWString GetTempPathW();
// The module's full path (the program's for null); empty on failure.
Vsk::Utils::CWString GetModuleFileNameW(HMODULE module = nullptr);
// The folder part of the module's path, with its trailing separator.
Vsk::Utils::CWString GetModuleFolder(HMODULE module = nullptr);
// The special folder without creating it; empty on failure.
Vsk::Utils::CWString GetSpecialFolderPath(int csidl);
// The full path, or the text unchanged when it cannot be made.
Vsk::Utils::CWString GetFullPath(const Vsk::Utils::CWString& path);
// Up to and including the last "\" or "/"; the whole text when there is none.
Vsk::Utils::CWString GetFolderPart(const Vsk::Utils::CWString& path);
// After the last "\" or "/"; the whole text when there is none.
Vsk::Utils::CWString GetFileNamePartW(const Vsk::Utils::CWString& path);
// The 8-bit form points into `path` (source file names in error-location lines); null stays null.
const char* GetFileNamePartA(const char* path);
void TruncateAtFirstDot(Vsk::Utils::CWString& text);
// Appends "\" unless the text ends in "\" or "/"; an empty text becomes "\".
void AddBackslash(Vsk::Utils::CWString& text);
bool FileExists(const Vsk::Utils::CWString& path);
bool DirectoryExists(const Vsk::Utils::CWString& path);
// Each of * | \ : " < > ? / becomes a blank, then white space is trimmed at both ends.
Vsk::Utils::CWString MakeValidFileName(const Vsk::Utils::CWString& text);
// The application's folder in the user's roaming application data, created when missing; an empty
// name stands for the program file's name without its extension.
Vsk::Utils::CWString GetProfileFolder(const Vsk::Utils::CWString& name);

}  // namespace Vsk::InternalUtils
