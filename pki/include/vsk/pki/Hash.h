// One hash value computed through CryptoAPI: the provider context, the CryptoAPI hash object and the
// cached value. A plain class that its users keep in place; every operation runs under the object's
// lock and raises CError (without a step code) on failure.
#pragma once

#include <vsk/pki/HoldCSP.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/error.h>

namespace Vsk::PKI {

class CAlgorithm;
class CSPInfo;

class CHash : public Vsk::Utils::CErrorFormatter {
public:
    CHash();
    ~CHash();
    CHash(const CHash&) = delete;
    CHash& operator=(const CHash&) = delete;

    // Prepares a hash of `algId` on `provider`, or, with null, on the first provider of the
    // catalogue that offers it (Microsoft's Base and then Enhanced RSA providers first). Nothing
    // happens when the same algorithm is already prepared on an acquired context.
    void create(ALG_ID algId, CSPInfo* provider);
    // Prepares a hash on a context the caller has acquired (shared with the caller's holder).
    void createWithHoldCSP(ALG_ID algId, const CHoldCSP& context);
    // Prepares a hash on a verification context of the default provider of the type fixed by the
    // algorithm, without the catalogue: MD5 and SHA-1 (type 1), GOST R 34.11-94 (75), GOST R
    // 34.11-2012 256 (80) and 512 (81).
    void createWithNoChecks(ALG_ID algId);
    // Sets the hash object's value directly (data hashed elsewhere); the size must be the hash's.
    void setInitialValue(const Vsk::Utils::CDataBlob& value);
    // Hashes the first `length` bytes of `data`; 0xFFFFFFFF means the whole blob.
    void addData(const Vsk::Utils::CDataBlob& data, DWORD length = 0xFFFFFFFF);
    // The hash value, computed once and then cached.
    Vsk::Utils::CDataBlob value();
    // Starts over with the same algorithm and provider.
    void reset();
    // Forgets algorithm, provider and hash object.
    void clear();
    // reset, addData, value.
    Vsk::Utils::CDataBlob calculate(const Vsk::Utils::CDataBlob& data, DWORD length = 0xFFFFFFFF);

    ALG_ID getAlgId() const { return m_algId; }
    // The catalogue's description of the algorithm; null when the provider does not list it.
    CAlgorithm* getAlgorithm() const { return m_algorithm.get(); }
    const CHoldCSP& getHoldCSP() const { return m_holdCSP; }
    // The CryptoAPI hash object (0 before the first data or value), for signing the hash in place.
    HCRYPTHASH getHashHandle() const { return m_hHash; }

private:
    void createHashObject();
    void destroyHashObject();
    // The steps of reset, addData and value without their lock and trace scope; the caller holds
    // the lock.
    void resetHeld();
    void addDataHeld(const Vsk::Utils::CDataBlob& data, DWORD length);
    Vsk::Utils::CDataBlob valueHeld();

    ALG_ID m_algId;
    // Counted, so that a catalogue refresh cannot free the description under the hash.
    Vsk::Utils::CRefPtr<CAlgorithm> m_algorithm;
    CHoldCSP m_holdCSP;
    HCRYPTHASH m_hHash;
    // The value once `m_cached`; its storage outlives a reset for the next value of the same size.
    Vsk::Utils::CDataBlob m_value;
    bool m_cached;
    bool m_used;
};

}  // namespace Vsk::PKI
