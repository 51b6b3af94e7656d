// Translations between OIDs, CryptoAPI algorithm identifiers and display names: the fixed GOST and
// SHA-2 tables that are consulted before CryptoAPI's own mapping, CryptoAPI's display name of an OID,
// and the process-wide registry of every name known for an OID (CryptoAPI's OID information plus the
// algorithm names the installed providers report).
#pragma once

#include <vsk/utils/string.h>

#include <set>

namespace Vsk::PKI {

// The OID of an algorithm identifier: the fixed table first, else CertAlgIdToOID; empty when none
// is known. Raises nothing.
Vsk::Utils::CAString AlgIdToOID(ALG_ID algId);
// The algorithm identifier of a dotted OID: 0 for an empty text; the fixed table first, else
// CertOIDToAlgId, whose 0 and 0xFFFFFFFF both mean "none" (0); the caller then reads the thread's
// last error.
ALG_ID OIDToAlgId(const Vsk::Utils::CAString& oid);
// CryptoAPI's display name of the OID in any group; empty for an empty or unknown OID.
Vsk::Utils::CWString NameFromOID(const Vsk::Utils::CAString& oid);

// The library's string order: the shorter text first, then by UTF-16 code units. The first name of
// an OID is therefore its shortest.
struct CNameOrder {
    bool operator()(const Vsk::Utils::CWString& a, const Vsk::Utils::CWString& b) const;
};
using CNameSet = std::set<Vsk::Utils::CWString, CNameOrder>;

// The process-wide OID name registry. Every operation holds the registry's lock; lookups hand out
// copies made under it.
class CNameOID {
public:
    // Fills the registry from CryptoAPI's OID information when it is empty.
    static void check();
    // Registers a name for an OID (a name already there is not added twice).
    static void add(const Vsk::Utils::CAString& oid, const Vsk::Utils::CWString& name);
    // The OID's names (empty for an OID without names); fills the registry first.
    static CNameSet getNames(const Vsk::Utils::CAString& oid);
    // The names in set order joined by `separator`; empty when none.
    static Vsk::Utils::CWString joinNames(const Vsk::Utils::CAString& oid,
                                          const Vsk::Utils::CWString& separator);
    // The first (shortest) name, or the OID text itself when it has none.
    static Vsk::Utils::CWString getName(const Vsk::Utils::CAString& oid);
};

}  // namespace Vsk::PKI
