// Fuzz entry for the signed-message reader (CSignedData) and the DER reader of a whole SignedData
// (parsePKCS7Signed). Whatever the input, reading either raises a library error (CError) or gives a
// message whose every signer reads and verifies to a status; any other exception, a crash or a
// sanitizer report is a finding. The outcome (failure, or the content released, the detached flag
// and the signer count) must be the same whether the message comes in one block or in small blocks.
// The first input byte chooses the block size; bit 0 of the second whether the content is
// collected, bit 1 whether a detached message is given its content. The message is the rest.
// Built with clang's libFuzzer (fuzz/signedData/CMakeLists.txt) and replayed over the seed corpus
// by the message tests of the library under the sanitizers.
#include <vsk/pki/Certificate.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/Signature.h>
#include <vsk/pki/SignedData.h>
#include <vsk/pki/TimeStamp.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/error.h>

#include "Pkcs7Signed.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;

void failCheck(int line) {
    std::fprintf(stderr, "signedDataFuzz.cpp:%d: invariant broken\n", line);
    std::abort();
}
#define check(condition) \
    if (!(condition)) failCheck(__LINE__)

// More signers than this cannot be read from an input of the fuzzer's sizes; reaching it means
// GetSignature does not end.
constexpr DWORD MaxSigners = 4096;

struct Outcome {
    DWORD error = 0;  // error number of the failing call, 0 when reading succeeded
    std::string content;
    bool detached = false;
    DWORD signers = 0;
};

std::string text(const CDataBlob& blob) {
    return std::string(reinterpret_cast<const char*>(blob.getData()), blob.getSize());
}

// Reads every getter of every signer and verifies it without checking its certificate.
DWORD WalkSigners(Vsk::PKI::CSignedData& reader) {
    Vsk::PKI::CSignatureVerifySettings settings;
    DWORD count = 0;
    for (; count < MaxSigners; ++count) {
        Vsk::PKI::CSignature* signature = reader.GetSignature(count);
        if (!signature) break;
        check(signature->get_Index() == count);
        signature->get_DigestAlgorithm();
        signature->get_SignatureAlgorithm();
        signature->get_SignatureValue();
        signature->get_MessageDigest();
        FILETIME time{};
        signature->get_SigningTime(&time);
        signature->get_SignerCert();
        signature->get_FoundInMessage();
        if (signature->hasTimeStamp()) check(!signature->get_TimeStamp().isNull());
        signature->get_SignedAttributes();
        signature->get_UnsignedAttributes();
        try {
            const DWORD status = signature->Verify(&settings);
            check(status != Vsk::PKI::SignatureValid || signature->get_SignerCert().get_CertContext());
        } catch (const CError&) {
        }
    }
    check(count < MaxSigners);
    return count;
}

Outcome Read(const uint8_t* data, size_t size, size_t piece, bool collect, bool giveContent) {
    Outcome out;
    Vsk::PKI::CSignedData reader;
    try {
        size_t at = 0;
        do {
            const size_t n = std::min(piece, size - at);
            CDataBlob released;
            reader.ImportBlock(CDataBlob(data + at, n, true), collect ? &released : nullptr, at + n == size);
            out.content += text(released);
            at += n;
        } while (at < size);
        out.detached = Vsk::PKI::CSignedData::IsDetached(CDataBlob(data, size, true));
        if (out.detached && giveContent) reader.ImportBlockClearData(CDataBlob("content", 7, true), true);
    } catch (const CError& error) {
        out.error = error.getErrorNumber();
        // Number 0 only from the token road, which takes messages of algorithms the decoder does
        // not know: no token offers the message's algorithm, or a token mechanism has no OID.
        if (out.error == 0) {
            const std::u16string message = error.getMessage().toU16();
            check(message.starts_with(u"Отсутствует подходящий криптопровайдер") ||
                  message.starts_with(u"Не реализовано, не было необходимости. "));
            out.error = static_cast<DWORD>(-1);
        }
    }
    // Whatever happened, the signers the object holds read.
    out.signers = WalkSigners(reader);
    return out;
}

void Parse(const uint8_t* data, size_t size) {
    Vsk::ASN1::CSequence contentInfo;
    std::set<Vsk::Utils::CAString> digests;
    std::vector<CDataBlob> contents;
    Vsk::ASN1::CConstructed* certificates = nullptr;
    Vsk::ASN1::CConstructed* crls = nullptr;
    Vsk::ASN1::CSet* signerInfos = nullptr;
    int result = 0;
    try {
        result = Vsk::PKI::parsePKCS7Signed(CDataBlob(data, size, true), contentInfo, &digests, &contents,
                                            &certificates, &crls, &signerInfos);
    } catch (const CError& error) {
        // Every fault of the message is reported as a step of the library.
        check(error.getErrorNumber() != 0);
        return;
    }
    check(result >= Vsk::PKI::Pkcs7Complete && result <= Vsk::PKI::Pkcs7EndsAfterCrls);
    check(result != Vsk::PKI::Pkcs7Complete || signerInfos != nullptr);
    size_t total = 0;
    for (const CDataBlob& content : contents) total += content.getSize();
    check(total <= size);
    // The nodes handed out read on (the codec may raise its own errors for what lies further in).
    try {
        for (Vsk::ASN1::CConstructed* node :
             {certificates, crls, static_cast<Vsk::ASN1::CConstructed*>(signerInfos)})
            if (node)
                for (size_t i = 0; i < node->getCount(); ++i) check(node->getItem(i) != nullptr);
    } catch (const CError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const size_t piece = 1 + data[0];
    const bool collect = data[1] & 1;
    const bool giveContent = data[1] & 2;
    data += 2;
    size -= 2;
    Parse(data, size);
    const Outcome whole = Read(data, size, size, collect, giveContent);
    const Outcome pieces = Read(data, size, piece, collect, giveContent);
    // Which step fails may depend on how much of the message the reader held when it looked at its
    // start; whether it fails may not.
    check((whole.error == 0) == (pieces.error == 0));
    if (whole.error == 0) {
        check(whole.content == pieces.content);
        check(whole.detached == pieces.detached);
        check(whole.signers == pieces.signers);
    }
    return 0;
}
