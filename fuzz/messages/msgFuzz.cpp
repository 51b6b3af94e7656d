// Fuzz entry for the signed-message decoder: whatever the input, decoding either fails cleanly with
// an error code or gives a message whose every parameter reads; and the outcome (the error, or the
// content and the encoded message) is the same whether the input comes in one piece or in small
// pieces. The first input byte chooses the piece size and whether the message is opened detached.
// Built with clang's libFuzzer (fuzz/messages/CMakeLists.txt) and replayed over the seed corpus by
// the platform's message tests under the sanitizers.
#include <vsk/platform/cert.h>
#include <vsk/platform/cryptmsg.h>
#include <vsk/platform/kernel.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
    DWORD signers = 0;
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

// Reads every parameter of a decoded message; verifies each signer against each certificate.
void Walk(HCRYPTMSG msg, Outcome& out, bool detached) {
    bool ok = false;
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
    if (!out.error && detached) {
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
    return 0;
}
