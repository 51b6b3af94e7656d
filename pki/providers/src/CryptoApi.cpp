#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/platform/wait.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include "WrapperText.h"

#include <cstring>

namespace Vsk::PKI {

using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CWString;
using namespace Vsk::PKI::Wrapper;

namespace {

// A provider that stays busy is asked again this many times, this far apart.
constexpr int BusyRepetitions = 100;
constexpr DWORD BusyPauseMs = 10;

// Imports of key blobs run one at a time in the process; the lock lives until the process ends.
Vsk::Utils::CCriticalSection& importLock() {
    static Vsk::Utils::CCriticalSection lock;
    return lock;
}

}  // namespace

// ---- Provider contexts ----------------------------------------------------------------------------

BOOL AcquireContext(HCRYPTPROV* prov, const WCHAR* container, const WCHAR* providerName, DWORD provType,
                    DWORD flags) {
    if (!prov) return FALSE;
    static constexpr char Name[] = "Vsk::PKI::AcquireContext";
    CLogScope scope;
    enterAt(scope, 4, Name, [&] {
        return text(container) + u"," + text(providerName) + u"," + dec(provType) + u",0x" + hex(flags);
    });
    const BOOL ok = CryptAcquireContextW(prov, container, providerName, provType, flags);
    if (!ok) {
        logFailure(4, false, Name, GetLastError(), noDetail);
    } else if (scope.isEntered()) {
        scope.m_result = u"0x" + hex(*prov);
    }
    return ok;
}

BOOL ReleaseContext(HCRYPTPROV& prov) {
    if (prov == 0) return TRUE;
    static constexpr char Name[] = "Vsk::PKI::ReleaseContext";
    CLogScope scope;
    enterAt(scope, 4, Name, [&] { return hex(prov); });
    const HCRYPTPROV handle = prov;
    const BOOL ok = CryptReleaseContext(handle, 0);
    if (!ok) logFailure(1, true, Name, GetLastError(), [&] { return dec(handle); });
    prov = 0;
    return ok;
}

BOOL GetProvParam(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags) {
    static constexpr char Name[] = "Vsk::PKI::GetProvParam";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"hProv=" + hex(prov) + u",dwParam=0x" + hex(param) + u",bufferLen=" +
               dec(dataLen ? *dataLen : 0) + u",dwFlags=0x" + hex(flags);
    });
    const BOOL ok = CryptGetProvParam(prov, param, data, dataLen, flags);
    if (!ok) {
        logFailure(1, true, Name, GetLastError(),
                   [&] { return u"CryptGetProvParam dwParam=0x" + hex(param); });
    } else if (scope.isEntered()) {
        scope.m_result = dec(dataLen ? *dataLen : 0);
    }
    return ok;
}

CAString GetProvStrParam(HCRYPTPROV prov, DWORD param, DWORD* error) {
    static constexpr char Name[] = "Vsk::PKI::GetProvStrParam";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] { return u"hProv=" + hex(prov) + u",dwParam=0x" + hex(param); });
    setCell(error, 0);
    if (prov == 0) return CAString();

    DWORD length = 0;
    if (!CryptGetProvParam(prov, param, nullptr, &length, 0)) {
        const DWORD e = GetLastError();
        setCell(error, e);
        logFailure(1, true, Name, e,
                   [&] { return u"CryptGetProvParam (get size) " + dec(prov) + u"," + dec(param); });
        return CAString();
    }
    // One byte more than reported, so that an answer without its NUL still ends in one.
    CDataBlob buffer(static_cast<size_t>(length) + 1);
    buffer.zeroFill();
    length += 1;
    if (!CryptGetProvParam(prov, param, buffer.getData(), &length, 0)) {
        const DWORD e = GetLastError();
        setCell(error, e);
        logFailure(1, true, Name, e, [&] { return u"CryptGetProvParam " + dec(prov) + u"," + dec(param); });
        return CAString();
    }
    const char* bytes = reinterpret_cast<const char*>(buffer.getData());
    const size_t size = std::min<size_t>(length, buffer.getSize());
    const void* nul = std::memchr(bytes, 0, size);
    CAString result(bytes, nul ? static_cast<size_t>(static_cast<const char*>(nul) - bytes) : size);
    if (scope.isEntered()) scope.m_result = CWString(result, Vsk::Utils::CP_PROGRAM);
    return result;
}

