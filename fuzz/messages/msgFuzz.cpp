// Fuzz entry for the message decoder (signed and enveloped messages): whatever the input, decoding
// either fails cleanly with an error code or gives a message whose every parameter reads; and the
// outcome (the error, or the content and the encoded message, the signers or recipients) is the same
// whether the input comes in one piece or in small pieces. The first input byte chooses the piece
// size and whether the message is opened detached. An enveloped message is also asked to decrypt
// with a context that has no key, which must fail and leave it readable.
// Built with clang's libFuzzer (fuzz/messages/CMakeLists.txt) and replayed over the seed corpus by
// the platform's message tests under the sanitizers.
#include <vsk/platform/cert.h>
#include <vsk/platform/cryptmsg.h>
#include <vsk/platform/kernel.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void failCheck(int line) {
    std::fprintf(stderr, "msgFuzz.cpp:%d: invariant broken\n", line);
    std::abort();
}
#define check(condition) \
    if (!(condition)) failCheck(__LINE__)

using Bytes = std::vector<BYTE>;

struct Outcome {
    DWORD error = 0;  // of the first failing update, 0 when all passed
    Bytes content;
    Bytes encoded;
    DWORD signers = 0;  // or recipients
    Bytes algorithm;    // the content-encryption algorithm of an enveloped message
    bool finalSeen = false;
};

BOOL Collect(const void* arg, BYTE* data, DWORD size, BOOL final) {
    auto* out = static_cast<Outcome*>(const_cast<void*>(arg));
    check(!out->finalSeen);
    if (size) out->content.insert(out->content.end(), data, data + size);
    if (final) out->finalSeen = true;
    return TRUE;
}

Bytes Param(HCRYPTMSG msg, DWORD param, DWORD index, bool& ok) {
    DWORD size = 0;
    ok = CryptMsgGetParam(msg, param, index, nullptr, &size);
    if (!ok) return {};
    Bytes out(size);
    ok = CryptMsgGetParam(msg, param, index, out.data(), &size);
    check(ok && size <= out.size());
    out.resize(size);
    return out;
}

// Reads every parameter of an enveloped message, before and after a decrypt that must fail.
void WalkEnveloped(HCRYPTMSG msg, Outcome& out) {
    bool ok = false;
    for (int round = 0; round < 2; ++round) {
        const Bytes block = Param(msg, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, ok);
        check(ok);
        const auto* alg = reinterpret_cast<const CRYPT_ALGORITHM_IDENTIFIER*>(block.data());
        check(alg->pszObjId != nullptr);
        const std::string oid = alg->pszObjId;
        out.algorithm.assign(oid.begin(), oid.end());
        out.algorithm.insert(out.algorithm.end(), alg->Parameters.pbData,
                             alg->Parameters.pbData + alg->Parameters.cbData);
        Bytes count = Param(msg, CMSG_RECIPIENT_COUNT_PARAM, 0, ok);
        check(ok && count.size() == 4);
        out.signers = *reinterpret_cast<DWORD*>(count.data());
        check(out.signers > 0);
        for (DWORD i = 0; i < out.signers; ++i) {
            Bytes info = Param(msg, CMSG_CMS_RECIPIENT_INFO_PARAM, i, ok);
            if (!ok) {
                check(GetLastError() == CRYPT_E_UNKNOWN_ALGO);
                continue;
            }
            const auto* r = reinterpret_cast<const CMSG_CMS_RECIPIENT_INFO*>(info.data());
            check(r->dwRecipientChoice == CMSG_KEY_TRANS_RECIPIENT && r->pKeyTrans != nullptr);
            check(r->pKeyTrans->KeyEncryptionAlgorithm.pszObjId != nullptr);
        }
        Param(msg, CMSG_CMS_RECIPIENT_INFO_PARAM, out.signers, ok);
        check(!ok && GetLastError() == CRYPT_E_INVALID_INDEX);
        if (round == 0) {
            CMSG_CTRL_DECRYPT_PARA para{sizeof para, 0, AT_KEYEXCHANGE, 0};
            check(!CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, &para));
        }
    }
    check(out.content.empty() && !out.finalSeen);
}

