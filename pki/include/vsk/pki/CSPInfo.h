// The process-wide catalogue of installed providers and their algorithms: the provider description
// (CSPInfo) and the algorithm description (CAlgorithm) with their order and texts, the lookups over
// the catalogue and its filling from the system, one worker thread per provider.
//
// The catalogue's sets, the default-name caches, a description's algorithms and type name and an
// algorithm's providers and name are guarded by the common lock (CCommonInfoLock). Filling is
// serialised by a lock of its own, taken before the common lock.
#pragma once

#include <vsk/pki/HoldCSP.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/array.h>
#include <vsk/utils/error.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/progress.h>
#include <vsk/utils/string.h>

#include <set>

namespace Vsk::PKI {

class CSPInfo;
class CAlgorithm;

// One reader (key medium slot) of a provider, from one PP_ENUMREADERS record: three code page 1251
// texts and a flag byte. A reader without a medium reports the media text "NO_MEDIA".
class CReaderInfo {
public:
    // "nickName=..., name=..., media=..., flags=0x..." for log lines.
    Vsk::Utils::CWString toString() const;

    Vsk::Utils::CWString m_nickName;
    Vsk::Utils::CWString m_name;
    Vsk::Utils::CWString m_media;
    uint8_t m_flags = 0;
};
using CReaderArray = Vsk::Utils::CArray<CReaderInfo>;

// Orders counted pointers by their pointees. A pointer is never less than itself or than a null
// pointer, and a null pointer is less than nothing.
template <class T>
struct CPointeeLess {
    bool operator()(const Vsk::Utils::CRefPtr<T>& a, const Vsk::Utils::CRefPtr<T>& b) const {
        if (!a || !b || a.get() == b.get()) return false;
        return *a < *b;
    }
};

using CAlgorithmSet = std::set<Vsk::Utils::CRefPtr<CAlgorithm>, CPointeeLess<CAlgorithm>>;
using CSPInfoSet = std::set<Vsk::Utils::CRefPtr<CSPInfo>, CPointeeLess<CSPInfo>>;
using CSPInfoArray = Vsk::Utils::CArray<Vsk::Utils::CRefPtr<CSPInfo>>;
using CAlgorithmArray = Vsk::Utils::CArray<Vsk::Utils::CRefPtr<CAlgorithm>>;

// How long the filling waits for each provider's worker before it goes on with the next provider.
constexpr DWORD ProviderWaitMs = 20000;

// One algorithm as the catalogue knows it over all providers. Equal descriptions (same ALG_ID and
// OID, and key lengths that are equal or unknown) are one catalogue entry.
class CAlgorithm : public Vsk::Utils::CRefMan {
public:
    // ALG_ID and key length 0, empty name and OID, no providers.
    CAlgorithm();
    // From a PROV_ENUMALGS record; the OID comes from AlgIdToOID. When both the OID and the name are
    // known, the name is registered for the OID in the OID name registry.
    explicit CAlgorithm(const PROV_ENUMALGS& record);
    ~CAlgorithm() override = default;

    static Vsk::Utils::CRefPtr<CAlgorithm> createNew();
    static Vsk::Utils::CRefPtr<CAlgorithm> CAlgorithmFromEnumAlgs(const PROV_ENUMALGS& record);

    // "aid=0x8004, oid=1.3.14.3.2.26, name=SHA-1, keyBitLength=160".
    Vsk::Utils::CWString toString() const;
    bool operator<(const CAlgorithm& other) const;
    // The providers that offer the algorithm, in catalogue order (taken under the common lock).
    CSPInfoArray getProviders() const;

    ALG_ID m_aid;
    DWORD m_keyBitLength;
    Vsk::Utils::CWString m_name;
    Vsk::Utils::CAString m_oid;
    // Plain pointers to the catalogue's own descriptions: valid only while the catalogue holds them,
    // so clearing the catalogue empties every algorithm's set under the same lock. Read and changed
    // only under the common lock.
    std::set<CSPInfo*> m_providers;
};

// One installed provider (or token presented as a provider).
class CSPInfo : public Vsk::Utils::CRefMan, public CTokenAsCsp {
public:
    CSPInfo();
    ~CSPInfo() override;

    // A holder of a context of this provider; not acquired (with the last error telling why) on
    // failure. Never raises for a failed acquisition.
    CHoldCSP acquireContext(const WCHAR* container, DWORD flags);

