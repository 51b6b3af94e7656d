#include <vsk/utils/system.h>

#include <vsk/platform/file.h>
#include <vsk/platform/guid.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/module.h>
#include <vsk/platform/resource.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>
#include <vsk/utils/global.h>
#include <vsk/utils/lib.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <atomic>
#include <string>
#include <vector>

namespace Vsk::Utils {

using InternalUtils::GetLogLevel;
using InternalUtils::LogAt;

namespace {

// Not yet checked; afterwards bit 0 = administrator, bit 1 = the check worked.
std::atomic<int32_t> g_adminCache{-1};

constexpr DWORD VersionInfoSignature = 0xFEEF04BD;

}  // namespace

void ForgetCurrentUserAdmin() {
    g_adminCache.store(-1);
}

BOOL IsCurrentUserAdmin(bool* checkWorked) {
    const int32_t cached = g_adminCache.load();
    if (cached != -1) {
        if (checkWorked) *checkWorked = (cached & 2) != 0;
        return cached & 1;
    }

    InternalUtils::CLogScope scope("Vsk::Utils::IsCurrentUserAdmin", 4);
    try {
        InternalUtils::CCommonInfoLock lock;
        const InternalUtils::PFN_CheckTokenMembership checkMembership =
            InternalUtils::BindCheckTokenMembership();
        BOOL member = FALSE;
        bool worked = false;
        PSID admins = nullptr;
        if (AllocateAndInitializeSid(&SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                     DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins)) {
            worked = checkMembership(nullptr, admins, &member) != 0;
            FreeSid(admins);
        }
        if (!worked) member = FALSE;
        g_adminCache.store((worked ? 2 : 0) | (member ? 1 : 0));
        if (checkWorked) *checkWorked = worked;
        if (scope.getLevel() >= 3) scope.setResult(member != 0);
        return member ? TRUE : FALSE;
    } catch (...) {
        // The membership could not be asked (the error is logged as it is built): the user counts as
        // an ordinary user whose check did not work, so machine-wide writes are not attempted.
        g_adminCache.store(0);
        if (checkWorked) *checkWorked = false;
        return FALSE;
    }
}

CWString CAppVersion::text() const {
    return ToWString(static_cast<uint32_t>(m_major)) + u"." + ToWString(static_cast<uint32_t>(m_minor)) +
           u"." + ToWString(static_cast<uint32_t>(m_build)) + u"." +
           ToWString(static_cast<uint32_t>(m_revision));
}

bool GetAppVersion(const WCHAR* filePath, CAppVersion& version) {
    InternalUtils::CLogScope scope;
    if (scope.getLevel() >= 5) scope.enter("Vsk::Utils::GetAppVersion", CWString(filePath ? filePath : u""));
    try {
        DWORD handle = 0;
        const DWORD size = GetFileVersionInfoSizeW(filePath, &handle);
        if (size == 0) {
            CError("Ошибка GetFileVersionInfoSize!", Vsk::Utils::LastErrorCode);
            return false;
        }
        CDataBlob buffer(static_cast<size_t>(size));
        if (!GetFileVersionInfoW(filePath, 0, size, buffer.getData())) {
            CError("Ошибка GetFileVersionInfo!", Vsk::Utils::LastErrorCode);
            return false;
        }
        void* fixed = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(buffer.getData(), u"\\", &fixed, &length) || !fixed ||
            length < sizeof(VS_FIXEDFILEINFO)) {
            CError("Ошибка VerQueryValue!", Vsk::Utils::LastErrorCode);
            return false;
        }
        const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
        if (info->dwSignature != VersionInfoSignature) {
            CError("Ошибка VerQueryValue!", static_cast<DWORD>(ERROR_INVALID_DATA));
            return false;
        }
        version.m_major = static_cast<WORD>(info->dwFileVersionMS >> 16);
        version.m_minor = static_cast<WORD>(info->dwFileVersionMS & 0xFFFF);
        version.m_build = static_cast<WORD>(info->dwFileVersionLS >> 16);
        version.m_revision = static_cast<WORD>(info->dwFileVersionLS & 0xFFFF);
        if (scope.getLevel() >= 3) scope.setResult(version.text());
        return true;
    } catch (...) {
        if (GetLogLevel() >= 1) {
            const CError error(Vsk::Utils::LastErrorCode);
            LogAt(1, u"Utils::GetAppVersion GetAppVersion " + error.getText());
        }
        return false;
    }
}

