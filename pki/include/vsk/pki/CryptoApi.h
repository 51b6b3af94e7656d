// Thin wrappers of the CryptoAPI provider, key and hash functions, named after the call they make.
// Each traces its arguments at a high log level, refuses obviously empty arguments without calling
// the system, calls once (twice for data of variable length, repeatedly while a provider is busy),
// logs a failure with the system text and returns what the system returned. None raises for a
// failed call and none gives an error a meaning of its own: the caller decides, and a caller that
// gives up raises CCryptError(step code, -1, 0) with the last error the failed call left.
#pragma once

#include <vsk/platform/crypt.h>
#include <vsk/platform/cryptmsg.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI {

// ---- Provider contexts ----------------------------------------------------------------------------

// Null `prov`: FALSE before any trace.
BOOL AcquireContext(HCRYPTPROV* prov, const WCHAR* container, const WCHAR* providerName, DWORD provType,
                    DWORD flags);
// A handle of 0: TRUE without a trace. The variable is 0 afterwards in every case.
BOOL ReleaseContext(HCRYPTPROV& prov);
BOOL GetProvParam(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags);
// The parameter as 8-bit text without its NUL (size query, then data); empty on failure with the
// error in `error` (set to 0 first). Provider 0: empty text, `error` 0.
Vsk::Utils::CAString GetProvStrParam(HCRYPTPROV prov, DWORD param, DWORD* error = nullptr);
// Repeated while the provider answers ERROR_BUSY: at most 100 repetitions, 10 ms apart.
BOOL SetProvParam(HCRYPTPROV prov, DWORD param, const BYTE* data, DWORD flags);

// ---- Keys ----------------------------------------------------------------------------------------------

BOOL GenKey(HCRYPTPROV prov, ALG_ID algId, DWORD flags, HCRYPTKEY* key);
BOOL GetUserKey(HCRYPTPROV prov, DWORD keySpec, HCRYPTKEY* key);
// A handle of 0: TRUE without a trace. The variable is 0 afterwards in every case.
BOOL DestroyKey(HCRYPTKEY& key);
// The value (size query, then data); empty on failure with the error in `error` (set to 0 first).
Vsk::Utils::CDataBlob GetKeyParam(HCRYPTKEY key, DWORD param, DWORD* error = nullptr);
BOOL GetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags);
BOOL SetKeyParam(HCRYPTKEY key, DWORD param, const BYTE* data, DWORD flags);
// The key blob into `blob` (size query, then data); FALSE and an empty blob on failure.
BOOL ExportKey(HCRYPTKEY key, HCRYPTKEY exportKey, DWORD blobType, DWORD flags, Vsk::Utils::CDataBlob* blob);
// Under a process-wide lock (one import at a time), repeated while the provider answers
// ERROR_BUSY: at most 100 repetitions, 10 ms apart.
BOOL ImportKey(HCRYPTPROV prov, const Vsk::Utils::CDataBlob& keyBlob, HCRYPTKEY decryptKey, DWORD flags,
               HCRYPTKEY* key);

// The public-key information of a provider's key (two-call form) into `blob`: one block whose
// pointers point into itself, so it is used in place (copies share the buffer). FALSE and an empty
// blob on failure.
BOOL ExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE handle, DWORD keySpec, DWORD encoding,
                         Vsk::Utils::CDataBlob* blob);
// `*key` (when given) becomes 0 first.
BOOL ImportPublicKeyInfo(HCRYPTPROV prov, DWORD encoding, const CERT_PUBLIC_KEY_INFO* info, HCRYPTKEY* key);

// ---- Hashes ---------------------------------------------------------------------------------------------

// Provider 0: *hash (when given) becomes 0 and FALSE is returned without a call.
BOOL CreateHash(HCRYPTPROV prov, ALG_ID algId, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash);
BOOL HashData(HCRYPTHASH hash, const BYTE* data, DWORD dataLen, DWORD flags);
// A handle of 0: TRUE without a trace. The variable is 0 afterwards in every case.
BOOL DestroyHash(HCRYPTHASH& hash);
// The signature in CryptoAPI's (little-endian) order; empty on failure with the error in `error`
// (set to 0 first; E_INVALIDARG for hash 0).
Vsk::Utils::CDataBlob SignHash(HCRYPTHASH hash, DWORD keySpec, DWORD* error = nullptr, DWORD flags = 0,
                               const WCHAR* description = nullptr);

// ---- Messages ----------------------------------------------------------------------------------------

// A null handle: TRUE without a trace. The variable is null afterwards in every case.
BOOL MsgClose(HCRYPTMSG& msg);
// Message null: FALSE without a call.
BOOL MsgGetParam(HCRYPTMSG msg, DWORD paramType, DWORD index, void* data, DWORD* dataLen);
// Message null: FALSE without a call.
BOOL MsgUpdate(HCRYPTMSG msg, const BYTE* data, DWORD dataLen, BOOL final);
// Message null: FALSE without a call.
BOOL MsgControl(HCRYPTMSG msg, DWORD flags, DWORD ctrlType, const void* ctrlPara);

}  // namespace Vsk::PKI