    // "криптопровайдер \"<name>\" типа <type>, версии <version text>".
    Vsk::Utils::CWString toString() const;
    // major.minor.build.revision; a token's own version text.
    Vsk::Utils::CWString getVersionText() const;
    // The first algorithm with this ALG_ID, or null.
    Vsk::Utils::CRefPtr<CAlgorithm> getAlgorithm(ALG_ID aid) const;
    // The algorithms of the class (ALG_ID & 0xE000), every one for 0, in set order.
    CAlgorithmArray GetAlgorithms(DWORD algClass) const;
    bool hasGostAlgorithm() const;
    bool isCryptoProKC() const;
    bool isCryptoProUEC() const;
    // Whether a provider name contains "HSM" (case ignored).
    static bool isHSM(const Vsk::Utils::CWString& providerName);
    // The ephemeral key-agreement ALG_ID of the provider type.
    ALG_ID getEphemDHAlgId() const;
    // By type, then shorter names first, then names in code-unit order; the same type and name are
    // equal whatever the versions.
    bool operator<(const CSPInfo& other) const;

    // The names of the provider's key containers (the machine's with `machine`); with `uniqueNames`
    // their unique names too, entry i belonging to name i. `error` receives the last failure;
    // `progress` advances once per container. Never raises: what was read is returned.
    Vsk::Utils::CArray<Vsk::Utils::CWString>& GetKeyContainers(
        Vsk::Utils::CArray<Vsk::Utils::CWString>& names, Vsk::Utils::CError* error, bool machine,
        Vsk::Utils::CArray<Vsk::Utils::CWString>* uniqueNames, Vsk::Utils::IProgress* progress);
    // The provider's readers (a token: its slot); without those whose media is "NO_MEDIA" when
    // `skipNoMedia`.
    CReaderArray GetReaders(bool skipNoMedia);

    // Describes the provider from a fresh verification context and enters it into the catalogue
    // (the worker thread's part of the filling).
    void fillInfo(Vsk::Utils::CError* error, int index);
    // Reads the provider's algorithms from an open handle and links them into the catalogue.
    void fillAlgorithms(HCRYPTPROV hProv, Vsk::Utils::CError* error);

    DWORD m_type;
    Vsk::Utils::CWString m_name;
    Vsk::Utils::CWString m_typeName;
    // Written by the filling worker under the common lock; read under it by the texts.
    DWORD m_version;
    DWORD m_versionEx[2];
    // 0x1 machine default of its type, 0x2 user default.
    DWORD m_defaultFlags;
    CAlgorithmSet m_algorithms;
    // The catalogue filling this description was made for (0: the present one, whichever it is). A
    // worker that outlives a clearing of the catalogue does not enter its stale description.
    uint64_t m_generation;
};

// The readers of the provider open on `hProv`; provider failures end the list and are logged.
CReaderArray GetKeysetReaders(HCRYPTPROV hProv, bool skipNoMedia);

// ---- The catalogue ----------------------------------------------------------------------------------------

// Empties the catalogue: providers, algorithms (their provider links cut), default-name caches.
void ClearCspAlgInfo();
// The description of that type and name (exact); the catalogue is cleared and refilled once when
// it is missing. Null when it is still missing.
Vsk::Utils::CRefPtr<CSPInfo> FindCSPInfo(DWORD type, const Vsk::Utils::CWString& name);
// The description of the provider behind an open handle; null for a null handle. A provider that
// the catalogue lacks even after a refill is described from the handle and entered. Raises
// CCryptError when the provider's type or name cannot be read.
Vsk::Utils::CRefPtr<CSPInfo> GetCSPInfo(HCRYPTPROV hProv, bool fillFirst = true);
// The first algorithm with that OID and key length (-1: any length), or null.
Vsk::Utils::CRefPtr<CAlgorithm> FindAlgorithm(const Vsk::Utils::CAString& oid, int keyBitLength);
// Every algorithm of the class (0: all), in algorithm order. Raises CCryptError with the filling's
// errors when the catalogue holds no algorithm at all.
CAlgorithmSet GetAllAlgorithms(DWORD algClass);
// Every provider description, in catalogue order, as the catalogue holds it now (no filling).
CSPInfoArray GetCatalogueProviders();

// ---- Filling
// ------------------------------------------------------------------------------------------------

// Fills the catalogue when it holds no provider. The filling's errors, joined, go to `errors`.
void InitCspAlgInfo(Vsk::Utils::CError* errors = nullptr);
// Empties and refills the catalogue; every failure goes into `errors`. Each provider's worker is
// waited for at most `waitMs`; one that takes longer enters its provider when it gets there.
void FillCspAlgInfo(Vsk::Utils::CErrorFormatter* errors, DWORD waitMs = ProviderWaitMs);
// The worker thread of one provider; `record` is the starter's parameter record, freed here.
DWORD fillCSPInfoProc(void* record);
// The default provider name of a type (CRYPT_MACHINE_DEFAULT or CRYPT_USER_DEFAULT); empty when
// the type has none.
Vsk::Utils::CWString GetDefaultProvName(DWORD provType, DWORD flags);
// False when the algorithm's ALG_ID is refused for the provider's type (types 2, 77 and 78).
bool checkAlgorithmWithCSP(const CSPInfo& provider, const CAlgorithm& algorithm);

}  // namespace Vsk::PKI