BOOL SetProvParam(HCRYPTPROV prov, DWORD param, const BYTE* data, DWORD flags) {
    static constexpr char Name[] = "Vsk::PKI::SetProvParam";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"hProv=" + hex(prov) + u",dwParam=0x" + hex(param) + u",pbData=" + ptr(data) +
               u",dwFlags=0x" + hex(flags);
    });
    BOOL ok = FALSE;
    for (int repetitions = 0;; ++repetitions) {
        ok = CryptSetProvParam(prov, param, data, flags);
        if (ok) break;
        const DWORD e = GetLastError();
        logFailure(1, true, Name, e,
                   [&] { return u"задание параметра " + dec(param) + u" значением " + ptr(data); });
        if (e == ERROR_BUSY && repetitions < BusyRepetitions) {
            Sleep(BusyPauseMs);
            continue;
        }
        if (const DWORD now = GetLastError(); now != e) {
            if (Vsk::InternalUtils::GetLogLevel() >= 2)
                Vsk::InternalUtils::LogAt(
                    2, CWString(u"PKI::SetProvParam Last error was replaced by 0x") + hex(now));
            SetLastError(e);
        }
        break;
    }
    if (scope.isEntered()) scope.m_result = boolText(ok);
    return ok;
}

// ---- Keys ----------------------------------------------------------------------------------------------

BOOL GenKey(HCRYPTPROV prov, ALG_ID algId, DWORD flags, HCRYPTKEY* key) {
    static constexpr char Name[] = "Vsk::PKI::GenKey";
    CLogScope scope;
    enterAt(scope, 4, Name, [&] {
        return u"hProv=" + hex(prov) + u",Algid=0x" + hex(algId) + u",dwFlags=0x" + hex(flags) + u",phKey=" +
               ptr(key);
    });
    if (prov == 0 || !key) return FALSE;
    const BOOL ok = CryptGenKey(prov, algId, flags, key);
    if (!ok) {
        logFailure(1, true, Name, GetLastError(), [&] { return u"generate key " + dec(prov); });
    } else if (scope.isEntered()) {
        scope.m_result = dec(*key);
    }
    return ok;
}

BOOL GetUserKey(HCRYPTPROV prov, DWORD keySpec, HCRYPTKEY* key) {
    static constexpr char Name[] = "Vsk::PKI::GetUserKey";
    CLogScope scope;
    enterAt(scope, 4, Name,
            [&] { return u"hProv=" + hex(prov) + u",dwKeySpec=" + hex(keySpec) + u"," + ptr(key); });
    if (prov == 0 || !key) return FALSE;
    const BOOL ok = CryptGetUserKey(prov, keySpec, key);
    if (!ok) {
        logFailure(1, true, Name, GetLastError(), [&] { return dec(prov); });
    } else if (scope.isEntered()) {
        scope.m_result = dec(*key);
    }
    return ok;
}

BOOL DestroyKey(HCRYPTKEY& key) {
    if (key == 0) return TRUE;
    static constexpr char Name[] = "Vsk::PKI::DestroyKey";
    CLogScope scope;
    enterAt(scope, 4, Name, [&] { return dec(key); });
    const HCRYPTKEY handle = key;
    const BOOL ok = CryptDestroyKey(handle);
    if (!ok) logFailure(1, true, Name, GetLastError(), [&] { return dec(handle); });
    key = 0;
    return ok;
}

CDataBlob GetKeyParam(HCRYPTKEY key, DWORD param, DWORD* error) {
    static constexpr char Name[] = "Vsk::PKI::GetKeyParam";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] { return u"hKey=" + hex(key) + u",dwParam=0x" + hex(param); });
    setCell(error, 0);
    if (key == 0) return CDataBlob();

    DWORD length = 0;
    if (!CryptGetKeyParam(key, param, nullptr, &length, 0)) {
        const DWORD e = GetLastError();
        setCell(error, e);
        logFailure(1, true, Name, e,
                   [&] { return u"CryptGetKeyParam (get size) " + dec(key) + u"," + dec(param); });
        return CDataBlob();
    }
    CDataBlob value(static_cast<size_t>(length));
    if (!CryptGetKeyParam(key, param, value.getData(), &length, 0)) {
        const DWORD e = GetLastError();
        setCell(error, e);
        logFailure(1, true, Name, e, [&] { return u"CryptGetKeyParam " + dec(key) + u"," + dec(param); });
        return CDataBlob();
    }
    value = value.getSize() == length ? value : value.getBlock(0, std::min<size_t>(length, value.getSize()));
    if (scope.isEntered()) scope.m_result = dec(value.getSize());
    return value;
}

