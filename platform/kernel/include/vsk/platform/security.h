// Security identifiers, access tokens and security descriptors, reduced to what a POSIX system can
// honour: a descriptor records the file mode that its access list amounts to, and CreateFileW and
// CreateDirectoryW create with that mode. Also the current user's name.
#pragma once

#include <vsk/platform/types.h>

using PSID = void*;
using PSECURITY_DESCRIPTOR = void*;

struct SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
};
struct SID {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[1];
};
constexpr SID_IDENTIFIER_AUTHORITY SECURITY_WORLD_SID_AUTHORITY = {{0, 0, 0, 0, 0, 1}};
constexpr SID_IDENTIFIER_AUTHORITY SECURITY_NT_AUTHORITY = {{0, 0, 0, 0, 0, 5}};
// The authority of the Unix user and group SIDs (S-1-22-1-<uid>), the current user's SID here.
constexpr SID_IDENTIFIER_AUTHORITY SECURITY_UNIX_USER_AUTHORITY = {{0, 0, 0, 0, 0, 22}};
constexpr DWORD SECURITY_WORLD_RID = 0;
constexpr DWORD SECURITY_BUILTIN_DOMAIN_RID = 32;
constexpr DWORD DOMAIN_ALIAS_RID_ADMINS = 544;

// Up to eight sub-authorities; the SID is freed with FreeSid.
BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE count, DWORD s0, DWORD s1,
                              DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid);
void* FreeSid(PSID sid);
BOOL IsValidSid(PSID sid);
BOOL EqualSid(PSID a, PSID b);
DWORD GetLengthSid(PSID sid);

// Membership of the calling process's user (token null, or one from OpenProcessToken): the
// Administrators SID S-1-5-32-544 answers the administrator test (effective uid 0, KESTROVAN_ADMIN
// overrides it), Everyone S-1-1-0 and the user's own SID answer TRUE, other SIDs FALSE.
BOOL CheckTokenMembership(HANDLE token, PSID sid, BOOL* isMember);

// Access tokens: only the current process's, and only its user.
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD TOKEN_READ = 0x00020008;
enum TOKEN_INFORMATION_CLASS { TokenUser = 1 };
struct SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
};
struct TOKEN_USER {
    SID_AND_ATTRIBUTES User;
};
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
// TokenUser: a TOKEN_USER followed by the SID it points to; a small buffer gives FALSE with
// ERROR_INSUFFICIENT_BUFFER and the needed size in *returnLength.
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info, DWORD length,
                         DWORD* returnLength);
// "S-1-..." in a buffer the caller frees with LocalFree.
BOOL ConvertSidToStringSidW(PSID sid, LPWSTR* text);

// Access lists. The list made by SetEntriesInAclW (freed with LocalFree) carries the file mode that
// its entries amount to: the current user's rights give the owner bits, Everyone's the group and
// other bits; Administrators need no bits (root passes every check).
struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};
using PACL = ACL*;

enum ACCESS_MODE {
    NOT_USED_ACCESS = 0,
    GRANT_ACCESS = 1,
    SET_ACCESS = 2,
    DENY_ACCESS = 3,
    REVOKE_ACCESS = 4,
};
enum MULTIPLE_TRUSTEE_OPERATION { NO_MULTIPLE_TRUSTEE = 0 };
enum TRUSTEE_FORM { TRUSTEE_IS_SID = 0, TRUSTEE_IS_NAME = 1 };
enum TRUSTEE_TYPE {
    TRUSTEE_IS_UNKNOWN = 0,
    TRUSTEE_IS_USER = 1,
    TRUSTEE_IS_GROUP = 2,
    TRUSTEE_IS_DOMAIN = 3,
    TRUSTEE_IS_ALIAS = 4,
    TRUSTEE_IS_WELL_KNOWN_GROUP = 5,
};
struct TRUSTEE_W {
    TRUSTEE_W* pMultipleTrustee;
    MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
    TRUSTEE_FORM TrusteeForm;
    TRUSTEE_TYPE TrusteeType;
    LPWSTR ptstrName;  // with TRUSTEE_IS_SID: the PSID
};
struct EXPLICIT_ACCESS_W {
    DWORD grfAccessPermissions;
    ACCESS_MODE grfAccessMode;
    DWORD grfInheritance;
    TRUSTEE_W Trustee;
};
constexpr DWORD NO_INHERITANCE = 0;
// Returns a Win32 code (0 on success) rather than setting the last error, as on the platform.
DWORD SetEntriesInAclW(ULONG count, EXPLICIT_ACCESS_W* entries, PACL oldAcl, PACL* newAcl);

// The absolute descriptor: the caller supplies SECURITY_DESCRIPTOR_MIN_LENGTH bytes.
struct SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    WORD Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
};
constexpr DWORD SECURITY_DESCRIPTOR_MIN_LENGTH = sizeof(SECURITY_DESCRIPTOR);
constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
constexpr WORD SE_DACL_PRESENT = 0x0004;
constexpr WORD SE_DACL_DEFAULTED = 0x0008;
BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
// A present but null list grants everyone everything (mode 0666, 0777 for folders).
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl, BOOL defaulted);

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// The logon name of the effective user (password database, else $USER or $LOGNAME). Sizes count
// characters with the NUL: a small buffer gives FALSE, ERROR_INSUFFICIENT_BUFFER and the needed size.
BOOL GetUserNameW(LPWSTR buffer, DWORD* size);
