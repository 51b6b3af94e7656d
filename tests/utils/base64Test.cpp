// Base64: encoder layout and flags, recognition of Base64 text in its encodings, decoding.
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <string>
#include <vector>

using namespace Vsk::Utils;

namespace {

CDataBlob bytes(const std::string& s) {
    return CDataBlob(s.data(), s.size(), true);
}
std::string str(const CDataBlob& b) {
    return std::string(reinterpret_cast<const char*>(b.getData()), b.getSize());
}

// The same text as UTF-16 little-endian with its byte-order mark.
std::string utf16le(const std::string& s) {
    std::string out = "\xFF\xFE";
    for (char c : s) {
        out += c;
        out += '\0';
    }
    return out;
}

TEST(Base64, EncoderLayout) {
    struct Row {
        size_t size;
        int flags;
        std::string expectedTail;
        size_t expectedLength;
    };
    const Row rows[] = {
        {57, 0, "\r\n", 78},  // 76 characters and a line break
        {58, 0, "AA==", 82},  // then the rest on the next line
        {56, 0, "AAA=", 76},  // one line without a break
        {57, Base64NoLineBreaks, "AAAA", 76},
        {1, Base64NoPadding | Base64NoLineBreaks, "AA", 2},
        {2, 0, "AAA=", 4},
    };
    for (const auto& row : rows) {
        std::string text = Base64Enc(bytes(std::string(row.size, '\0')), row.flags).toStd();
        EXPECT_EQ(text.size(), row.expectedLength) << row.size;
        EXPECT_EQ(text.substr(text.size() - row.expectedTail.size()), row.expectedTail) << row.size;
    }
    EXPECT_EQ(Base64Enc(CDataBlob(), 0).toStd(), "");
    EXPECT_EQ(Base64Enc(bytes("Man"), 0).toStd(), "TWFu");
    EXPECT_EQ(str(Base64Dec(bytes("TWFu"))), "Man");
}

TEST(Base64, WideTextForms) {
    for (size_t size : {0, 1, 2, 56, 57, 58, 200}) {
        CDataBlob data = bytes(std::string(size, '\xFB'));
        std::string lines = Base64Enc(data, 0).toStd();
        EXPECT_EQ(Base64EncW(data, 0).toU16(), std::u16string(lines.begin(), lines.end())) << size;
        std::string oneLine = Base64Enc(data, Base64NoLineBreaks).toStd();
        std::u16string wide = Base64EncNoCrlfW(data).toU16();
        EXPECT_EQ(wide, std::u16string(oneLine.begin(), oneLine.end())) << size;
        EXPECT_EQ(wide.find(u'\n'), std::u16string::npos) << size;
        EXPECT_EQ(wide.size() % 4, 0u) << size;  // padded
    }
    EXPECT_EQ(Base64EncNoCrlfW(bytes("\xFB\xFF")).toU16(), u"+/8=");
}

// The unchecked decoder traces at level 4 with the input size and shows the output size as the
// result of its scope; below level 4 it writes nothing.
TEST(Base64, ClearDecodingTrace) {
    auto* log = Vsk::InternalUtils::GetLog();
    const int saved = log->getLevel();
    std::vector<std::u16string> lines;
    log->setSink([&](const CWString& line) { lines.push_back(line.toU16()); });
    for (int level : {3, 4}) {
        lines.clear();
        log->setLevel(level);
        EXPECT_EQ(str(ClearBase64Dec(bytes("TW\r\nFu"))), "Man");
        if (level == 3) {
            EXPECT_TRUE(lines.empty());
            continue;
        }
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].rfind(u"-> Utils::ClearBase64Dec(size=6)", 0), 0u);
        EXPECT_EQ(lines[1].rfind(u"Utils::ClearBase64Dec -> size=3 ", 0), 0u);
    }
    log->setSink(nullptr);
    log->setLevel(saved);
}

TEST(Base64, RoundTripOfEveryLength) {
    std::string data;
    for (int i = 0; i < 300; ++i) {
        for (int flags = 0; flags < 4; ++flags) {
            CDataBlob text(Base64Enc(bytes(data), flags));
            EXPECT_EQ(str(ClearBase64Dec(text)), data) << i << " " << flags;
            if (i) {
                EXPECT_EQ(str(Base64Dec(text)), data) << i << " " << flags;
            }
        }
        data += static_cast<char>(i * 37 + 11);
    }
}

TEST(Base64, Recognition) {
    const std::string der = std::string("\x30\x03\x02\x01\x05", 5);
    const std::string pem = "-----BEGIN CERTIFICATE-----\r\n" + Base64Enc(bytes(der), 0).toStd() +
                            "\r\n-----END CERTIFICATE-----\r\n";
    struct Row {
        std::string input;
        bool isBase64;
        const char* decoded;  // null: no decoding to check
    };
    const Row rows[] = {
        {pem, true, "\x30\x03\x02\x01\x05"},
        {utf16le(pem), true, "\x30\x03\x02\x01\x05"},
        {"\xEF\xBB\xBF" + pem, true, "\x30\x03\x02\x01\x05"},
        {pem + "\r\n\r\n", true, "\x30\x03\x02\x01\x05"},
        {pem + "QQ==\r\n", false, nullptr},
        {der, false, nullptr},
        {"\xFF\xFE", false, nullptr},
        {"", false, nullptr},
        // Text without a single payload character is not Base64.
        {"\r\n \t==\r\n", false, nullptr},
        {"-----BEGIN X-----\r\n-----END X-----\r\n", false, nullptr},
        {"QQ", true, "A"},
        {"Q", true, nullptr},
        {"TW Fu\r\n", true, "Man"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(IsBase64(bytes(row.input), nullptr), row.isBase64);
        if (row.decoded) {
            CDataBlob out;
            EXPECT_TRUE(IsBase64(bytes(row.input), &out));
            EXPECT_EQ(str(out), row.decoded);
        }
    }
    // One alphabet character is Base64 text that decodes to nothing.
    CDataBlob out;
    EXPECT_FALSE(IsBase64(bytes("Q"), &out));
    EXPECT_EQ(out.getSize(), 0u);
}

TEST(Base64, CheckedDecodingAndDisplayText) {
    EXPECT_EQ(Base64Dec(CDataBlob()).getSize(), 0u);
    const auto e = VskTest::Thrown([&] { Base64Dec(bytes(std::string("\x30\x82", 2))); });
    EXPECT_EQ(e.getMessage().toU16().substr(0, 46),
              std::u16string(u"Данные не являются корректно Base64 кодированными").substr(0, 46));
    EXPECT_EQ(ToBase64Text(bytes("Q")).toU16(), u"Q");
    EXPECT_EQ(ToBase64Text(bytes(std::string("\x30\x82", 2))).toU16(), u"MII=");
    EXPECT_EQ(ToBase64Text(bytes(utf16le("QUJD").substr(2))).toU16(), u"QUJD");
}

}  // namespace