BOOL GetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags) {
    static constexpr char Name[] = "Vsk::PKI::GetKeyParam";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"hKey=" + hex(key) + u",dwParam=0x" + hex(param) + u",pbData=" + ptr(data) + u",pdwDataLen=" +
               ptr(dataLen) + u",dwFlags=0x" + hex(flags);
    });
    if (key == 0) return FALSE;
    const BOOL ok = CryptGetKeyParam(key, param, data, dataLen, flags);
    if (!ok) logFailure(3, false, Name, GetLastError(), noDetail);
    if (scope.isEntered()) scope.m_result = boolText(ok);
    return ok;
}

BOOL SetKeyParam(HCRYPTKEY key, DWORD param, const BYTE* data, DWORD flags) {
    static constexpr char Name[] = "Vsk::PKI::SetKeyParam";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"hKey=" + hex(key) + u",dwParam=0x" + hex(param) + u",pbData=" + ptr(data) + u",dwFlags=0x" +
               hex(flags);
    });
    if (key == 0) return FALSE;
    const BOOL ok = CryptSetKeyParam(key, param, data, flags);
    if (!ok) logFailure(3, false, Name, GetLastError(), noDetail);
    if (scope.isEntered()) scope.m_result = boolText(ok);
    return ok;
}

BOOL ExportKey(HCRYPTKEY key, HCRYPTKEY exportKey, DWORD blobType, DWORD flags, CDataBlob* blob) {
    static constexpr char Name[] = "Vsk::PKI::ExportKey";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"hKey=" + hex(key) + u",hExpKey=0x" + hex(exportKey) + u",dwBlobType=0x" + hex(blobType) +
               u",dwFlags=0x" + hex(flags) + u",pdbOutData=" + ptr(blob);
    });
    if (key == 0 || !blob) return FALSE;
    blob->clear();
    DWORD length = 0;
    if (!CryptExportKey(key, exportKey, blobType, flags, nullptr, &length)) {
        logFailure(1, true, Name, GetLastError(), [&] { return u"get ExportKey size " + dec(key); });
        return FALSE;
    }
    CDataBlob data(static_cast<size_t>(length));
    if (!CryptExportKey(key, exportKey, blobType, flags, data.getData(), &length)) {
        logFailure(1, true, Name, GetLastError(), [&] { return u"export key " + dec(key); });
        return FALSE;
    }
    *blob = data.getSize() == length ? data : data.getBlock(0, std::min<size_t>(length, data.getSize()));
    if (scope.isEntered()) scope.m_result = dec(blob->getSize());
    return TRUE;
}

BOOL ImportKey(HCRYPTPROV prov, const CDataBlob& keyBlob, HCRYPTKEY decryptKey, DWORD flags, HCRYPTKEY* key) {
    static constexpr char Name[] = "Vsk::PKI::ImportKey";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"hProv=" + hex(prov) + u",dataSize=" + dec(keyBlob.getSize()) + u",hKeyDecryptor=0x" +
               hex(decryptKey) + u",dwFlags=0x" + hex(flags) + u",phKey=" + ptr(key);
    });
    if (prov == 0 || keyBlob.getSize() == 0 || !key) return FALSE;

    Vsk::Utils::CLock guard(&importLock());
    BOOL ok = CryptImportKey(prov, keyBlob.getData(), keyBlob.getSize(), decryptKey, flags, key);
    DWORD s = GetLastError();
    for (int repetitions = 0; !ok; ++repetitions) {
        const DWORD e = GetLastError();
        if (e == ERROR_BUSY && repetitions < BusyRepetitions) {
            Sleep(BusyPauseMs);
            if (GetLastError() != s) SetLastError(s);
            ok = CryptImportKey(prov, keyBlob.getData(), keyBlob.getSize(), decryptKey, flags, key);
            s = GetLastError();
            continue;
        }
        // A blob can hold a plain private key: the line names it by size and digest only.
        logFailure(1, true, Name, e, [&] { return SizeAndDigestText(keyBlob); });
        if (GetLastError() != e) SetLastError(e);
        break;
    }
    if (scope.isEntered()) scope.m_result = dec(*key);
    if (GetLastError() != s) SetLastError(s);
    return ok;
}

