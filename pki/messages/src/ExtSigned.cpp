#include "ExtSigned.h"

#include <vsk/pki/Hash.h>

namespace Vsk::PKI {

using Vsk::Utils::CDataBlob;

CExtSigned::CExtSigned(CHash* hash, CSignSettings* settings, HCRYPTMSG* encodingMsg, CDataBlob* output,
                       DWORD* outputCount)
    : m_pHash(hash),
      m_pSettings(settings),
      m_phEncodingMsg(encodingMsg),
      m_pOutput(output),
      m_pOutputCount(outputCount) {}

void CExtSigned::reset() {
    if (m_pHash) m_pHash->clear();
}

}  // namespace Vsk::PKI
