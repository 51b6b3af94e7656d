// Internal to the kernel stand-ins: the handle table shared by files, mutexes, threads, tokens and
// event sources, and the UTF-16 <-> UTF-8 conversions of paths and names.
#pragma once

#include <vsk/platform/types.h>
#include <vsk/platform/utf8.h>

#include <memory>
#include <string>
#include <string_view>

struct SECURITY_ATTRIBUTES;

namespace vsk::kernel {

enum class ObjectKind { File, Mutex, Thread, Token, EventSource };

// Every object a HANDLE can name. Handles hold shared references, so an object stays alive while a
// call on it runs even when another thread closes the handle meanwhile.
struct KernelObject {
    explicit KernelObject(ObjectKind k) : kind(k) {}
    virtual ~KernelObject() = default;
    const ObjectKind kind;
};

// A new handle value for the object (never null, never INVALID_HANDLE_VALUE). `access` is the access
// mask granted to this handle.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object, DWORD access);
// The object behind a handle when it is of the given kind; null otherwise (no last error set).
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle, ObjectKind kind, DWORD* access = nullptr);
// Any kind; null for an unknown handle.
std::shared_ptr<KernelObject> LookupAnyHandle(HANDLE handle, DWORD* access = nullptr);
// Forgets the handle; false when it was unknown or of another kind.
bool RemoveHandle(HANDLE handle, ObjectKind kind);
bool RemoveAnyHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> Lookup(HANDLE handle, ObjectKind kind, DWORD* access = nullptr) {
    return std::static_pointer_cast<T>(LookupHandle(handle, kind, access));
}

// The kernel's short names for the codec of utf8.h: UTF-16 to UTF-8 (an unpaired surrogate becomes
// U+FFFD; a null text is empty) and UTF-8 to UTF-16 (ill-formed sequences become U+FFFD).
inline std::string ToUtf8(std::u16string_view text) {
    return Utf16ToUtf8(text);
}
std::string ToUtf8(const WCHAR* text);
inline std::u16string ToUtf16(std::string_view text) {
    return Utf8ToUtf16(text);
}
// A path as the callers write it (Windows-style text) to the bytes Linux takes: UTF-8 with every
// "\" turned into "/", since the callers build paths with both separators.
std::string PathToUtf8(const WCHAR* path);

// Copies a text out by the platform's size-query rule: when `size` holds the text and its NUL, the
// text is copied and its length (without NUL) returned; otherwise nothing is copied and the needed
// size (with NUL) is returned.
DWORD CopyOutSized(std::u16string_view text, LPWSTR buffer, DWORD size);

// The Win32 code for a failed path operation: ENOENT becomes ERROR_PATH_NOT_FOUND when the folder
// of the path does not exist either (as the platform tells the two apart), otherwise Win32FromErrno.
DWORD PathError(const std::string& path, int err);

// Lexical absolute form of a UTF-8 path: relative to the current folder, "." and ".." resolved,
// doubled separators collapsed; a trailing separator is kept. No disk access besides getcwd.
std::string AbsolutePath(const std::string& path);

// The mode to create a file or folder with: the one recorded in the attributes' security
// descriptor, or `defaultMode` when none is given. `folder` adds the search bit wherever reading is
// allowed.
unsigned FileModeFromSecurity(const SECURITY_ATTRIBUTES* attributes, unsigned defaultMode, bool folder);

// The home folder: $HOME, else the password database entry of the effective user; empty when neither.
std::string HomeFolder();

}  // namespace vsk::kernel