CResourceLoader::~CResourceLoader() {
    release();
}

CDataBlob CResourceLoader::load(const WCHAR* moduleFile, const WCHAR* name, const WCHAR* type) {
    release();
    if (moduleFile) {
        m_module = LoadLibraryW(moduleFile);
        if (!m_module) throw CError(u"Не найден модуль " + CWString(moduleFile), Vsk::Utils::LastErrorCode);
    }
    HRSRC found = FindResourceW(m_module, name, type);
    if (!found) throw CError("Не найден ресурс.", Vsk::Utils::LastErrorCode);
    m_resource = LoadResource(m_module, found);
    if (!m_resource) throw CError("LoadResource failed.", Vsk::Utils::LastErrorCode);
    const DWORD size = SizeofResource(m_module, found);
    const void* bytes = LockResource(m_resource);
    if (!bytes) throw CError("LockResource failed.", Vsk::Utils::LastErrorCode);
    // The copy outlives the module, which is freed next.
    CDataBlob copy(bytes, size, true);
    release();
    return copy;
}

void CResourceLoader::release() {
    if (m_resource) {
        FreeResource(m_resource);
        m_resource = nullptr;
    }
    if (m_module) {
        if (m_module != GetModuleHandleW(nullptr)) FreeLibrary(m_module);
        m_module = nullptr;
    }
}

CWString CreateGuid() {
    InternalUtils::CLogScope scope("Vsk::Utils::CreateGuid", 4);
    GUID guid{};
    const HRESULT hr = CoCreateGuid(&guid);
    if (FAILED(hr)) throw CError(hr);
    WCHAR buffer[64] = {};
    const int written = StringFromGUID2(guid, buffer, 64);
    // The braced form is 38 characters and its NUL.
    if (written < 39) throw CError("StringFromGUID2", Vsk::Utils::LastErrorCode);
    CWString text(buffer + 1, static_cast<size_t>(36));
    for (DWORD i = 0; i < text.getLength(); ++i) {
        WCHAR* c = text.at(i);
        if (*c >= u'A' && *c <= u'Z') *c = static_cast<WCHAR>(*c - u'A' + u'a');
    }
    if (scope.getLevel() >= 3) scope.setResult(text);
    return text;
}

}  // namespace Vsk::Utils

