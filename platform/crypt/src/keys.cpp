// Key functions. Keys live in key containers, which are not kept yet: a verification context has no
// user keys, and key generation, import and the operations on key handles are not supported. The
// handle checks are the final ones.
#include "cryptState.h"

namespace vsk::crypt {

static std::shared_ptr<Object> FindKey(HCRYPTKEY key) {
    return FindHandle(key, HandleKind::Key, NTE_BAD_KEY);
}

}  // namespace vsk::crypt

using namespace vsk::crypt;

BOOL CryptGenKey(HCRYPTPROV prov, ALG_ID, DWORD, HCRYPTKEY* key) {
    if (!FindContext(prov)) return FALSE;
    if (!key) return Fail(ERROR_INVALID_PARAMETER);
    *key = 0;
    return Fail(NTE_NOT_SUPPORTED);
}

BOOL CryptGetUserKey(HCRYPTPROV prov, DWORD, HCRYPTKEY* key) {
    if (!FindContext(prov)) return FALSE;
    if (!key) return Fail(ERROR_INVALID_PARAMETER);
    *key = 0;
    return Fail(NTE_NO_KEY);
}

BOOL CryptDestroyKey(HCRYPTKEY key) {
    return RemoveHandle(key, HandleKind::Key, NTE_BAD_KEY) ? TRUE : FALSE;
}

BOOL CryptGetKeyParam(HCRYPTKEY key, DWORD, BYTE*, DWORD*, DWORD) {
    return FindKey(key) ? Fail(NTE_NOT_SUPPORTED) : FALSE;
}

BOOL CryptSetKeyParam(HCRYPTKEY key, DWORD, const BYTE*, DWORD) {
    return FindKey(key) ? Fail(NTE_NOT_SUPPORTED) : FALSE;
}

BOOL CryptExportKey(HCRYPTKEY key, HCRYPTKEY, DWORD, DWORD, BYTE*, DWORD*) {
    return FindKey(key) ? Fail(NTE_NOT_SUPPORTED) : FALSE;
}

BOOL CryptImportKey(HCRYPTPROV prov, const BYTE* data, DWORD dataLen, HCRYPTKEY, DWORD, HCRYPTKEY* key) {
    auto ctx = FindContext(prov);
    if (!ctx) return FALSE;
    if (!key || !data || !dataLen) return Fail(ERROR_INVALID_PARAMETER);
    *key = 0;
    if (auto& busy = ctx->provider->inject.busyCalls; busy && busy->load() > 0 && busy->fetch_sub(1) > 0)
        return Fail(ERROR_BUSY);
    return Fail(NTE_NOT_SUPPORTED);
}

BOOL CryptSignHashW(HCRYPTHASH hash, DWORD, LPCWSTR, DWORD, BYTE*, DWORD* signatureLen) {
    if (!FindHandle(hash, HandleKind::Hash, NTE_BAD_HASH)) return FALSE;
    if (!signatureLen) return Fail(ERROR_INVALID_PARAMETER);
    return Fail(NTE_NO_KEY);
}

BOOL CryptVerifySignatureW(HCRYPTHASH hash, const BYTE*, DWORD, HCRYPTKEY pubKey, LPCWSTR, DWORD) {
    if (!FindHandle(hash, HandleKind::Hash, NTE_BAD_HASH)) return FALSE;
    return FindKey(pubKey) ? Fail(NTE_NOT_SUPPORTED) : FALSE;
}

BOOL CryptEncrypt(HCRYPTKEY key, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*, DWORD) {
    return FindKey(key) ? Fail(NTE_NOT_SUPPORTED) : FALSE;
}

BOOL CryptDecrypt(HCRYPTKEY key, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*) {
    return FindKey(key) ? Fail(NTE_NOT_SUPPORTED) : FALSE;
}

BOOL CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov, DWORD, DWORD, CERT_PUBLIC_KEY_INFO*,
                              DWORD* infoLen) {
    if (!FindContext(prov)) return FALSE;
    if (!infoLen) return Fail(ERROR_INVALID_PARAMETER);
    return Fail(NTE_NO_KEY);
}

BOOL CryptImportPublicKeyInfo(HCRYPTPROV prov, DWORD, const CERT_PUBLIC_KEY_INFO* info, HCRYPTKEY* key) {
    if (!FindContext(prov)) return FALSE;
    if (!info || !key) return Fail(ERROR_INVALID_PARAMETER);
    *key = 0;
    return Fail(NTE_NOT_SUPPORTED);
}
