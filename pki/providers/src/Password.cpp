// Passwords held in memory that the system encrypts for this process, and the remembered passwords
// of key containers, read from the user's registry.
//
// A password's bytes are code page 1251 text with a NUL, padded to the 16-byte block of the memory
// protection and encrypted in place. The object remembers whether its bytes really are encrypted:
// when the protection is missing or fails they stay plain, and decrypting plain bytes would hand
// garbage to a provider as a PIN (a token counts every wrong PIN). Bytes that cannot be decrypted
// give an empty password, never garbage. Password bytes never reach the log: log lines carry sizes.
#include <vsk/pki/Password.h>

#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/Hash.h>
#include <vsk/platform/module.h>
#include <vsk/platform/registry.h>
#include <vsk/utils/file.h>
#include <vsk/utils/global.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/registry.h>

#include <cstring>

namespace Vsk::PKI {

using Vsk::InternalUtils::CCommonInfoLock;
using Vsk::InternalUtils::GetLogLevel;
using Vsk::InternalUtils::LogAt;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CLock;
using Vsk::Utils::CWString;
using Vsk::Utils::GetSystemErrorText;
using Vsk::Utils::ToWString;

namespace {

using MemoryProtectionFn = BOOL (*)(LPVOID, DWORD, DWORD);

// Bound on first use under the common lock and kept for the process.
struct MemoryProtection {
    bool bound = false;
    MemoryProtectionFn protect = nullptr;
    MemoryProtectionFn unprotect = nullptr;
};

MemoryProtection& memoryProtection() {
    static MemoryProtection functions;
    return functions;
}

// The caller holds the common lock. The module is looked up among the loaded ones only.
void bindLocked(MemoryProtection& f) {
    f.protect = nullptr;
    f.unprotect = nullptr;
    if (HMODULE module = GetModuleHandleW(u"Crypt32.dll")) {
        f.protect = reinterpret_cast<MemoryProtectionFn>(GetProcAddress(module, "CryptProtectMemory"));
        f.unprotect = reinterpret_cast<MemoryProtectionFn>(GetProcAddress(module, "CryptUnprotectMemory"));
    }
    f.bound = true;
}

MemoryProtection& boundLocked() {
    MemoryProtection& f = memoryProtection();
    if (!f.bound) bindLocked(f);
    return f;
}

constexpr DWORD ProtectBlock = CRYPTPROTECTMEMORY_BLOCK_SIZE;
// The remembered value starts with its 8-byte expiry time.
constexpr size_t RememberedTimeSize = 8;
constexpr const WCHAR* RememberedKeyPrefix = u"Software\\Voskel\\Keyset\\";
constexpr const WCHAR* RememberedValue = u"rem";

CWString hexText(uint64_t value) {
    return ToWString(value, 16);
}

// Closes an open registry key when the scope ends.
struct CRegKeyHolder {
    HKEY key = nullptr;
    ~CRegKeyHolder() {
        if (key) Vsk::InternalUtils::regCloseKey(&key);
    }
};

// Sets the calling thread's log level to 2 while alive, so that the hash layer does not trace the
// values it computes; removes the thread's override at the end.
class CThreadLogLevel2 {
public:
    CThreadLogLevel2() : m_log(Vsk::InternalUtils::GetLog()) {
        if (m_log) m_log->setLevel((m_log->getLevelWord() & ~7) | 2, Vsk::InternalUtils::CLog::FlagThread);
    }
    ~CThreadLogLevel2() {
        if (m_log) m_log->setLevel(0, Vsk::InternalUtils::CLog::FlagRemoveThread);
    }
    CThreadLogLevel2(const CThreadLogLevel2&) = delete;
    CThreadLogLevel2& operator=(const CThreadLogLevel2&) = delete;

private:
    Vsk::InternalUtils::CLog* m_log;
};

}  // namespace

// ---- CPassword ------------------------------------------------------------------------------------

CPassword::CPassword() : m_protected(false) {}

CPassword::CPassword(const CPassword& other) : CCriticalSection(), m_protected(false) {
    copyFrom(other);
}

CPassword& CPassword::operator=(const CPassword& other) {
    if (this != &other) copyFrom(other);
    return *this;
}

// The bytes are wiped even when encrypted: protection may have been unavailable and left them plain.
CPassword::~CPassword() {
    if (m_protectedPassword.getSize()) m_protectedPassword.zeroFill();
}

void CPassword::putPassword(const CWString& text) {
    CLock lock(this);
    if (m_protectedPassword.getSize()) m_protectedPassword.zeroFill();
    m_protectedPassword = CDataBlob();
    m_protected = false;
    if (!text.getLength()) return;

    CAString narrow(text, 1251);
    const size_t n = narrow.getLength();
    CDataBlob bytes(n);
    std::memcpy(bytes.getData(), narrow.c_str(), n);
    narrow.zeroFill();
    {
        CCommonInfoLock common;
        MemoryProtection& f = boundLocked();
        if (f.protect) {
            // Room for the NUL, rounded up to whole blocks: 15 characters take 16 bytes, 16 take 32.
            const size_t padded = (n + 1 + ProtectBlock - 1) / ProtectBlock * ProtectBlock;
            CDataBlob block(padded);
            std::memset(block.getData(), 0, padded);
            std::memcpy(block.getData(), bytes.getData(), n);
            bytes.zeroFill();
            bytes = block;
            SetLastError(0);
            if (f.protect(bytes.getData(), static_cast<DWORD>(padded), CRYPTPROTECTMEMORY_SAME_PROCESS)) {
                m_protected = true;
            } else if (const DWORD e = GetLastError(); e != 0 && GetLogLevel() >= 1) {
                LogAt(1, CWString(u"PKI::CPassword::putPassword ProtectMemory ") + GetSystemErrorText(e));
            }
        }
        m_protectedPassword = bytes;
    }
    // The caller's text and every string sharing its storage.
    CWString(text).zeroFill();
}

void CPassword::putPasswordAndClear(WCHAR* text) {
    if (!text) {
        putPassword(CWString());
        return;
    }
    const size_t length = std::char_traits<WCHAR>::length(text);
    putPassword(CWString(text, length));
    std::memset(text, 0, length * sizeof(WCHAR));
}

void CPassword::copyFrom(const CPassword& other) {
    if (&other == this) return;
    CDataBlob bytes;
    bool isProtected;
    {
        CLock otherLock(&other);
        bytes = other.m_protectedPassword;
        isProtected = other.m_protected;
    }
    CLock lock(this);
    if (m_protectedPassword.getSize()) m_protectedPassword.zeroFill();
    // A copy of its own: storing a new password wipes the old bytes, which must not wipe the other's.
    m_protectedPassword = bytes.getSize() ? bytes.clone() : CDataBlob();
    m_protected = isProtected;
}

CAString CPassword::getPassword() {
    CLock lock(this);
    if (!m_protectedPassword.getSize()) return {};
    CDataBlob copy = m_protectedPassword.clone();
    if (m_protected) {
        CCommonInfoLock common;
        MemoryProtection& f = boundLocked();
        bool ok = false;
        if (f.unprotect) {
            SetLastError(0);
            ok = f.unprotect(copy.getData(), copy.getSize(), CRYPTPROTECTMEMORY_SAME_PROCESS);
        }
        if (!ok) {
            // Encrypted bytes that cannot be decrypted are never handed out as a password.
            const DWORD e = GetLastError();
            if (GetLogLevel() >= 1)
                LogAt(1, CWString(u"PKI::CPassword::getPassword UnprotectMemory ") +
                             (e ? GetSystemErrorText(e) : CWString(u"недоступна")) +
                             u", пароль не применяется");
            copy.zeroFill();
            return {};
        }
    }
    const auto* data = reinterpret_cast<const char*>(copy.getData());
    const void* nul = std::memchr(data, 0, copy.getSize());
    const size_t length = nul ? static_cast<const char*>(nul) - data : copy.getSize();
    CAString result(data, length);
    copy.zeroFill();
    return result;
}

CWString CPassword::getPasswordWide() {
    CAString narrow = getPassword();
    CWString wide(narrow, 1251);
    narrow.zeroFill();
    return wide;
}

bool CPassword::ApplyPassword(HCRYPTPROV hProv, DWORD keySpec, bool skipEmpty, Vsk::Utils::CError* error) {
    Vsk::InternalUtils::CLogScope scope;
    if (GetLogLevel() >= 4)
        scope.enter("Vsk::PKI::CPassword::ApplyPassword",
                    u"hProv=" + hexText(hProv) + u", KeySpec=" + hexText(keySpec) + u", length=" +
                        ToWString(static_cast<uint64_t>(getProtectedSize())));
    CAString password = getPassword();
    if (skipEmpty && !password.getLength()) {
        scope.setResult(true);
        return true;
    }
    const DWORD param = keySpec == AT_KEYEXCHANGE ? PP_KEYEXCHANGE_PIN : PP_SIGNATURE_PIN;
    const BOOL ok = SetProvParam(hProv, param, reinterpret_cast<const BYTE*>(password.c_str()), 0);
    const DWORD code = ok ? 0 : GetLastError();
    password.zeroFill();
    scope.setResult(ok != FALSE);
    if (ok) return true;
    if (error) {
        *error = Vsk::Utils::CError(u"Применение пароля на ключевой контейнер", code);
    } else if (GetLogLevel() >= 2) {
        LogAt(2, CWString(u"PKI::CPassword::ApplyPassword Применение пароля на ключевой контейнер ") +
                     GetSystemErrorText(code));
    }
    SetLastError(code);
    return false;
}

bool CPassword::hasPassword() const {
    CLock lock(this);
    return m_protectedPassword.getSize() != 0;
}

DWORD CPassword::getProtectedSize() const {
    CLock lock(this);
    return m_protectedPassword.getSize();
}

bool CPassword::isProtected() const {
    CLock lock(this);
    return m_protected;
}

// ---- CRememberedPassword ---------------------------------------------------------------------------

CRememberedPassword::CRememberedPassword() : m_rememberedUntil(0) {}

CWString RememberedPasswordKey(const CWString& containerName) {
    return CWString(RememberedKeyPrefix) + Vsk::InternalUtils::MakeValidFileName(containerName);
}

void CRememberedPassword::fillRememberedPasswordUpTo(const CWString& containerName) {
    if (!containerName.getLength()) return;
    CLock lock(this);
    const CWString keyPath = RememberedPasswordKey(containerName);
    CDataBlob scrambled =
        Vsk::InternalUtils::regReadValue(keyPath.c_str(), RememberedValue, HKEY_CURRENT_USER);
    if (!scrambled.getSize()) return;
    CDataBlob value = VskDecode(scrambled);
    scrambled.zeroFill();
    if (value.getSize() < RememberedTimeSize) {
        // Too short to hold its expiry time: nothing in it can be trusted.
        if (GetLogLevel() >= 2)
            LogAt(2, CWString(u"PKI::CRememberedPassword::fillRememberedPasswordUpTo ") + keyPath +
                         u": запомненное значение короче 8 байт (" + ToWString(value.getSize()) +
                         u"), пропущено");
        value.zeroFill();
        return;
    }
    uint64_t until = 0;
    for (size_t i = 0; i < RememberedTimeSize; ++i)
        until |= static_cast<uint64_t>(value.getData()[i]) << (8 * i);
    m_rememberedUntil = until;
    if (GetLogLevel() >= 4) {
        FILETIME ft{static_cast<DWORD>(until), static_cast<DWORD>(until >> 32)};
        LogAt(4, CWString(u"PKI::CRememberedPassword::fillRememberedPasswordUpTo ") +
                     (until ? Vsk::Utils::FileTimeToText(&ft) : CWString()));
    }
    FILETIME nowFt{};
    const bool haveNow = Vsk::Utils::GetSystemFileTime(&nowFt);
    const uint64_t now = (static_cast<uint64_t>(nowFt.dwHighDateTime) << 32) | nowFt.dwLowDateTime;
    if (until == 0 || (haveNow && now > until)) {
        value.zeroFill();
        deleteRememberedPassword(keyPath);
        return;
    }
    const auto* text = reinterpret_cast<const char*>(value.getData()) + RememberedTimeSize;
    const size_t room = value.getSize() - RememberedTimeSize;
    const void* nul = std::memchr(text, 0, room);
    const size_t length = nul ? static_cast<const char*>(nul) - text : room;
    putPassword(CWString(text, length, 1251));
    value.zeroFill();
}

bool CRememberedPassword::deleteRememberedPassword(const CWString& keyPath) {
    CLock lock(this);
    CRegKeyHolder holder;
    LONG rc = Vsk::InternalUtils::regOpenKey(HKEY_CURRENT_USER, keyPath.c_str(), KEY_SET_VALUE, &holder.key);
    if (rc != 0) {
        holder.key = nullptr;
        if (GetLogLevel() >= 1)
            LogAt(1, CWString(u"PKI::CRememberedPassword::deleteRememberedPassword ") + keyPath +
                         u" open for delete " + GetSystemErrorText(static_cast<DWORD>(rc)));
        return false;
    }
    rc = RegDeleteValueW(holder.key, RememberedValue);
    if (rc != 0) {
        if (GetLogLevel() >= 1)
            LogAt(1, CWString(u"PKI::CRememberedPassword::deleteRememberedPassword ") + keyPath +
                         u" delete " + GetSystemErrorText(static_cast<DWORD>(rc)));
        return false;
    }
    m_rememberedUntil = 0;
    return true;
}

// ---- VskDecode ------------------------------------------------------------------------------------

CDataBlob VskDecode(const CDataBlob& scrambled) {
    Vsk::InternalUtils::CLogScope scope;
    const size_t n = scrambled.getSize();
    if (GetLogLevel() >= 4) scope.enter("Vsk::PKI::VskDecode", ToWString(static_cast<uint64_t>(n)));
    CDataBlob out(n);
    if (!n) return out;
    CThreadLogLevel2 quiet;
    CHash md5;
    CHash sha1;
    md5.createWithNoChecks(CALG_MD5);
    sha1.createWithNoChecks(CALG_SHA1);
    const BYTE* in = scrambled.getData();
    BYTE* o = out.getData();
    o[0] = in[0];
    for (size_t i = 1; i < n; ++i) {
        const BYTE b = o[n % i];
        BYTE k;
        if ((b >> (i % 8)) & 1) {
            CDataBlob h = sha1.calculate(out, static_cast<DWORD>(i));
            k = h.getData()[i % 20];
            h.zeroFill();
        } else {
            CDataBlob h = md5.calculate(out, static_cast<DWORD>(i));
            k = h.getData()[i % 16];
            h.zeroFill();
        }
        o[i] = static_cast<BYTE>(in[i] - k);
    }
    return out;
}

}  // namespace Vsk::PKI

namespace Vsk::InternalUtils {

void BindMemoryProtection() {
    CCommonInfoLock common;
    Vsk::PKI::bindLocked(Vsk::PKI::memoryProtection());
}

}  // namespace Vsk::InternalUtils