namespace Vsk::InternalUtils {

using Utils::CArray;
using Utils::CDataBlob;
using Utils::CError;
using Utils::CWString;
using Utils::GetSystemErrorText;
using Utils::ToWString;

namespace {

// Room for this many module handles; a process with more lists its first ones.
constexpr DWORD MaxModules = 1024;

// The largest token user record the descriptor builder reads.
constexpr DWORD TokenUserBufferSize = 1024;

const WCHAR RightsReservedTail[] = u" All rights reserved.";

CWString hex(const void* value) {
    return ToWString(value);
}

CWString withoutAll(const CWString& text, const WCHAR* what) {
    const std::u16string needle(what);
    std::u16string s = text.toU16();
    for (size_t at = s.find(needle); at != std::u16string::npos; at = s.find(needle, at))
        s.erase(at, needle.size());
    return CWString(s.c_str(), s.size());
}

// Frees a SID of AllocateAndInitializeSid at scope exit.
struct SidHolder {
    PSID sid = nullptr;
    ~SidHolder() {
        if (sid) FreeSid(sid);
    }
};

}  // namespace

CWString GetUserNameText() {
    DWORD size = 0;
    GetUserNameW(nullptr, &size);
    if (size == 0) return CWString();
    std::vector<WCHAR> buffer(size + 1, 0);
    if (!GetUserNameW(buffer.data(), &size)) return CWString();
    return CWString(buffer.data());
}

CDataBlob CreateSecurityDescriptorForAdminAndCurrentUser(ACL** dacl, bool everyoneMayRead) {
    static const char* const Name = "Vsk::InternalUtils::CreateSecurityDescriptorForAdminAndCurrentUser";
    const CWString logName = CWString(Utils::StripNamespacePrefix(Name), Utils::CP_PROGRAM);

    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_READ, &token))
        throw CError("OpenProcessToken", Vsk::Utils::LastErrorCode);
    alignas(8) BYTE tokenBuffer[TokenUserBufferSize];
    DWORD length = 0;
    const BOOL haveUser = GetTokenInformation(token, TokenUser, tokenBuffer, sizeof(tokenBuffer), &length);
    if (!haveUser) {
        CError error("GetTokenInformation", Vsk::Utils::LastErrorCode);
        closeHandle(&token);
        throw error;
    }
    closeHandle(&token);
    PSID userSid = reinterpret_cast<TOKEN_USER*>(tokenBuffer)->User.Sid;

    LPWSTR sidText = nullptr;
    if (ConvertSidToStringSidW(userSid, &sidText)) {
        if (GetLogLevel() >= 4) LogAt(4, logName + u" " + CWString(sidText));
        LocalFree(sidText);
    } else if (DWORD error = GetLastError(); error != 0 && GetLogLevel() >= 1) {
        LogAt(1, logName + u" ConvertSidToStringSid " + GetSystemErrorText(error));
    }

    EXPLICIT_ACCESS_W entries[3] = {};
    auto fill = [&](EXPLICIT_ACCESS_W& entry, DWORD rights, TRUSTEE_TYPE kind, PSID sid) {
        entry.grfAccessPermissions = rights;
        entry.grfAccessMode = SET_ACCESS;
        entry.grfInheritance = NO_INHERITANCE;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = kind;
        entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    };
    constexpr DWORD GenericAll = 0x10000000;
    constexpr DWORD GenericRead = 0x80000000;
    fill(entries[0], GenericAll, TRUSTEE_IS_USER, userSid);

    SidHolder admins;
    if (!AllocateAndInitializeSid(&SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins.sid))
        throw CError("AllocateAndInitializeSid DOMAIN_ALIAS_RID_ADMINS", Vsk::Utils::LastErrorCode);
    fill(entries[1], GenericAll, TRUSTEE_IS_GROUP, admins.sid);

    SidHolder everyone;
    ULONG count = 2;
    if (everyoneMayRead) {
        if (!AllocateAndInitializeSid(&SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0,
                                      0, &everyone.sid))
            throw CError("AllocateAndInitializeSid SECURITY_WORLD_RID", Vsk::Utils::LastErrorCode);
        fill(entries[2], GenericRead, TRUSTEE_IS_WELL_KNOWN_GROUP, everyone.sid);
        count = 3;
    }

    *dacl = nullptr;
    const DWORD aclResult = SetEntriesInAclW(count, entries, nullptr, dacl);
    if (aclResult != 0) throw CError("SetEntriesInAcl", aclResult);

    // Past this point the list belongs to the caller only when a descriptor is handed back with it.
    try {
        CDataBlob descriptor(static_cast<size_t>(SECURITY_DESCRIPTOR_MIN_LENGTH));
        descriptor.zeroFill();
        if (!InitializeSecurityDescriptor(descriptor.getData(), SECURITY_DESCRIPTOR_REVISION))
            throw CError("InitializeSecurityDescriptor", Vsk::Utils::LastErrorCode);
        if (!SetSecurityDescriptorDacl(descriptor.getData(), TRUE, *dacl, FALSE))
            throw CError("SetSecurityDescriptorDacl", Vsk::Utils::LastErrorCode);
        return descriptor;
    } catch (...) {
        LocalFree(*dacl);
        *dacl = nullptr;
        throw;
    }
}