// Reads every parameter of a decoded message; verifies each signer against each certificate.
void Walk(HCRYPTMSG msg, Outcome& out, bool detached) {
    bool ok = false;
    Bytes type = Param(msg, CMSG_TYPE_PARAM, 0, ok);
    check(ok && type.size() == 4);
    if (*reinterpret_cast<DWORD*>(type.data()) == CMSG_ENVELOPED) {
        WalkEnveloped(msg, out);
        return;
    }
    Bytes count = Param(msg, CMSG_SIGNER_COUNT_PARAM, 0, ok);
    check(ok && count.size() == 4);
    out.signers = *reinterpret_cast<DWORD*>(count.data());
    Bytes certs = Param(msg, CMSG_CERT_COUNT_PARAM, 0, ok);
    check(ok);
    const DWORD certCount = *reinterpret_cast<DWORD*>(certs.data());
    std::vector<PCCERT_CONTEXT> contexts;
    for (DWORD i = 0; i < certCount; ++i) {
        Bytes der = Param(msg, CMSG_CERT_PARAM, i, ok);
        check(ok && !der.empty());
        if (PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), (DWORD)der.size()))
            contexts.push_back(c);
    }
    for (DWORD i = 0; i < out.signers; ++i) {
        Bytes info = Param(msg, CMSG_CMS_SIGNER_INFO_PARAM, i, ok);
        check(ok);
        const auto* cms = reinterpret_cast<const CMSG_CMS_SIGNER_INFO*>(info.data());
        for (DWORD a = 0; a < cms->AuthAttrs.cAttr; ++a) check(cms->AuthAttrs.rgAttr[a].pszObjId != nullptr);
        Param(msg, CMSG_SIGNER_INFO_PARAM, i, ok);
        check(ok);
        Param(msg, CMSG_SIGNER_CERT_INFO_PARAM, i, ok);
        check(ok);
        Param(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, i, ok);
        check(ok || GetLastError() == CRYPT_E_ATTRIBUTES_MISSING);
        Param(msg, CMSG_SIGNER_UNAUTH_ATTR_PARAM, i, ok);
        check(ok || GetLastError() == CRYPT_E_ATTRIBUTES_MISSING);
        for (PCCERT_CONTEXT c : contexts) {
            CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{sizeof para, 0, i, CMSG_VERIFY_SIGNER_CERT, (void*)c};
            CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para);
        }
    }
    Param(msg, CMSG_SIGNER_INFO_PARAM, out.signers, ok);
    check(!ok && GetLastError() == CRYPT_E_INVALID_INDEX);
    for (PCCERT_CONTEXT c : contexts) CertFreeCertificateContext(c);
    out.encoded = Param(msg, CMSG_ENCODED_MESSAGE, 0, ok);
    check(ok || !detached);
}

Outcome Decode(const BYTE* data, size_t size, size_t piece, bool detached) {
    Outcome out;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &out};
    HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                         detached ? CMSG_DETACHED_FLAG : 0, 0, 0, nullptr, &stream);
    check(msg != nullptr);
    size_t at = 0;
    do {
        const size_t n = std::min(piece, size - at);
        const bool last = at + n == size;
        if (!CryptMsgUpdate(msg, data + at, (DWORD)n, last)) {
            out.error = GetLastError();
            check(out.error != 0);
            break;
        }
        at += n;
    } while (at < size);
    bool ok = false;
    const Bytes type = Param(msg, CMSG_TYPE_PARAM, 0, ok);
    const bool enveloped = ok && *reinterpret_cast<const DWORD*>(type.data()) == CMSG_ENVELOPED;
    if (!out.error && detached && !enveloped) {
        // The message is complete: its detached content follows (also when it carried its own).
        static const BYTE content[] = "content";
        if (!CryptMsgUpdate(msg, content, sizeof content - 1, TRUE)) out.error = GetLastError();
    }
    if (!out.error) Walk(msg, out, detached);
    HCRYPTMSG copy = CryptMsgDuplicate(msg);
    check(copy == msg);
    check(CryptMsgClose(msg));
    check(CryptMsgClose(copy));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool detached = data[0] & 1;
    const size_t piece = 1 + (data[0] >> 1);
    const Outcome whole = Decode(data + 1, size - 1, size, detached);
    const Outcome pieces = Decode(data + 1, size - 1, piece, detached);
    check(whole.error == pieces.error);
    check(whole.content == pieces.content);
    check(whole.encoded == pieces.encoded);
    check(whole.signers == pieces.signers);
    check(whole.algorithm == pieces.algorithm);
    return 0;
}
