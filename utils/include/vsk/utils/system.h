// Small system services of the library: the administrator test, the user's name, a security
// descriptor for the current user and the administrators, closing and waiting on handles with logged
// outcomes, the module list of the process, file versions, resources copied out of a module and new
// GUID texts. The order of CryptoAPI blobs (compareCryptBlob) is declared in dataBlob.h.
#pragma once

#include <vsk/platform/handle.h>
#include <vsk/platform/security.h>
#include <vsk/platform/types.h>
#include <vsk/utils/array.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

namespace Vsk::Utils {

// Whether the current user is an administrator; `checkWorked` (may be null) receives whether the
// membership check could be made. The first completed answer is kept for the rest of the process.
BOOL IsCurrentUserAdmin(bool* checkWorked = nullptr);
// Test seam: forgets the kept answer, so that the next call asks again.
void ForgetCurrentUserAdmin();

// A file version: major.minor.build.revision.
class CAppVersion {
public:
    CAppVersion() = default;
    CAppVersion(WORD majorPart, WORD minorPart, WORD buildPart, WORD revisionPart)
        : m_major(majorPart), m_minor(minorPart), m_build(buildPart), m_revision(revisionPart) {}

    // "major.minor.build.revision", each part in decimal without padding.
    CWString text() const;

    WORD m_major = 0;
    WORD m_minor = 0;
    WORD m_build = 0;
    WORD m_revision = 0;
};

// The file version of the file's version information; false (the failure logged) when it cannot be
// read.
bool GetAppVersion(const WCHAR* filePath, CAppVersion& version);

// Copies a resource out of a module. Nothing stays loaded after a successful load.
class CResourceLoader {
public:
    CResourceLoader() = default;
    ~CResourceLoader();
    CResourceLoader(const CResourceLoader&) = delete;
    CResourceLoader& operator=(const CResourceLoader&) = delete;

    // A copy of the resource's bytes; `moduleFile` null means the program's own module. Raises CError.
    CDataBlob load(const WCHAR* moduleFile, const WCHAR* name, const WCHAR* type);
    // Frees the resource and the module (never the program's own module).
    void release();

private:
    HMODULE m_module = nullptr;
    HGLOBAL m_resource = nullptr;
};

// A new GUID as 36 lower-case characters without braces. Raises CError.
CWString CreateGuid();

}  // namespace Vsk::Utils

namespace Vsk::InternalUtils {

// The current user's logon name; empty when it cannot be had.
Utils::CWString GetUserNameText();

// An absolute security descriptor whose access list (returned through `dacl`, freed by the caller
// with LocalFree) grants full access to the current user and to Administrators and, when asked, read
// access to Everyone. Raises CError.
Utils::CDataBlob CreateSecurityDescriptorForAdminAndCurrentUser(ACL** dacl, bool everyoneMayRead);

// Closes `*handle` and nulls the variable, also when the close fails (the failure is logged). FALSE
// and the variable untouched for a null handle or INVALID_HANDLE_VALUE.
BOOL closeHandle(HANDLE* handle);

// WaitForSingleObject with its outcome written to the log.
DWORD waitForSingleObject(HANDLE handle, DWORD milliseconds);

// One text per module of the process, the program first: the path and, with `details`,
// " | " version, " | " last write time (UTC) and " | " the copyright texts where they can be read.
Utils::CArray<Utils::CWString> GetProcessModules(HANDLE process, bool details);

// The version text of a loaded module's file, or "indeterminate".
Utils::CWString GetModuleVersion(HMODULE module);

}  // namespace Vsk::InternalUtils
