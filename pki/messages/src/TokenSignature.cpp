#include "TokenSignature.h"

#include <vsk/utils/error.h>

namespace Vsk::PKI {

using Vsk::Utils::CError;
using Vsk::Utils::CWString;

// Reading and verifying a SignerInfo on a token belong to the token road, which no message reaches
// without a token yet.
void CTokenSignature::parse(const Vsk::ASN1::CNode& /*signerInfo*/, const Vsk::Utils::CDataBlob* dataHash,
                            const std::vector<CCertificate>& /*certificates*/) {
    m_dataHash = dataHash;
    throw Vsk::Utils::NotImplementedError(__FILE__, __LINE__);
}

int CTokenSignature::verify() {
    throw Vsk::Utils::NotImplementedError(__FILE__, __LINE__);
}

}  // namespace Vsk::PKI