BOOL closeHandle(HANDLE* handle) {
    if (!handle || !*handle || *handle == INVALID_HANDLE_VALUE) return FALSE;
    const HANDLE closing = *handle;
    const BOOL closed = CloseHandle(closing);
    if (!closed) {
        const DWORD error = GetLastError();
        if (error != 0 && GetLogLevel() >= 1) {
            Utils::CLastErrorGuard keep;
            LogAt(1, u"InternalUtils::closeHandle CloseHandle " + hex(closing) + u" " +
                         GetSystemErrorText(error));
        }
    }
    *handle = nullptr;
    return closed;
}

DWORD waitForSingleObject(HANDLE handle, DWORD milliseconds) {
    const DWORD result = WaitForSingleObject(handle, milliseconds);
    const DWORD error = GetLastError();
    const int level = GetLogLevel();
    Utils::CLastErrorGuard keep;
    const CWString name = u"InternalUtils::waitForSingleObject ";
    if (result == WAIT_OBJECT_0) {
        if (level >= 4) LogAt(4, name + u"wait finished");
    } else if (result == WAIT_ABANDONED) {
        if (level >= 1) LogAt(1, name + u"wait abandoned");
    } else if (result == WAIT_TIMEOUT) {
        if (level >= 2) LogAt(2, name + u"wait timeout " + ToWString(milliseconds) + u" ms");
    } else if (result == WAIT_FAILED && error != 0) {
        if (level >= 1) LogAt(1, name + u"wait failed " + GetSystemErrorText(error));
    } else if (level >= 1) {
        LogAt(1, name + u"wait return event " + ToWString(result));
    }
    return result;
}

CWString GetModuleVersion(HMODULE module) {
    const CWString path = GetModuleFileNameW(module);
    Utils::CAppVersion version;
    if (path.getLength() != 0 && Utils::GetAppVersion(path.c_str(), version)) return version.text();
    return u"indeterminate";
}

CArray<CWString> GetProcessModules(HANDLE process, bool details) {
    const CWString logName = u"InternalUtils::GetProcessModules";
    CArray<CWString> result;
    std::vector<HMODULE> modules(MaxModules, nullptr);
    DWORD needed = 0;
    if (!EnumProcessModules(process, modules.data(), MaxModules * sizeof(HMODULE), &needed)) {
        if (DWORD error = GetLastError(); error != 0 && GetLogLevel() >= 1)
            LogAt(1, logName + u" EnumProcessModules, cbNeeded=" + ToWString(needed) + u" " +
                         GetSystemErrorText(error));
        return result;
    }
    DWORD count = needed / sizeof(HMODULE);
    if (count > MaxModules) count = MaxModules;

    for (DWORD i = 0; i < count; ++i) {
        if (!modules[i]) continue;
        const CWString path = GetModuleFileNameW(modules[i]);
        CWString entry = path;
        if (details) {
            entry += u" | ";
            entry += GetModuleVersion(modules[i]);

            HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                if (DWORD error = GetLastError(); error != 0 && GetLogLevel() >= 1)
                    LogAt(1, logName + u" Файл \"" + entry + u"\" не открылся на чтение атрибутов " +
                                 GetSystemErrorText(error));
            } else {
                FILETIME written{};
                if (GetFileTime(file, nullptr, nullptr, &written)) {
                    entry += u" | ";
                    entry += Utils::FileTimeToText(&written, false);
                } else if (DWORD error = GetLastError(); error != 0 && GetLogLevel() >= 1) {
                    LogAt(1, logName + u" get LastWriteTime " + entry + u" " + GetSystemErrorText(error));
                }
                closeHandle(&file);
            }

            const CArray<CWString> copyrights = GetModuleInfo(path.c_str(), u"LegalCopyright");
            if (!copyrights.isEmpty()) {
                entry += u" | ";
                entry += withoutAll(Utils::JoinStrings(copyrights, u";"), RightsReservedTail);
            }
        }
        result.add(entry);
    }
    return result;
}

}  // namespace Vsk::InternalUtils
