// GOST 28147-89 content encryption and GOST R 34.10-2012 key transport for the message layer (CMS
// EnvelopedData). The cipher is CFB with CryptoPro key meshing (a new key every 1024 bytes), the mode
// that the GOST engine's "gost89" cipher and CMS use; the key transport is the GostR3410-KeyTransport
// of RFC 4490 (VKO GOST R 34.10-2012 with an 8-byte UKM, CryptoPro key wrap). Failures come back as
// a Win32/NTE code in `error`, never as exceptions.
#pragma once

#include <vsk/platform/crypt.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace vsk::crypt {

// The parameter set that CMS declares by default for GOST R 34.10-2012 recipients (TC26 Z) and the
// CryptoPro A set of GOST R 34.10-2001.
inline constexpr const char* GOST89_PARAMSET_TC26_Z = "1.2.643.7.1.2.5.1.1";
inline constexpr const char* GOST89_PARAMSET_CRYPTOPRO_A = "1.2.643.2.2.31.1";

// A streaming GOST 28147-89 CFB cipher with CryptoPro key meshing. Data may be split anywhere: the
// output of update is always as long as its input, so final only ends the stream (and wipes the key
// schedule). Not copyable; one object per stream.
class Gost89Cfb {
public:
    Gost89Cfb();
    ~Gost89Cfb();
    Gost89Cfb(const Gost89Cfb&) = delete;
    Gost89Cfb& operator=(const Gost89Cfb&) = delete;

    // key: 32 bytes; iv: 8 bytes; paramSetOid: dotted S-box set (TC26 Z or CryptoPro A; others give
    // NTE_BAD_ALGID); null or empty gives TC26 Z (the engine's default). NTE_BAD_KEY / NTE_BAD_DATA / NTE_BAD_ALGID (unknown set) on failure.
    bool init(bool encrypt, const BYTE* key, size_t keySize, const BYTE* iv, size_t ivSize,
              const char* paramSetOid, DWORD& error);
    // `out` receives inSize bytes; in and out may be the same buffer. NTE_BAD_KEY_STATE before init.
    bool update(const BYTE* in, size_t inSize, BYTE* out, DWORD& error);
    bool final(DWORD& error);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The DER of a GostR3410-KeyTransport that carries the 32-byte content key `cek` to the recipient
// whose SubjectPublicKeyInfo DER is `spki` (a GOST R 34.10-2012 256 or 512 key): a fresh ephemeral
// key and UKM, the key wrapped with the TC26 Z set. Empty with `error` set on failure.
std::vector<BYTE> MakeGostKeyTransport(const BYTE* spki, size_t spkiSize, const BYTE* cek, size_t cekSize,
                                       DWORD& error);

// The content key of a GostR3410-KeyTransport for the key `keySpec` of the container that `prov`
// opened (unlocked as for signing: the context's password, the prompt, or NTE_SILENT_CONTEXT).
// `cek` receives 32 bytes. Errors: NTE_BAD_DATA for a damaged transport or a MAC that does not match
// (another key on the same curve), NTE_BAD_KEY for a key on another curve, NTE_NO_KEY /
// NTE_BAD_KEYSET from the container, ERROR_INVALID_PARAMETER for null arguments.
bool UnwrapGostKeyTransport(HCRYPTPROV prov, DWORD keySpec, const BYTE* transport, size_t transportSize,
                            BYTE cek[32], DWORD& error);

// The key blobs that carry a GostR3410-KeyTransport's parts into CryptImportKey.
// SIMPLEBLOB: a 60-byte fixed part (BLOBHEADER {1, 0x20, 0, CALG_G28147}, G28147_MAGIC, CALG_G28147,
// the UKM at 16, the encrypted key at 24, the MAC at 56, each zero-padded) and then the DER of
// SEQUENCE { OBJECT IDENTIFIER paramSetOid }. A UKM over 8 bytes, a key over 32 or a MAC over 4 is
// refused with NTE_BAD_LEN and `tooLong` names the field; a bad OID gives NTE_BAD_DATA.
enum class SimpleBlobField { None, Ukm, EncryptedKey, Mac };
std::vector<BYTE> MakeGostSimpleBlob(const BYTE* encryptedKey, size_t keySize, const BYTE* ukm, size_t ukmSize,
                                     const BYTE* mac, size_t macSize, const char* paramSetOid,
                                     SimpleBlobField& tooLong, DWORD& error);
// PUBLICKEYBLOB: BLOBHEADER {6, 0x20, 0, alg}, "MAG1", the key bits (keySize × 8), then the DER of the
// key's AlgorithmIdentifier parameters as given and the key bytes (X||Y little-endian).
std::vector<BYTE> MakeGostPublicKeyBlob(ALG_ID alg, const BYTE* params, size_t paramsSize, const BYTE* key,
                                        size_t keySize);

}  // namespace vsk::crypt
