// The token part of the signed-data object. Signing and reading on a PKCS#11 token are built with
// the token layer's signing operations; until then every operation that would need the token raises
// the internal "not implemented" error, and they are reached only when a token key is in use.
#include "TokenSigned.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/Signature.h>
#include <vsk/utils/error.h>

namespace Vsk::PKI {

using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

[[noreturn]] void notImplemented(const char* file, int line) {
    throw Vsk::Utils::NotImplementedError(file, line);
}

}  // namespace

CTokenSigned::CTokenSigned(CDataBlob* dataHash, CSignSettings* settings, std::vector<CSignature>* signatures,
                           DWORD* signerCount, DWORD* state)
    : m_dataHash(dataHash),
      m_certificates(nullptr),
      m_signerInfos(nullptr),
      m_settings(settings),
      m_signatures(signatures),
      m_signerCount(signerCount),
      m_state(state) {}

CTokenSigned::~CTokenSigned() {
    try {
        reset();
    } catch (...) {
        // Nothing is raised from a destructor.
    }
}

bool CTokenSigned::signStart(const CSignSettings& settings) {
    // A key that CryptoAPI could not reach is looked for on a token: the settings' key container
    // when it is a token object, else the token key of the signer certificate.
    Vsk::PKCS11::CTokenKeyPair pair;
    if (const CKeyContainer* container = settings.get_KeyContainer()) pair = container->get_TokenKeyPair();
    if (pair.isEmpty()) return false;
    m_keyPair = pair;
    notImplemented(__FILE__, __LINE__);
}

void CTokenSigned::clearSignBlock(const CDataBlob&, CDataBlob*, bool) {
    notImplemented(__FILE__, __LINE__);
}

void CTokenSigned::cmsSignBlock(const CDataBlob&, CDataBlob*, bool) {
    notImplemented(__FILE__, __LINE__);
}

void CTokenSigned::cmsSign(CDataBlob*, const CDataBlob&, const CDataBlob&, const CSignSettings&) {
    notImplemented(__FILE__, __LINE__);
}

void CTokenSigned::signHash(CDataBlob*, const CDataBlob&) {
    notImplemented(__FILE__, __LINE__);
}

void CTokenSigned::importByToken(const CDataBlob& block, CDataBlob* output, bool final, bool*) {
    if (output) output->clear();
    // The message is read whole on this road: its blocks are kept until the final one.
    m_accumulated.appendBlob(block);
    if (!final) return;
    notImplemented(__FILE__, __LINE__);
}

void CTokenSigned::digestClearData(const CDataBlob&, bool) {
    notImplemented(__FILE__, __LINE__);
}

void CTokenSigned::reset() {
    m_keyPair = Vsk::PKCS11::CTokenKeyPair();
    m_certificates = nullptr;
    m_signerInfos = nullptr;
    m_contentInfo = Vsk::ASN1::CSequence();
    m_accumulated.clear();
}

}  // namespace Vsk::PKI
