#include "kernelObjects.h"

#include <vsk/platform/file.h>
#include <vsk/platform/handle.h>
#include <vsk/platform/identity.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/security.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace vsk::kernel;

namespace {

constexpr BYTE SidRevision = 1;
constexpr BYTE MaxSubAuthorities = 8;
constexpr DWORD ERROR_INVALID_SID = 1337;
constexpr DWORD ERROR_NONE_MAPPED = 1332;
constexpr DWORD ERROR_INVALID_ACL = 1336;
constexpr DWORD ERROR_INVALID_SECURITY_DESCR = 1338;
constexpr DWORD ERROR_INVALID_REVISION = 1305;

size_t sidLength(BYTE count) {
    return 8 + 4 * static_cast<size_t>(count);
}

bool sidIs(const SID* sid, const SID_IDENTIFIER_AUTHORITY& authority, std::initializer_list<DWORD> subs) {
    if (std::memcmp(sid->IdentifierAuthority.Value, authority.Value, 6) != 0) return false;
    if (sid->SubAuthorityCount != subs.size()) return false;
    size_t i = 0;
    for (DWORD s : subs)
        if (sid->SubAuthority[i++] != s) return false;
    return true;
}

bool isUserSid(const SID* sid) {
    return sidIs(sid, SECURITY_UNIX_USER_AUTHORITY, {1, geteuid()});
}
bool isAdminsSid(const SID* sid) {
    return sidIs(sid, SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
}
bool isWorldSid(const SID* sid) {
    return sidIs(sid, SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID});
}

struct TokenObject : KernelObject {
    TokenObject() : KernelObject(ObjectKind::Token) {}
};

// The access list this layer makes: the platform's header, then the mode it stands for.
constexpr DWORD ModeAclMagic = 0x564b4d44;  // "DMKV"
struct ModeAcl {
    ACL header;
    DWORD magic;
    DWORD mode;  // permission bits for a file; folders add the search bit where reading is allowed
};

// rwx bits (4, 2, 0) that an access mask grants on a file.
unsigned accessBits(DWORD access) {
    unsigned bits = 0;
    if (access & (GENERIC_ALL | GENERIC_READ | FILE_READ_DATA)) bits |= 4;
    if (access & (GENERIC_ALL | GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)) bits |= 2;
    return bits;
}

}  // namespace

namespace vsk::kernel {

// The mode to create with: the one recorded in the attributes' descriptor, or `defaultMode` when
// none is given. `folder` adds the search bit wherever reading is allowed.
unsigned FileModeFromSecurity(const SECURITY_ATTRIBUTES* attributes, unsigned defaultMode, bool folder) {
    if (!attributes || !attributes->lpSecurityDescriptor) return defaultMode;
    auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION || !(sd->Control & SE_DACL_PRESENT)) return defaultMode;
    if (!sd->Dacl) return folder ? 0777 : 0666;
    auto* acl = reinterpret_cast<const ModeAcl*>(sd->Dacl);
    if (acl->magic != ModeAclMagic) return defaultMode;
    unsigned mode = acl->mode;
    if (folder) {
        for (unsigned shift : {6u, 3u, 0u})
            if (mode & (4u << shift)) mode |= 1u << shift;
    }
    return mode;
}

}  // namespace vsk::kernel

BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE count, DWORD s0, DWORD s1,
                              DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid) {
    if (!authority || !sid || count == 0 || count > MaxSubAuthorities) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* out = static_cast<SID*>(std::calloc(1, sidLength(count)));
    if (!out) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    out->Revision = SidRevision;
    out->SubAuthorityCount = count;
    out->IdentifierAuthority = *authority;
    const DWORD subs[MaxSubAuthorities] = {s0, s1, s2, s3, s4, s5, s6, s7};
    std::memcpy(out->SubAuthority, subs, 4 * static_cast<size_t>(count));
    *sid = out;
    return TRUE;
}

void* FreeSid(PSID sid) {
    std::free(sid);
    return nullptr;
}

BOOL IsValidSid(PSID sid) {
    auto* s = static_cast<const SID*>(sid);
    return s && s->Revision == SidRevision && s->SubAuthorityCount <= MaxSubAuthorities ? TRUE : FALSE;
}

DWORD GetLengthSid(PSID sid) {
    return IsValidSid(sid) ? static_cast<DWORD>(sidLength(static_cast<SID*>(sid)->SubAuthorityCount)) : 0;
}

