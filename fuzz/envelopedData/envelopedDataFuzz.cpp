// Fuzz entry for the library's own enveloped-message reader (CPKCS7Encrypted::getEncryptedContent)
// and what works on its findings: the GOST key-transport and content-parameter parsers, the session
// key's blobs built from a parsed transport, the recipient records (CEncryptedDataRecipient::Init),
// and the enveloped-data object decrypting the input with no key anywhere.
//
// The reader never raises: structural faults come back through its error out-parameter, and once
// one came every later block reports it again and yields nothing. The content it releases, whether
// it failed and the recipients it found must not depend on how the input is cut into blocks; a block
// offered again as a repeat gives the same output and consumes nothing. The parsers and the
// recipient record raise only library errors (CError). With no key at hand the enveloped-data object
// releases no plaintext and fails, if at all, with a library error. A crash, a sanitizer report, any
// other exception or a broken invariant is a finding.
//
// Input: byte 0, bits 0-2: how many of the following bytes give the block sizes (each byte + 1,
// used in turn; none: the message in one block); bit 3: every block is also offered again as a
// repeat; bit 4: the decryptor takes the other-provider road's flag, which keeps the reader
// following the content. The message is the rest.
// Built with clang's libFuzzer (fuzz/envelopedData/CMakeLists.txt) and replayed over the seed corpus
// by the encryption tests of the library under the sanitizers.
#include <vsk/asn1/asn1.h>
#include <vsk/pki/EncryptedData.h>
#include <vsk/pki/EncryptedDataRecipient.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/SessionKey.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>

#include "Pkcs7Encrypted.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Vsk::ASN1::CConstructed;
using Vsk::ASN1::CNode;
using Vsk::ASN1::CSequence;
using Vsk::ASN1::CSet;
using Vsk::PKI::CPKCS7Encrypted;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;

void failCheck(int line) {
    std::fprintf(stderr, "envelopedDataFuzz.cpp:%d: invariant broken\n", line);
    std::abort();
}
#define check(condition) \
    if (!(condition)) failCheck(__LINE__)

std::string text(const CDataBlob& blob) {
    return std::string(reinterpret_cast<const char*>(blob.getData()), blob.getSize());
}

// The children of a node handed out are read when first asked for; a damaged one raises then.
constexpr size_t Unreadable = static_cast<size_t>(-1);
size_t countOf(const CConstructed& node) {
    try {
        return node.getCount();
    } catch (const CError&) {
        return Unreadable;
    }
}

// How the message is cut into blocks.
struct Cut {
    std::vector<size_t> sizes;  // empty: one block
    bool repeat = false;
    bool otherProviderRoad = false;

    template <class Visit>
    void each(const uint8_t* data, size_t size, Visit visit) const {
        if (sizes.empty()) {
            visit(CDataBlob(data, size, true), true);
            return;
        }
        size_t at = 0;
        for (size_t k = 0; at < size; ++k) {
            const size_t n = std::min(sizes[k % sizes.size()], size - at);
            visit(CDataBlob(data + at, n, true), at + n == size);
            at += n;
        }
    }
};

struct Outcome {
    bool failed = false;
    std::string content;
    bool headerRead = false;
    bool contentComplete = false;
    CSet recipients;
    CSequence algorithm;
};

Outcome Read(const uint8_t* data, size_t size, const Cut& cut) {
    Outcome out;
    CPKCS7Encrypted reader;
    size_t given = 0;
    cut.each(data, size, [&](const CDataBlob& block, bool) {
        CError error;
        CSet recipients;
        CSequence algorithm;
        const bool doneBefore = reader.isContentComplete();
        const CDataBlob content = reader.getEncryptedContent(block, &error, &recipients, &algorithm);
        given += block.getSize();
        if (cut.repeat) {
            CError again;
            const CDataBlob repeated = reader.getEncryptedContent(block, &again, nullptr, nullptr, true);
            check(text(repeated) == text(content));
            check(again.isEmpty() == error.isEmpty());
        }
        // A failure sticks and releases nothing more; a finished content releases nothing more.
        if (out.failed) check(!error.isEmpty() && content.getSize() == 0);
        if (doneBefore) check(content.getSize() == 0);
        if (!error.isEmpty()) out.failed = true;
        out.content += text(content);
        check(out.content.size() <= given);
        // Recipients and algorithm, once known, are handed out on every later call.
        if (countOf(out.recipients) != 0) check(countOf(recipients) != 0);
        if (countOf(recipients) != 0) out.recipients = recipients;
        if (countOf(algorithm) != 0) out.algorithm = algorithm;
    });
    out.headerRead = reader.isHeaderRead();
    out.contentComplete = reader.isContentComplete();
    if (out.contentComplete) check(out.headerRead);
    return out;
}

CDataBlob encoded(const CNode& node) {
    try {
        return node.isEmpty() ? CDataBlob() : node.encode();
    } catch (const CError&) {
    } catch (const Vsk::Utils::CExcept&) {
    }
    return CDataBlob();
}