BOOL ExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE handle, DWORD keySpec, DWORD encoding,
                         CDataBlob* blob) {
    static constexpr char Name[] = "Vsk::PKI::ExportPublicKeyInfo";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"hCryptProvOrNCryptKey=0x" + hex(handle) + u",dwKeySpec=0x" + hex(keySpec) +
               u",dwCertEncodingType=0x" + hex(encoding) + u",pdbInfo=" + ptr(blob);
    });
    if (handle == 0 || !blob) return FALSE;
    blob->clear();
    DWORD length = 0;
    if (!CryptExportPublicKeyInfo(handle, keySpec, encoding, nullptr, &length)) {
        logFailure(1, true, Name, GetLastError(),
                   [&] { return u"get ExportPublicKeyInfo size " + dec(handle); });
        return FALSE;
    }
    // The block is filled in place: the structure's pointers refer to this very buffer.
    CDataBlob data(static_cast<size_t>(length));
    if (!CryptExportPublicKeyInfo(handle, keySpec, encoding,
                                  reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(data.getData()), &length)) {
        logFailure(1, true, Name, GetLastError(), [&] { return u"export publicKeyInfo " + dec(handle); });
        return FALSE;
    }
    *blob = data.getSize() == length ? data : data.getBlock(0, std::min<size_t>(length, data.getSize()));
    if (scope.isEntered()) scope.m_result = dec(blob->getSize());
    return TRUE;
}

BOOL ImportPublicKeyInfo(HCRYPTPROV prov, DWORD encoding, const CERT_PUBLIC_KEY_INFO* info, HCRYPTKEY* key) {
    static constexpr char Name[] = "Vsk::PKI::ImportPublicKeyInfo";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"hCryptProv=" + hex(prov) + u",dwCertEncodingType=0x" + hex(encoding) + u",pInfo=0x" +
               ptr(info) + u",phKey=" + ptr(key);
    });
    if (key) *key = 0;
    if (prov == 0 || !info || !key) return FALSE;
    const BOOL ok = CryptImportPublicKeyInfo(prov, encoding, info, key);
    if (!ok) logFailure(1, true, Name, GetLastError(), [] { return CWString(u"ImportPublicKeyInfo"); });
    return ok;
}

// ---- Hashes ---------------------------------------------------------------------------------------------

BOOL CreateHash(HCRYPTPROV prov, ALG_ID algId, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash) {
    static constexpr char Name[] = "Vsk::PKI::CreateHash";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"hProv=" + hex(prov) + u",Algid=0x" + hex(algId) + u",dwFlags=0x" + hex(flags) + u",phHash=" +
               ptr(hash);
    });
    if (prov == 0) {
        if (hash) *hash = 0;
        return FALSE;
    }
    if (!hash) return FALSE;
    const BOOL ok = CryptCreateHash(prov, algId, key, flags, hash);
    if (!ok) logFailure(3, false, Name, GetLastError(), noDetail);
    if (scope.isEntered()) scope.m_result = dec(*hash);
    return ok;
}

BOOL HashData(HCRYPTHASH hash, const BYTE* data, DWORD dataLen, DWORD flags) {
    static constexpr char Name[] = "Vsk::PKI::HashData";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"hHash=0x" + hex(hash) + u",pbData=" + ptr(data) + u",dwDataLen=" + dec(dataLen) +
               u",dwFlags=0x" + hex(flags);
    });
    if (hash == 0) return FALSE;
    const BOOL ok = CryptHashData(hash, data, dataLen, flags);
    if (!ok) logFailure(3, false, Name, GetLastError(), noDetail);
    if (scope.isEntered()) scope.m_result = boolText(ok);
    return ok;
}

BOOL DestroyHash(HCRYPTHASH& hash) {
    if (hash == 0) return TRUE;
    static constexpr char Name[] = "Vsk::PKI::DestroyHash";
    CLogScope scope;
    enterAt(scope, 4, Name, [&] { return dec(hash); });
    const HCRYPTHASH handle = hash;
    const BOOL ok = CryptDestroyHash(handle);
    if (!ok) logFailure(1, true, Name, GetLastError(), [&] { return dec(handle); });
    hash = 0;
    return ok;
}