BOOL EqualSid(PSID a, PSID b) {
    if (!IsValidSid(a) || !IsValidSid(b)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    return GetLengthSid(a) == GetLengthSid(b) && std::memcmp(a, b, GetLengthSid(a)) == 0 ? TRUE : FALSE;
}

BOOL CheckTokenMembership(HANDLE token, PSID sid, BOOL* isMember) {
    if (!isMember || !IsValidSid(sid) || (token && !LookupHandle(token, ObjectKind::Token))) {
        SetLastError(token && !LookupHandle(token, ObjectKind::Token) ? ERROR_INVALID_HANDLE
                                                                      : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* s = static_cast<const SID*>(sid);
    if (isAdminsSid(s))
        *isMember = IsProcessAdministrator() ? TRUE : FALSE;
    else
        *isMember = isWorldSid(s) || isUserSid(s) ? TRUE : FALSE;
    return TRUE;
}

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
    if (!token) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (process != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *token = InsertHandle(std::make_shared<TokenObject>(), access);
    return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info, DWORD length,
                         DWORD* returnLength) {
    DWORD access = 0;
    if (!LookupHandle(token, ObjectKind::Token, &access)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(access & TOKEN_QUERY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (infoClass != TokenUser || !returnLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(sizeof(TOKEN_USER) + sidLength(2));
    *returnLength = needed;
    if (!info || length < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memset(info, 0, needed);
    auto* user = static_cast<TOKEN_USER*>(info);
    auto* sid = reinterpret_cast<SID*>(static_cast<BYTE*>(info) + sizeof(TOKEN_USER));
    sid->Revision = SidRevision;
    sid->SubAuthorityCount = 2;
    sid->IdentifierAuthority = SECURITY_UNIX_USER_AUTHORITY;
    const DWORD subs[2] = {1, static_cast<DWORD>(geteuid())};
    std::memcpy(sid->SubAuthority, subs, sizeof subs);
    user->User.Sid = sid;
    return TRUE;
}

BOOL ConvertSidToStringSidW(PSID sid, LPWSTR* text) {
    if (!IsValidSid(sid) || !text) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    auto* s = static_cast<const SID*>(sid);
    uint64_t authority = 0;
    for (BYTE b : s->IdentifierAuthority.Value) authority = (authority << 8) | b;
    std::string narrow = "S-" + std::to_string(s->Revision) + "-" + std::to_string(authority);
    for (BYTE i = 0; i < s->SubAuthorityCount; ++i) narrow += "-" + std::to_string(s->SubAuthority[i]);
    std::u16string wide = ToUtf16(narrow);
    auto* out = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, (wide.size() + 1) * sizeof(WCHAR)));
    if (!out) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    wide.copy(out, wide.size());
    out[wide.size()] = 0;
    *text = out;
    return TRUE;
}

DWORD SetEntriesInAclW(ULONG count, EXPLICIT_ACCESS_W* entries, PACL oldAcl, PACL* newAcl) {
    if (!newAcl || (count && !entries)) return ERROR_INVALID_PARAMETER;
    // Rights per trustee, as the platform keeps one entry per trustee: the user's, and Everyone's
    // (which the user has too). Other trustees (Administrators) need no bits.
    unsigned user = 0, world = 0, userDenied = 0, worldDenied = 0;
    if (oldAcl) {
        auto* old = reinterpret_cast<const ModeAcl*>(oldAcl);
        if (old->magic != ModeAclMagic) return ERROR_INVALID_ACL;
        user = (old->mode >> 6) & 7;
        world = old->mode & 7;
    }
    for (ULONG i = 0; i < count; ++i) {
        const EXPLICIT_ACCESS_W& e = entries[i];
        if (e.Trustee.TrusteeForm != TRUSTEE_IS_SID) return ERROR_NONE_MAPPED;
        auto* sid = reinterpret_cast<SID*>(e.Trustee.ptstrName);
        if (!IsValidSid(sid)) return ERROR_INVALID_SID;
        unsigned* granted = isUserSid(sid) ? &user : isWorldSid(sid) ? &world : nullptr;
        unsigned* denied = isUserSid(sid) ? &userDenied : isWorldSid(sid) ? &worldDenied : nullptr;
        if (!granted) continue;
        const unsigned bits = accessBits(e.grfAccessPermissions);
        switch (e.grfAccessMode) {
            case SET_ACCESS:
                *granted = bits, *denied = 0;
                break;
            case GRANT_ACCESS:
                *granted |= bits;
                break;
            case DENY_ACCESS:
                *denied |= bits;
                break;
            case REVOKE_ACCESS:
                *granted = 0, *denied = 0;
                break;
            default:
                break;
        }
    }
    const unsigned owner = (user | world) & ~(userDenied | worldDenied);
    const unsigned others = world & ~worldDenied;
    const unsigned mode = (owner << 6) | (others << 3) | others;
    auto* acl = static_cast<ModeAcl*>(LocalAlloc(LMEM_ZEROINIT, sizeof(ModeAcl)));
    if (!acl) return ERROR_NOT_ENOUGH_MEMORY;
    acl->header.AclRevision = 2;
    acl->header.AclSize = sizeof(ModeAcl);
    acl->header.AceCount = static_cast<WORD>(count);
    acl->magic = ModeAclMagic;
    acl->mode = mode;
    *newAcl = &acl->header;
    return ERROR_SUCCESS;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
    if (!descriptor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_REVISION);
        return FALSE;
    }
    std::memset(descriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl, BOOL defaulted) {
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
    if (!sd || sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    if (dacl && reinterpret_cast<const ModeAcl*>(dacl)->magic != ModeAclMagic) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    sd->Control = static_cast<WORD>(sd->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (present) {
        sd->Control |= SE_DACL_PRESENT;
        if (defaulted) sd->Control |= SE_DACL_DEFAULTED;
        sd->Dacl = dacl;
    } else {
        sd->Dacl = nullptr;
    }
    return TRUE;
}

BOOL GetUserNameW(LPWSTR buffer, DWORD* size) {
    if (!size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string name;
    std::vector<char> scratch(16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    const int err = getpwuid_r(geteuid(), &pw, scratch.data(), scratch.size(), &found);
    if (err == 0 && found && found->pw_name && *found->pw_name) {
        name = found->pw_name;
    } else {
        for (const char* var : {"USER", "LOGNAME"}) {
            const char* value = getenv(var);
            if (value && *value) {
                name = value;
                break;
            }
        }
    }
    if (name.empty()) {
        SetLastError(err ? Win32FromErrno(err) : ERROR_NONE_MAPPED);
        return FALSE;
    }
    const std::u16string wide = ToUtf16(name);
    const DWORD needed = static_cast<DWORD>(wide.size() + 1);
    if (!buffer || *size < needed) {
        *size = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    wide.copy(buffer, wide.size());
    buffer[wide.size()] = 0;
    *size = needed;
    return TRUE;
}