// The key transport of one recipient: parsed, turned into the provider's key blobs, and handed to a
// session key whose settings name no recipient key (which must refuse after parsing it).
void Transport(const CDataBlob& der) {
    CDataBlob encryptedKey, ephemeralKey, mac, ukm, parameters;
    CAString paramSet;
    ALG_ID algId = 0;
    try {
        CPKCS7Encrypted::parseGostR3410KeyTransport(der, encryptedKey, ephemeralKey, mac, ukm, paramSet,
                                                    algId, parameters);
    } catch (const CError&) {
        return;
    }
    check(encryptedKey.getSize() + ephemeralKey.getSize() + mac.getSize() + ukm.getSize() +
              parameters.getSize() <=
          der.getSize());
    try {
        CSequence set;
        set.addItem(Vsk::ASN1::CObjectId(paramSet));
        const CDataBlob simple =
            Vsk::PKI::CSessionKey::CImpl::makeSimpleBlob(encryptedKey, ukm, mac, set.encode());
        check(simple.getSize() >= 60);
    } catch (const CError&) {
        check(encryptedKey.getSize() > 32 || ukm.getSize() > 8 || mac.getSize() > 4);
    }
    const CDataBlob publicBlob =
        Vsk::PKI::CSessionKey::CImpl::makePublicKeyBlob(ephemeralKey, algId, parameters);
    check(publicBlob.getSize() == 16 + parameters.getSize() + ephemeralKey.getSize());
    bool refused = false;
    try {
        Vsk::PKI::CSessionKey key;
        key.DecryptViaGostR3410KeyTransport(der, true, Vsk::PKI::CDecryptSettings());
    } catch (const CError&) {
        refused = true;
    }
    check(refused);
}

// The recipients and the content algorithm as the reader handed them out.
void Recipients(const CSet& recipients, const CSequence& algorithm) {
    try {
        if (algorithm.getCount() > 1) {
            CDataBlob iv;
            CAString paramSet;
            CPKCS7Encrypted::parseGost28147_89Parameters(encoded(*algorithm.getItem(1)), iv, paramSet);
        }
    } catch (const CError&) {
    }
    const size_t count = countOf(recipients);
    for (size_t i = 0; count != Unreadable && i < count; ++i) {
        CNode* info = nullptr;
        try {
            info = recipients.getItem(i);
        } catch (const CError&) {
            continue;
        }
        check(info != nullptr);
        CDataBlob transport;
        bool found = false;
        try {
            Vsk::PKI::CEncryptedDataRecipient recipient;
            recipient.Init(*info, algorithm);
            transport = recipient.get_EncryptedKey();
            found = true;
        } catch (const CError&) {
        }
        // A record that does not read may still carry a transport in its fourth element.
        if (!found) {
            try {
                CConstructed* sequence = Vsk::ASN1::castToConstructed(info);
                if (sequence && sequence->getCount() > 3) {
                    CNode* key = sequence->getItem(3);
                    found = key && key->getClass() == 0 && key->getTag() == 4;
                    if (found) transport = key->getContents().clone();
                }
            } catch (const CError&) {
            }
        }
        if (found) Transport(transport);
    }
}

// The enveloped-data object with no key anywhere: nothing is released, failures are library errors.
void Decrypt(const uint8_t* data, size_t size, const Cut& cut) {
    if (size == 0) return;
    Vsk::PKI::CEncryptedData object;
    Vsk::PKI::CDecryptSettings settings;
    if (cut.otherProviderRoad)
        settings.getImpl()->m_flags |= Vsk::PKI::CDecryptSettings::FlagHSMToCSPOptimization;
    object.DecryptSettings() = settings;
    try {
        object.DecryptStart();
        cut.each(data, size, [&](const CDataBlob& block, bool final) {
            check(object.DecryptBlock(block, final).getSize() == 0);
        });
    } catch (const CError&) {
    }
}

}  // namespace

// Under libFuzzer the developer log writes only with KESTROVAN_FUZZ_LOG set: at the level the first
// failing step raises it to, every input would write dozens of lines to the log file.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::getenv("KESTROVAN_FUZZ_LOG"))
        if (Vsk::InternalUtils::CLog* log = Vsk::InternalUtils::GetLog()) log->setLevel(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Cut cut;
    const size_t count = data[0] & 7;
    cut.repeat = data[0] & 8;
    cut.otherProviderRoad = data[0] & 16;
    if (size < 1 + count) return 0;
    for (size_t i = 0; i < count; ++i) cut.sizes.push_back(size_t{data[1 + i]} + 1);
    data += 1 + count;
    size -= 1 + count;

    const Outcome whole = Read(data, size, Cut{});
    const Outcome pieces = Read(data, size, cut);
    // Where the blocks end may decide how much of the content a failing message released first;
    // whether it fails, and what a sound message holds, may not.
    check(whole.failed == pieces.failed);
    if (!whole.failed) {
        check(whole.content == pieces.content);
        check(whole.headerRead == pieces.headerRead);
        check(whole.contentComplete == pieces.contentComplete);
        check(countOf(whole.recipients) == countOf(pieces.recipients));
        check(text(encoded(whole.algorithm)) == text(encoded(pieces.algorithm)));
    }
    Recipients(pieces.recipients, pieces.algorithm);
    Decrypt(data, size, cut);
    return 0;
}
