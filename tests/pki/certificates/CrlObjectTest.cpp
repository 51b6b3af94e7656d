// The CRL object: loading, the issuer text, the update and next-publish times and the revocation
// test (the viewer: ShowDialogTest.cpp).
#include "storeFixtures.h"
#include "testSupport.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/Crl.h>
#include <vsk/pki/CryptError.h>
#include <vsk/utils/base64.h>

#include <gtest/gtest.h>

#include "testSupport.h"

#include <functional>
#include <memory>
#include <string>

using Vsk::PKI::CCertificate;
using Vsk::PKI::CCrl;
using Vsk::PKI::CCryptError;
using Vsk::Utils::CDataBlob;

namespace {

// 2030-01-01 00:00:00 UTC, the next-publish time of the fixture's extension.
constexpr uint64_t NextPublish2030 = 135379296000000000ull;

DWORD stepOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const CCryptError& e) {
        return e.getErrorNumber();
    }
    return 0;
}

CCertificate certificate(const CDataBlob& der) {
    CCertificate cert(true);
    cert.LoadFromBlob(der);
    return cert;
}

class CrlObject : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StoreFixtures::get().ok) << StoreFixtures::readFile("cmd.log"); }
    const StoreFixtures::Set& fx = StoreFixtures::get();
};

TEST_F(CrlObject, LoadsIssuerTimesAndNextPublish) {
    CCrl crl;
    crl.LoadFromBlob(fx.crl);
    ASSERT_NE(crl.get_CrlContext(), nullptr);
    // The issuer is encoded C, O, CN and reads CN first.
    EXPECT_EQ(crl.get_IssuerName().toU16(), u"CN=Fixture GOST Root, O=Fixture GOST, C=RU");
    EXPECT_EQ(crl.get_Issuer()->getCount(), 3u);
    EXPECT_NE(crl.get_ThisUpdate(), 0u);
    EXPECT_GT(crl.get_NextUpdate(), crl.get_ThisUpdate());
    EXPECT_EQ(crl.get_NextPublish(), 0u);

    crl.LoadFromBlob(fx.crlNextPublish);
    EXPECT_EQ(crl.get_NextPublish(), NextPublish2030);

    CCrl fromContext;
    fromContext.put_CrlContext(crl.get_CrlContext());
    EXPECT_NE(fromContext.get_CrlContext(), nullptr);
    EXPECT_EQ(fromContext.get_NextPublish(), NextPublish2030);
    EXPECT_EQ(fromContext.get_ThisUpdate(), crl.get_ThisUpdate());
    fromContext.put_CrlContext(nullptr);
    EXPECT_EQ(fromContext.get_CrlContext(), nullptr);
}

TEST_F(CrlObject, FailedLoadsLeaveTheObjectEmpty) {
    const CDataBlob base64Text(Vsk::Utils::Base64Enc(fx.crl, 0));
    struct Row {
        CDataBlob input;
        DWORD step;
    };
    const Row rows[] = {{fx.crlBadNextPublish, 140203}, {base64Text, 140302}, {CDataBlob(), 140301}};
    for (const Row& row : rows) {
        CCrl crl;
        crl.LoadFromBlob(fx.crl);
        EXPECT_EQ(stepOf([&] { crl.LoadFromBlob(row.input); }), row.step);
        EXPECT_EQ(crl.get_CrlContext(), nullptr);
        EXPECT_EQ(crl.get_IssuerName().getLength(), 0u);
        EXPECT_EQ(crl.get_ThisUpdate(), 0u);
        EXPECT_EQ(crl.get_NextPublish(), 0u);
    }
}

TEST_F(CrlObject, EmptyObjectAndEmptyHandle) {
    CCrl crl;
    EXPECT_EQ(crl.get_ThisUpdate(), 0u);
    EXPECT_EQ(crl.get_NextUpdate(), 0u);
    EXPECT_EQ(stepOf([&] { crl.isRevoked(certificate(fx.gostRevoked)); }), 140201u);
    EXPECT_EQ(stepOf([&] { crl.ShowDialog(nullptr, nullptr); }), 140501u);

    CCrl none(false);
    const auto e = VskTest::Thrown([&] { none.get_ThisUpdate(); });
    EXPECT_EQ(e.getText().toU16(), u"Объект class Vsk::PKI::CCrl::CImpl не был создан!");
}

// A serial number listed by one authority says nothing about another authority's certificate with
// the same serial number.
TEST_F(CrlObject, RevokedOnlyForTheListedSerialOfTheSameIssuer) {
    CCrl crl;
    crl.LoadFromBlob(fx.crl);
    EXPECT_TRUE(crl.isRevoked(certificate(fx.gostRevoked)));
    EXPECT_FALSE(crl.isRevoked(certificate(fx.gost256User)));
    EXPECT_EQ(certificate(fx.otherIssuerSameSerial).get_SerialNumber().toU16(),
              certificate(fx.gostRevoked).get_SerialNumber().toU16());
    EXPECT_FALSE(crl.isRevoked(certificate(fx.otherIssuerSameSerial)));
    try {
        crl.isRevoked(CCertificate(true));
        FAIL() << "no error";
    } catch (const CCryptError& e) {
        // E_INVALIDARG, kept as its Win32 part.
        EXPECT_EQ(e.getCode(), 87);
    }
}

}  // namespace

// Implementation objects are counted and logged at log level 5 only: an object made below it leaves
// the count alone.
TEST(LiveObjectCount, KeptAtLevelFiveOnly) {
    struct Kind {
        const char16_t* made;
        std::function<std::function<void()>()> make;  // makes one object; the result drops it
    };
    const Kind kinds[] = {
        {u" PKI::CCrl::CImpl::CImpl ",
         [] {
             auto held = std::make_shared<CCrl>(true);
             return [held]() mutable { held.reset(); };
         }},
        {u" PKI::CCertificate::CImpl::CImpl ",
         [] {
             auto held = std::make_shared<CCertificate>(true);
             return [held]() mutable { held.reset(); };
         }},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(VskTest::Utf8(kind.made));
        // The count that a level-5 line ends with.
        const auto lastCount = [&](const VskTest::LogCapture& capture) {
            for (const std::u16string& line : capture.lines()) {
                const size_t at = line.find(kind.made);
                if (at != std::u16string::npos)
                    return std::stoi(VskTest::Utf8(line.substr(at + std::u16string(kind.made).size())));
            }
            return -1;
        };
        int first = 0;
        std::function<void()> dropFirst, dropQuiet, dropSecond;
        {
            VskTest::LogCapture capture(5);
            dropFirst = kind.make();
            first = lastCount(capture);
            ASSERT_GT(first, 0);
        }
        {
            VskTest::LogCapture capture(4);
            dropQuiet = kind.make();
            EXPECT_FALSE(capture.any(kind.made));
        }
        {
            VskTest::LogCapture capture(5);
            dropSecond = kind.make();
            EXPECT_EQ(lastCount(capture), first + 1);
            dropSecond();
            dropFirst();
        }
        VskTest::LogCapture quiet(4);
        dropQuiet();
    }
}
