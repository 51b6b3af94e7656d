// A DER Name read into plain rows (OID, value, grouping, display name) without attribute objects:
// what the certificate's texts need, and what CAttributes::fromX501Name builds its attributes from.
#pragma once

#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

#include <memory>
#include <vector>

namespace Vsk::PKI {

struct CParsedAttribute {
    Vsk::Utils::CAString oid;
    Vsk::Utils::CWString value;
    bool joinedToPrevious;
    Vsk::Utils::CAString displayName;
};
using CParsedName = std::vector<CParsedAttribute>;

// The rows of the Name, in encoded order; equal Names are read once (a small process-wide cache).
// Malformed DER raises what fromX501Name raises for it.
std::shared_ptr<const CParsedName> ReadNameRows(const Vsk::Utils::CDataBlob& der);

}  // namespace Vsk::PKI