CDataBlob SignHash(HCRYPTHASH hash, DWORD keySpec, DWORD* error, DWORD flags, const WCHAR* description) {
    static constexpr char Name[] = "Vsk::PKI::SignHash";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"hHash=0x" + hex(hash) + u",dwKeySpec=0x" + hex(keySpec) + u",szDescription=" +
               text(description) + u",dwFlags=0x" + hex(flags);
    });
    setCell(error, 0);
    if (hash == 0) {
        setCell(error, static_cast<DWORD>(E_INVALIDARG));
        return CDataBlob();
    }
    DWORD length = 0;
    if (!CryptSignHashW(hash, keySpec, description, flags, nullptr, &length)) {
        const DWORD e = GetLastError();
        setCell(error, e);
        logFailure(1, true, Name, e, [&] {
            return u"CryptSignHash (get size) hHash=0x" + hex(hash) + u",dwKeySpec=0x" + hex(keySpec);
        });
        return CDataBlob();
    }
    if (Vsk::InternalUtils::GetLogLevel() >= 5)
        Vsk::InternalUtils::LogAt(5, CWString(u"PKI::SignHash size=") + dec(length));
    CDataBlob signature(static_cast<size_t>(length));
    if (!CryptSignHashW(hash, keySpec, description, flags, signature.getData(), &length)) {
        const DWORD e = GetLastError();
        setCell(error, e);
        logFailure(1, true, Name, e,
                   [&] { return u"CryptSignHash hHash=0x" + hex(hash) + u",dwKeySpec=0x" + hex(keySpec); });
        return CDataBlob();
    }
    if (length < signature.getSize()) signature = signature.getBlock(0, length);
    if (scope.isEntered())
        scope.m_result = CWString(Vsk::Utils::Base64Enc(signature, Vsk::Utils::Base64NoLineBreaks),
                                  Vsk::Utils::CP_PROGRAM);
    return signature;
}

// ---- Messages ----------------------------------------------------------------------------------------

BOOL MsgClose(HCRYPTMSG& msg) {
    if (!msg) return TRUE;
    static constexpr char Name[] = "Vsk::PKI::MsgClose";
    CLogScope scope;
    enterAt(scope, 4, Name, [&] { return ptr(msg); });
    HCRYPTMSG handle = msg;
    const BOOL ok = CryptMsgClose(handle);
    if (!ok) logFailure(1, true, Name, GetLastError(), [&] { return ptr(handle); });
    msg = nullptr;
    return ok;
}

BOOL MsgGetParam(HCRYPTMSG msg, DWORD paramType, DWORD index, void* data, DWORD* dataLen) {
    static constexpr char Name[] = "Vsk::PKI::MsgGetParam";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        CWString args = u"hCryptMsg=0x" + ptr(msg) + u",dwParamType=0x" + hex(paramType) + u",dwIndex=" +
                        dec(index) + u",pvData=" + ptr(data) + u",pcbData=" + ptr(dataLen);
        if (dataLen) args += u" " + dec(*dataLen);
        return args;
    });
    if (!msg) return FALSE;
    const BOOL ok = CryptMsgGetParam(msg, paramType, index, data, dataLen);
    if (!ok) logFailure(3, false, Name, GetLastError(), noDetail);
    if (scope.isEntered()) scope.m_result = boolText(ok);
    return ok;
}

BOOL MsgUpdate(HCRYPTMSG msg, const BYTE* data, DWORD dataLen, BOOL final) {
    static constexpr char Name[] = "Vsk::PKI::MsgUpdate";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"hCryptMsg=" + ptr(msg) + u",pbData=" + ptr(data) + u",cbData=" + dec(dataLen) + u",fFinal=" +
               boolText(final);
    });
    if (!msg) return FALSE;
    const BOOL ok = CryptMsgUpdate(msg, data, dataLen, final);
    if (!ok) logFailure(3, false, Name, GetLastError(), noDetail);
    if (scope.isEntered()) scope.m_result = boolText(ok);
    return ok;
}

BOOL MsgControl(HCRYPTMSG msg, DWORD flags, DWORD ctrlType, const void* ctrlPara) {
    static constexpr char Name[] = "Vsk::PKI::MsgControl";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"hCryptMsg=" + ptr(msg) + u",dwFlags=" + hex(flags) + u",dwCtrlType=" + hex(ctrlType) +
               u",pvCtrlPara=" + ptr(ctrlPara);
    });
    if (!msg) return FALSE;
    const BOOL ok = CryptMsgControl(msg, flags, ctrlType, ctrlPara);
    if (!ok) logFailure(3, false, Name, GetLastError(), noDetail);
    if (scope.isEntered()) scope.m_result = boolText(ok);
    return ok;
}

}  // namespace Vsk::PKI
