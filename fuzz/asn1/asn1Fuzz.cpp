// Fuzz entry for the ASN.1 reader and Base64: the first input byte picks what is exercised, the
// rest is the data. Built with clang's libFuzzer (fuzz/asn1/CMakeLists.txt) and replayed over the
// seed corpus by the ASN.1 tests under the sanitizers.
#include "asn1Impl.h"

#include <vsk/asn1.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace Vsk::ASN1;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;

namespace {

// Breaks the run on a broken invariant; abort gives libFuzzer the input.
void failCheck(int line) {
    std::fprintf(stderr, "asn1Fuzz.cpp:%d: invariant broken\n", line);
    std::abort();
}
#define check(condition) \
    if (!(condition)) failCheck(__LINE__)

void visit(CNode* node, unsigned depth) {
    node->getContents();
    node->getLabel();
    node->getEndOfContents();
    VARIANT v;
    try {
        node->toVariant(&v);
        VariantClear(&v);
    } catch (const CError&) {
    }
    if (auto* c = castToConstructed(node)) {
        for (size_t i = 0; i < c->getCount(); ++i) {
            try {
                visit(c->getItem(i), depth + 1);
            } catch (const CError&) {
                // A malformed child of a lazily read node.
            }
        }
    }
}

void decodeAndWalk(const CDataBlob& data, bool mayBeBase64, bool parseNested) {
    CNode node;
    size_t left = node.decode(data, mayBeBase64, parseNested);
    check(left <= data.getSize() || mayBeBase64);
    bool constructed = true;
    try {
        CConstructed(node.getImpl()).getCount();
    } catch (const CError&) {
        constructed = false;
    }
    CDataBlob encoded = node.encode();
    // Unchanged, a constructed tree writes exactly the octets it was read from.
    if (constructed) check(encoded == node.getRawEncoding());
    CWString text;
    bool complete = !node.isIncomplete() && (left < data.getSize() || mayBeBase64);
    try {
        text = node.toString(true);
        visit(&node, 0);
        node.find(CWString(u"0x0"), FindForward);
        node.find(CWString(u"items"), 0);
    } catch (const CError&) {
        return;
    }
    if (complete && !mayBeBase64) {
        CNode again;
        check(again.decode(encoded, false, parseNested) == 0);
        check(again.toString(true) == text);
    }
    // Rebuilt from its parts, the tree must still read back.
    if (constructed && complete) {
        CConstructed tree(node.getImpl());
        if (tree.getCount()) {
            tree.setItem(0, *tree.getItem(0));
            CDataBlob rebuilt = node.encode();
            CNode again;
            again.decode(rebuilt, false, parseNested);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = bytes[0];
    CDataBlob data(bytes + 1, size - 1, true);
    try {
        switch (mode % 6) {
            case 0:
                decodeAndWalk(data, false, true);
                break;
            case 1:
                decodeAndWalk(data, false, false);
                break;
            case 2:
                decodeAndWalk(data, true, true);
                break;
            case 3: {
                CDataBlob decoded;
                if (Vsk::Utils::IsBase64(data, &decoded)) Vsk::Utils::IsBase64(data, nullptr);
                Vsk::Utils::ClearBase64Dec(data);
                CDataBlob back = Vsk::Utils::Base64Dec(CDataBlob(Vsk::Utils::Base64Enc(data, mode >> 4)));
                check(back == data);
                Vsk::Utils::ToBase64Text(data);
                break;
            }
            case 4: {
                std::string text(reinterpret_cast<const char*>(data.getData()), data.getSize());
                try {
                    CObjectId oid{CAString(text)};
                    CObjectId back;
                    back.decode(oid.encode());
                    if (oid.getValue().toStd().find('.') != std::string::npos)
                        check(back.getValue() == oid.getValue());
                } catch (const CError&) {
                }
                parseUTCTime(CAString(text));
                break;
            }
            case 5: {
                // Data in pieces: a prefix first, then the whole input into a new tree.
                size_t split = data.getSize() ? (mode >> 3) % data.getSize() : 0;
                CNode partial;
                if (split) {
                    size_t left = partial.decode(data.getBlock(0, split));
                    check(left <= split);
                    partial.toString(true);
                }
                decodeAndWalk(data, false, false);
                break;
            }
        }
    } catch (const CError&) {
    }
    return 0;
}
