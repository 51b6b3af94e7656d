#include <vsk/utils/registry.h>

#include <vsk/platform/module.h>

#include <vsk/utils/global.h>
#include <vsk/utils/lib.h>
#include <vsk/utils/log.h>

#include <vector>

namespace Vsk::InternalUtils {

using Utils::CDataBlob;
using Utils::CError;
using Utils::CWString;

namespace {

// The second pass of a read: the same rights in the 32-bit view.
constexpr REGSAM KeyRead32 = KEY_READ | KEY_WOW64_32KEY;

// The migration reads the new key to learn which values it already has, so it needs both rights.
constexpr REGSAM KeyMerge = KEY_WRITE | KEY_READ;

// Longest value or key name the registry accepts, with its NUL.
constexpr DWORD MaxNameChars = 16384;

// A value can grow between the size query and the read when another process writes it; a few
// retries ride that out.
constexpr int QueryAttempts = 4;

const WCHAR NewKeyWord[] = u"\\Voskel\\";
const WCHAR OldKeyWord[] = u"\\Vsks\\";

CWString text(const WCHAR* s) {
    return CWString(s ? s : u"");
}

CWString keyHex(HKEY key) {
    return Utils::ToWString(static_cast<const void*>(key));
}

LSTATUS readWholeValue(HKEY key, const WCHAR* name, DWORD* type, std::vector<BYTE>& bytes) {
    LSTATUS rc = ERROR_MORE_DATA;
    for (int attempt = 0; attempt < QueryAttempts && rc == ERROR_MORE_DATA; ++attempt) {
        DWORD size = 0;
        rc = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size);
        if (rc != ERROR_SUCCESS) return rc;
        bytes.assign(size, 0);
        rc = RegQueryValueExW(key, name, nullptr, type, size ? bytes.data() : nullptr, &size);
        if (rc == ERROR_SUCCESS) bytes.resize(size);
    }
    if (rc != ERROR_SUCCESS) bytes.clear();
    return rc;
}

// The library binds RegEnableReflectionKey and SHCopyKeyW by name from the system modules; here those
// are the registry's own functions, made known to the loader before the first binding.
void offerRegistryExports() {
    static const bool offered = [] {
        RegisterStandInModule(u"Advapi32.dll",
                              {{"RegEnableReflectionKey", StandInAddress(&::RegEnableReflectionKey)}});
        RegisterStandInModule(u"Shlwapi.dll", {{"SHCopyKeyW", StandInAddress(&::SHCopyKeyW)}});
        return true;
    }();
    (void)offered;
}

LSTATUS mergeKey(HKEY source, HKEY target, PFN_SHCopyKeyW copyKey);

// Brings the subkey `name` of `source` into `target`: a subkey the target lacks is copied whole, one
// it has is merged.
LSTATUS mergeSubKey(HKEY source, HKEY target, const WCHAR* name, PFN_SHCopyKeyW copyKey) {
    HKEY targetSub = nullptr;
    DWORD disposition = 0;
    LSTATUS rc = RegCreateKeyExW(target, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KeyMerge, nullptr,
                                 &targetSub, &disposition);
    if (rc != ERROR_SUCCESS) return rc;
    if (disposition == REG_CREATED_NEW_KEY) {
        rc = copyKey(source, name, targetSub, 0);
    } else {
        HKEY sourceSub = nullptr;
        rc = RegOpenKeyExW(source, name, 0, KEY_READ, &sourceSub);
        if (rc == ERROR_SUCCESS) {
            rc = mergeKey(sourceSub, targetSub, copyKey);
            RegCloseKey(sourceSub);
        }
    }
    RegCloseKey(targetSub);
    return rc;
}

// Copies into `target` the values and subkeys of `source` that it does not have; what it has is
// newer than the old key and stays as it is.
LSTATUS mergeKey(HKEY source, HKEY target, PFN_SHCopyKeyW copyKey) {
    std::vector<WCHAR> name(MaxNameChars);
    std::vector<BYTE> bytes;
    for (DWORD index = 0;; ++index) {
        DWORD chars = MaxNameChars;
        LSTATUS rc = RegEnumValueW(source, index, name.data(), &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return rc;
        DWORD present = 0;
        rc = RegQueryValueExW(target, name.data(), nullptr, nullptr, nullptr, &present);
        if (rc == ERROR_SUCCESS) continue;
        if (rc != ERROR_FILE_NOT_FOUND) return rc;
        DWORD type = REG_NONE;
        rc = readWholeValue(source, name.data(), &type, bytes);
        if (rc != ERROR_SUCCESS) return rc;
        rc = RegSetValueExW(target, name.data(), 0, type, bytes.empty() ? nullptr : bytes.data(),
                            static_cast<DWORD>(bytes.size()));
        if (rc != ERROR_SUCCESS) return rc;
    }
    for (DWORD index = 0;; ++index) {
        DWORD chars = MaxNameChars;
        LSTATUS rc = RegEnumKeyExW(source, index, name.data(), &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return rc;
        rc = mergeSubKey(source, target, name.data(), copyKey);
        if (rc != ERROR_SUCCESS) return rc;
    }
    return ERROR_SUCCESS;
}

}  // namespace

CWString regOldKeyPath(const WCHAR* subKey) {
    const std::u16string path = subKey ? std::u16string(subKey) : std::u16string();
    const std::u16string newWord(NewKeyWord), oldWord(OldKeyWord);
    std::u16string result;
    bool replaced = false;
    size_t from = 0;
    for (;;) {
        const size_t at = path.find(newWord, from);
        if (at == std::u16string::npos) break;
        result.append(path, from, at - from);
        result += oldWord;
        replaced = true;
        // The closing backslash also opens a following occurrence ("\Voskel\Voskel\").
        from = at + newWord.size() - 1;
        result.pop_back();
    }
    if (!replaced) return CWString();
    result.append(path, from, std::u16string::npos);
    return CWString(result.c_str(), result.size());
}

LONG regOpenKeyEx(HKEY root, const WCHAR* subKey, DWORD options, REGSAM access, HKEY* key) {
    LONG rc = RegOpenKeyExW(root, subKey, options, access, key);
    if (rc != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return rc;

    bool copied = false;
    const REGSAM access32 = (access & ~KEY_WOW64_64KEY) | KEY_WOW64_32KEY;
    for (;;) {
        rc = RegOpenKeyExW(root, subKey, options, access32, key);
        if (rc != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return rc;

        const CWString oldPath = regOldKeyPath(subKey);
        if (oldPath.getLength() == 0) return ERROR_FILE_NOT_FOUND;
        rc = regOpenKeyEx(root, oldPath.c_str(), options, access, key);
        if (rc != 0) return rc;
        if (copied) return 0;
        // The key under the old name stays open for the caller when it cannot be merged.
        if (regCopyKey(root, oldPath.c_str(), subKey) != 0) return 0;
        RegCloseKey(*key);
        *key = nullptr;
        copied = true;

        rc = RegOpenKeyExW(root, subKey, options, access, key);
        if (rc != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return rc;
    }
}

LONG regOpenKey(HKEY root, const WCHAR* subKey, REGSAM access, HKEY* key) {
    return regOpenKeyEx(root, subKey, 0, access, key);
}

LONG regCreateKeyEx(HKEY root, const WCHAR* subKey, DWORD reserved, WCHAR* keyClass, DWORD options,
                    REGSAM access, SECURITY_ATTRIBUTES* security, HKEY* key, DWORD* disposition) {
    LONG rc = RegCreateKeyExW(root, subKey, reserved, keyClass, options, access, security, key, disposition);
    if (rc != 0) return rc;

    offerRegistryExports();
    CCommonInfoLock lock;
    PFN_RegEnableReflectionKey enableReflection = BindRegEnableReflectionKey();
    if (!enableReflection) return 0;
    const LONG reflection = enableReflection(*key);
    if (reflection != 0 && GetLogLevel() >= 1) {
        if (CLog* log = GetLog())
            log->writeWin32Error(u"InternalUtils::regCreateKeyEx RegEnableReflectionKey " + text(subKey),
                                 static_cast<DWORD>(reflection));
    }
    return 0;
}

LONG regCreateKey(HKEY root, const WCHAR* subKey, REGSAM access, HKEY* key, DWORD* disposition) {
    return regCreateKeyEx(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key,
                          disposition);
}

LONG regCloseKey(HKEY* key) {
    if (!key || !*key) return 0;
    const HKEY closing = *key;
    const LONG rc = RegCloseKey(closing);
    // The registry reports through the result, not the thread's last error: the line names that code.
    if (rc != 0 && GetLogLevel() >= 1) {
        Utils::CLastErrorGuard keep;
        LogAt(1, u"InternalUtils::regCloseKey " + keyHex(closing) + u" " +
                     Utils::GetSystemErrorText(static_cast<DWORD>(rc)));
    }
    *key = nullptr;
    return rc;
}

CDataBlob regQueryValue(HKEY key, const WCHAR* valueName, LONG* code) {
    std::vector<BYTE> bytes;
    const LONG rc = readWholeValue(key, valueName, nullptr, bytes);
    if (code) *code = rc;
    if (rc != 0 || bytes.empty()) return CDataBlob();
    return CDataBlob(bytes.data(), bytes.size(), true);
}

CDataBlob regReadValueEx(const WCHAR* subKey, const WCHAR* valueName, HKEY root, LONG* code,
                         CWString* failureText) {
    LONG rc = 0;
    REGSAM access = KEY_READ;
    HKEY key = nullptr;
    bool keyFound = false;
    rc = regOpenKeyEx(root, subKey, 0, access, &key);
    for (;;) {
        if (rc != 0) {
            // A key that opened in the first pass and is only missing from the 32-bit view is
            // still a missing value, not a missing key.
            if (keyFound) break;
            if (code) *code = rc;
            if (failureText)
                *failureText = u"Открытие ключа \"" + text(subKey) + u"\" в реестре " + keyHex(root);
            return CDataBlob();
        }
        keyFound = true;
        CDataBlob value = regQueryValue(key, valueName, &rc);
        regCloseKey(&key);
        if (rc == 0) {
            if (code) *code = 0;
            return value;
        }
        if (rc != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) break;

        if (access == KEY_READ) {
            const CWString oldPath = regOldKeyPath(subKey);
            if (oldPath.getLength() != 0) {
                LONG oldCode = 0;
                CDataBlob oldValue = regReadValueEx(oldPath.c_str(), valueName, root, &oldCode, nullptr);
                if (oldCode == 0) {
                    regCopyKey(root, oldPath.c_str(), subKey);
                    if (code) *code = 0;
                    return oldValue;
                }
            }
            access = KeyRead32;
            rc = regOpenKeyEx(root, subKey, 0, access, &key);
            continue;
        }
        break;
    }
    if (code) *code = rc;
    if (failureText)
        *failureText =
            u"Получение значения поля \"" + text(valueName) + u"\" из реестра \"" + text(subKey) + u"\"";
    return CDataBlob();
}

CDataBlob regReadValue(const WCHAR* subKey, const WCHAR* valueName, HKEY root, CError* error) {
    LONG code = 0;
    CWString failure;
    CDataBlob value = regReadValueEx(subKey, valueName, root, &code, &failure);
    if (code != 0 && error) *error = CError(failure, static_cast<DWORD>(code));
    return value;
}

LONG regCopyKey(HKEY root, const WCHAR* source, const WCHAR* destination) {
    offerRegistryExports();
    const PFN_SHCopyKeyW copyKey = BindSHCopyKeyW();
    if (!copyKey) return static_cast<LONG>(E_FAIL);

    HKEY target = nullptr;
    DWORD disposition = 0;
    LONG rc = regCreateKey(root, destination, KeyMerge, &target, &disposition);
    if (rc != 0) return rc;
    if (disposition == REG_CREATED_NEW_KEY) {
        // Nothing to keep under a new key: one copy moves the whole old key in one step.
        rc = copyKey(root, source, target, 0);
    } else {
        HKEY sourceKey = nullptr;
        rc = RegOpenKeyExW(root, source, 0, KEY_READ, &sourceKey);
        if (rc == 0) {
            rc = mergeKey(sourceKey, target, copyKey);
            RegCloseKey(sourceKey);
        }
    }
    RegCloseKey(target);
    return rc;
}

void regWriteString(HKEY key, const WCHAR* valueName, const CWString& value) {
    const DWORD bytes = 2 * (value.getLength() + 1);
    RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
}

}  // namespace Vsk::InternalUtils
