// BER reader: whole and lazy reading, data in pieces, indefinite lengths, nested parsing and the
// table of malformed input.
#include "asn1TestUtil.h"

#include <gtest/gtest.h>

#include <vsk/utils/base64.h>

using namespace Vsk::ASN1;
using namespace asn1test;

namespace {

struct DecodeRow {
    const char* input;
    bool parseNested;
    size_t left;
    bool incomplete;
    const char16_t* dump;  // toString(true)
};

const DecodeRow kDecodeRows[] = {
    {"30 03 02 01 05 FF", false, 1, false, u"Sequence (1 items)\r\n\tInteger 0x05"},
    {"30 80 02 01 05 00 00", false, 0, false, u"Sequence (1 items)\r\n\tInteger 0x05"},
    {"30 05 02 01 05", false, 0, true, u"Sequence (1 items)\r\n\tInteger 0x05"},
    {"02 05 01 02", false, 4, true, nullptr},
    {"04 05 01 02", false, 4, true, u"OctetString (4 bytes) 16-base 04 05 01 02"},
    {"04 80 41 42 00 00", false, 0, false, u"OctetString (2 bytes) 16-base 41 42"},
    {"A0 03 04 01 41", true, 0, false,
     u"Context-specific type 0x0 (1 items)\r\n\tOctetString (1 bytes) 16-base 41"},
    {"80 03 04 01 41", true, 0, false,
     u"Context-specific type 0x0 (3 bytes)\r\n\tOctetString (1 bytes) 16-base 41"},
    {"04 04 30 02 05 00", true, 0, false, u"OctetString (4 bytes)\r\n\tSequence (1 items)\r\n\t\tNull "},
    {"04 05 30 02 05 00 00", true, 0, false, u"OctetString (5 bytes) 16-base 30 02 05 00 00"},
    {"03 05 00 30 02 05 00", true, 0, false, u"BitString (32 bits)\r\n\tSequence (1 items)\r\n\t\tNull "},
    // A universal node inside is required: a tagged one stays octets.
    {"04 03 80 01 41", true, 0, false, u"OctetString (3 bytes) 16-base 80 01 41"},
    // Truncated length octets and a declared length far past the input wait for more data.
    {"30 82 01", false, 3, true, nullptr},
    {"02 84 FF FF FF FF", false, 6, true, nullptr},
    {"04 84 FF FF FF FF 41", false, 7, true, nullptr},
    {"04 88 FF FF FF FF FF FF FF FF 41", false, 11, true, nullptr},
    {"30 88 FF FF FF FF FF FF FF FF 05 00", false, 0, true, u"Sequence (1 items)\r\n\tNull "},
    {"30 84 FF FF FF FF 02 01 05", false, 0, true, u"Sequence (1 items)\r\n\tInteger 0x05"},
    // Data that ends inside a child: the child's octets are left for the next call.
    {"30 08 02 01 05 02 03 01", false, 3, true, u"Sequence (1 items)\r\n\tInteger 0x05"},
    {"30 80 02 01 05 02 03 01", false, 3, true, u"Sequence (1 items)\r\n\tInteger 0x05"},
    // Constructed strings read their segments.
    {"36 80 16 01 61 16 02 62 63 00 00", false, 0, false, u"IA5String abc"},
    {"24 80 04 01 61 00 00", false, 0, false, u"OctetString (1 items)\r\n\tOctetString (1 bytes) 16-base 61"},
};

TEST(Asn1Reader, DecodeTable) {
    for (const auto& row : kDecodeRows) {
        SCOPED_TRACE(row.input);
        CNode node;
        size_t left = 0;
        ASSERT_NO_THROW(left = node.decode(hex(row.input), false, row.parseNested));
        EXPECT_EQ(left, row.left);
        EXPECT_EQ(node.isIncomplete(), row.incomplete);
        if (row.dump) {
            EXPECT_EQ(Utf8(u16(node.toString(true))), Utf8(row.dump));
        }
    }
}

TEST(Asn1Reader, IndefiniteNodeKeepsItsRawEncoding) {
    CNode node;
    node.decode(hex("30 80 02 01 05 00 00"));
    EXPECT_TRUE(node.isIndefinite());
    EXPECT_EQ(hexOf(node.getRawEncoding()), "30 80 02 01 05 00 00");
    EXPECT_EQ(hexOf(node.getContents()), "02 01 05");
    EXPECT_EQ(hexOf(node.encode()), "30 80 02 01 05 00 00");
}

TEST(Asn1Reader, WithoutParseNestedNoNestedNode) {
    CNode node;
    node.decode(hex("80 03 04 01 41"), false, false);
    EXPECT_EQ(u16(node.toString(true)).find(u"OctetString"), std::u16string::npos);
}

struct ErrorRow {
    const char* input;
    const char16_t* message;
};

// Every row is refused with its message and none may crash under the sanitizers.
const ErrorRow kMalformedRows[] = {
    {"1F 01 00", u"Не реализовано, не было необходимости. asn1:363."},
    {"30 03 1F 81 00", u"Не реализовано, не было необходимости. asn1:363."},
    {"30 89 01 01 01 01 01 01 01 01 01", u"Long content length field (9 bytes) is Not supported"},
    {"84 FF FF FF FF", u"Long content length field (127 bytes) is Not supported"},
    // A child that runs past its parent's end, while that end lies within the input.
    {"30 03 02 05 01 02 03 04 05", u"Неверный формат ASN.1 типа Integer."},
    {"30 06 02 84 FF FF FF FF", u"Неверный формат ASN.1 типа Integer."},
    {"30 04 30 80 05 00", u"Неверный формат ASN.1 типа Sequence."},
    // The indefinite form on primitive kinds other than OCTET STRING.
    {"02 80 01 00 00", u"Неверный формат ASN.1 типа Integer."},
    {"06 80 2A 00 00", u"Неверный формат ASN.1 типа ObjectId."},
    {"26 80 2A 00 00", u"Неверный формат ASN.1 типа ObjectId."},
    {"13 80 41 00 00", u"Неверный формат ASN.1 типа PrintableString."},
    {"22 80 02 01 05 00 00", u"Неверный формат ASN.1 типа Integer."},
    {"A1 80 81 80 41 00 00 00 00", u"Неверный формат ASN.1 типа Context-specific type 0x1."},
    // Subidentifiers: padded, unterminated, longer than any real arc.
    {"06 03 2A 80 01", u"Неверный формат ASN.1 типа ObjectId."},
    {"06 02 2A 86", u"Неверный формат ASN.1 типа ObjectId."},
    {"06 16 2A FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF 01",
     u"Неверный формат ASN.1 типа ObjectId."},
    {"1E 03 00 41 00", u"Неверный формат ASN.1 типа BMPString."},
    {"01 02 FF FF", u"Неверный формат ASN.1 типа Boolean."},
    {"05 01 00", u"Неверный формат ASN.1 типа Null."},
    {"25 00", u"Неверный формат ASN.1 типа Null."},
    {"03 00", u"Неверный формат ASN.1 типа BitString."},
    {"03 01 01", u"Неверный формат ASN.1 типа BitString."},
    {"03 02 08 00", u"Неверный формат ASN.1 типа BitString."},
    {"30 04 04 80 41 42", u"Неверный формат ASN.1 типа Sequence."},
    {"17 05 41 42 43 44 5A", u"Invalid UTC time format: ABCDZ"},
    {"17 0D 39 39 31 33 33 31 32 33 35 39 35 39 5A", u"Invalid UTC time: 991331235959Z"},
    {"", u"Отсутствуют данные для декодирования"},
};

TEST(Asn1Reader, MalformedInputTable) {
    for (const auto& row : kMalformedRows) {
        SCOPED_TRACE(row.input);
        CNode node;
        EXPECT_EQ(Utf8(errorOf([&] { node.decode(hex(row.input), false, true); })), Utf8(row.message));
    }
}

TEST(Asn1Reader, ErrorsOfHandlesWithAKind) {
    COctetString octets{CDataBlob()};
    EXPECT_EQ(Utf8(errorOf([&] { octets.decode(hex("02 01 05")); })),
              Utf8(u"Тип данных объекта 0x4 OctetString не соответствует считанному типу данных 0x2"));
    CSequence sequence;
    EXPECT_EQ(Utf8(errorOf([&] { sequence.decode(hex("1F 01 00")); })), "Long type length is Not supported");
    CNode empty;
    EXPECT_EQ(Utf8(errorOf([&] { empty.decode(CDataBlob(), true, false); })),
              Utf8(u"Отсутствуют данные для декодирования"));
}

// Hostile nesting ends in a format error at the depth limit, whatever form it takes.
TEST(Asn1Reader, NestingDepthIsLimited) {
    const std::u16string depthError = u"Превышена допустимая глубина вложенности ASN.1 (64).";
    struct Row {
        const char* unit;
        bool parseNested;
    };
    for (const Row& row :
         {Row{"30 80", false}, Row{"24 80", false}, Row{"36 80", false}, Row{"A0 80", true}}) {
        SCOPED_TRACE(row.unit);
        std::string text;
        for (int i = 0; i < 10000; ++i) text += row.unit;
        CNode node;
        EXPECT_EQ(Utf8(errorOf([&] { node.decode(hex(text), false, row.parseNested); })), Utf8(depthError));
    }

    // Definite lengths are parsed level by level on use; the limit holds there too.
    std::string deep = "05 00";
    for (int i = 0; i < 100; ++i) {
        size_t len = hex(deep).getSize();
        char head[16];
        snprintf(head, sizeof head,
                 len < 128   ? "30 %02zX "
                 : len < 256 ? "30 81 %02zX "
                             : "30 82 %04zX ",
                 len);
        deep = head + deep;
    }
    CSequence top;
    top.decode(hex(deep));
    EXPECT_EQ(Utf8(errorOf([&] {
                  CNode* n = &top;
                  while (auto* c = castToConstructed(n)) n = c->getItem(0);
              })),
              Utf8(depthError));

    // Octet strings that embed each other: nested parsing stops quietly at the limit.
    std::string wrapped = "05 00";
    for (int i = 0; i < 100; ++i) {
        size_t len = hex(wrapped).getSize();
        char head[16];
        snprintf(head, sizeof head,
                 len < 128   ? "04 %02zX "
                 : len < 256 ? "04 81 %02zX "
                             : "04 82 %04zX ",
                 len);
        wrapped = head + wrapped;
    }
    CNode octets;
    EXPECT_NO_THROW(octets.decode(hex(wrapped), false, true));
    EXPECT_EQ(hexOf(octets.encode()), hexOf(hex(wrapped)));
}

// A malformed child of a complete node is an error on first use, not a shorter list of children.
TEST(Asn1Reader, LazyAndWholeReadingAgree) {
    CSequence top;
    top.decode(hex("30 05 30 03 02 05 01"));
    auto* outer = castToSequence(&top);
    ASSERT_NE(outer, nullptr);
    EXPECT_EQ(Utf8(errorOf([&] { outer->getItem(0); })), Utf8(u"Неверный формат ASN.1 типа Integer."));

    // Read at once as a nested value, the same bytes are refused: the octets stay octets.
    CNode wrapped;
    wrapped.decode(hex("04 07 30 05 30 03 02 05 01"), false, true);
    EXPECT_EQ(u16(wrapped.toString(true)).find(u"Sequence"), std::u16string::npos);

    // Valid input gives the same tree read lazily and read whole.
    const char* good = "30 0E 30 06 02 01 01 01 01 FF 31 04 0C 02 41 42";
    CNode lazy;
    lazy.decode(hex(good));
    CNode whole;
    whole.decode(hex(std::string("04 10 ") + good), false, true);
    std::u16string wholeText = u16(whole.toString(true));
    std::u16string lazyText = u16(lazy.toString(true));
    std::u16string indented;
    for (char16_t ch : lazyText) {
        indented += ch;
        if (ch == u'\n') indented += u'\t';
    }
    EXPECT_EQ(Utf8(wholeText), Utf8(u"OctetString (16 bytes)\r\n\t" + indented));
}

// Every split point of a message: the prefix never throws, leaves at most what it was given, and
// the whole message then reads to the same tree.
TEST(Asn1Reader, DataInPiecesGivesTheSameTree) {
    const CDataBlob message =
        hex("30 80 30 0A 06 03 2A 03 04 04 03 41 42 43 24 80 04 02 01 02 04 01 03 00 00 "
            "A0 05 02 03 01 00 01 0C 02 41 42 00 00");
    CNode reference;
    ASSERT_EQ(reference.decode(message), 0u);
    const std::u16string expected = u16(reference.toString(true));
    for (size_t k = 1; k < message.getSize(); ++k) {
        SCOPED_TRACE(k);
        CNode partial;
        size_t left = 0;
        ASSERT_NO_THROW(left = partial.decode(message.getBlock(0, k)));
        EXPECT_LE(left, k);
        EXPECT_TRUE(partial.isIncomplete() || left == k);
        ASSERT_NO_THROW(partial.toString(true));
        CNode again;
        EXPECT_EQ(again.decode(message), 0u);
        EXPECT_EQ(Utf8(u16(again.toString(true))), Utf8(expected));
    }
}

// A decode that fails leaves nothing behind for the next one.
TEST(Asn1Reader, EveryReadStartsClean) {
    CSequence sequence;
    VskTest::Thrown([&] { sequence.decode(hex("30 06 02 01 01 05 01 00")); });
    sequence.decode(hex("30 03 02 01 07"));
    EXPECT_EQ(sequence.getCount(), 1u);

    CObjectId oid;
    VskTest::Thrown([&] { oid.decode(hex("06 03 2A 80 01")); });
    oid.decode(hex("06 01 2A"));
    EXPECT_EQ(oid.getValue().toStd(), "1.2");
}

// Base64 of Base64: the once-decoded text fails to read as a tree (its second child crosses the
// first's end), so it is decoded once more, into a fresh node.
TEST(Asn1Reader, Base64InputIsDecodedOnceMoreOnFailure) {
    CDataBlob der = hex("A3 40 04 3E" + std::string(62 * 2, '0'));
    CDataBlob once(Vsk::Utils::Base64Enc(der, 0));
    CDataBlob twice(Vsk::Utils::Base64Enc(once, 0));
    CNode node;
    EXPECT_EQ(node.decode(twice, true, false), 0u);
    EXPECT_EQ(hexOf(node.encode()), hexOf(der));

    CNode pem;
    std::string text = "-----BEGIN X-----\r\n" + Vsk::Utils::Base64Enc(hex("30 03 02 01 05"), 0).toStd() +
                       "\r\n-----END X-----\r\n";
    EXPECT_EQ(pem.decode(CDataBlob(text.data(), text.size(), true), true, false), 0u);
    EXPECT_EQ(hexOf(pem.encode()), "30 03 02 01 05");
}

}  // namespace
