// The common and the certificate-verification option objects.
#include <vsk/pki/Settings.h>
#include <vsk/utils/error.h>

#include <gtest/gtest.h>

#include "testSupport.h"

using Vsk::PKI::CCertVerifySettings;
using Vsk::PKI::CCommonSettings;
using Vsk::Utils::CWString;

namespace {

std::u16string text(const CWString& s) {
    return s.toU16();
}

TEST(CertVerifySettings, DefaultsAndTheirText) {
    CCertVerifySettings settings;
    EXPECT_EQ(settings.get_RevocationFlag(), 2);
    EXPECT_EQ(settings.get_RevocationMode(), 3);
    EXPECT_EQ(settings.get_UrlRetrievalTimeout(), 5000u);
    EXPECT_EQ(settings.get_VerifyFlags(), 0);
    EXPECT_EQ(text(settings.getText()),
              u"RevocationFlag=\"все сертификаты цепочки за исключением корневого сертификата\", "
              u"RevocationMode=\"только по локальному СОС\", UrlRetrievalTimeout=5000, VerifyFlags=0");
}

TEST(CertVerifySettings, StoresAnyValueAndUnknownValuesHaveEmptyTexts) {
    CCertVerifySettings settings;
    settings.put_RevocationFlag(1);
    settings.put_RevocationMode(7);
    settings.put_UrlRetrievalTimeout(0);
    settings.put_VerifyFlags(63);
    EXPECT_EQ(settings.get_RevocationMode(), 7);
    EXPECT_EQ(text(settings.getText()),
              u"RevocationFlag=\"только пользовательский сертификат\", RevocationMode=\"\", "
              u"UrlRetrievalTimeout=0, VerifyFlags=63");
}

TEST(CertVerifySettings, CopiesShareAndEmptyHandlesRaiseExceptForTheText) {
    CCertVerifySettings original;
    CCertVerifySettings shared(&original);
    shared.put_VerifyFlags(5);
    EXPECT_EQ(original.get_VerifyFlags(), 5);

    CCertVerifySettings empty(static_cast<const CCertVerifySettings*>(nullptr));
    EXPECT_TRUE(empty.isNull());
    EXPECT_EQ(empty.getText().getLength(), 0u);
    const auto e = VskTest::Thrown([&] { empty.get_RevocationFlag(); });
    EXPECT_EQ(text(e.getText()), u"Объект class Vsk::PKI::CCertVerifySettings::CImpl не был создан!");
    EXPECT_THROW(CCertVerifySettings{&empty}, Vsk::Utils::CError);
}

TEST(CommonSettings, SilentIsBit0x20AndSharedByCopies) {
    CCommonSettings settings;
    CCommonSettings copy = settings;
    settings.getImpl()->m_flags = 0x101;
    settings.put_Silent(true);
    settings.put_Silent(true);
    EXPECT_TRUE(copy.get_Silent());
    EXPECT_EQ(settings.getImpl()->m_flags, 0x121u);
    copy.put_Silent(false);
    EXPECT_FALSE(settings.get_Silent());
    EXPECT_EQ(settings.getImpl()->m_flags, 0x101u);
    EXPECT_EQ(settings.get_Progress(), nullptr);

    CCommonSettings empty(false);
    EXPECT_THROW(empty.get_Silent(), Vsk::Utils::CError);
}

}  // namespace
