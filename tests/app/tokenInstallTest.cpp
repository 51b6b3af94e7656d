// The main road on a token in the window: the GOST test token, loaded as a configured PKCS#11 library,
// is picked in the provider selector, its key containers are listed, and the certificate it holds is
// installed into "MY" by the install-from-containers command.
#include "containerFixtures.h"
#include "gostTokenControl.h"
#include "gostTokenSigner.h"
#include "tokenFixtures.h"

#include <vsk/pkcs11/Token.h>
#include <vsk/pki/Store.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/platform/cert.h>
#include <vsk/utils/global.h>

#include <QComboBox>

using namespace AppTest;
using namespace ContainerFixtures;
using Vsk::PKI::CCertificate;
using Vsk::PKI::CStore;

namespace {

const QString TokenText = QStringLiteral(u"Test Reader 0 - GT-1 - 0001");

class TokenInstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_library.start(m_module, "slot0.description = Test Reader 0\ntoken0.model = GT-1\n"
                                              "token0.serial = 0001\n"));
        m_signer = VskTest::PutSignerOnToken(m_module, "token signer");
        m_module.addKeyPair(0, "bare key");
    }

    void TearDown() override { m_library.stop(); }

    FreshRoot m_root;
    MessageRecorder m_messages;
    FakeProvidersGuard m_providers{"[provider]\ntype = 80\nname = GOST 80\n"};
    VskTest::GostTokenModule m_module{VSK_GOST_TOKEN_PATH};
    VskTest::TokenSigner m_signer;
    GostTokenLibrary m_library;
};

// Picking the token lists its containers; its certificate goes into "MY" from the window, without
// key-provider information, and finds its private key on the token from there.
TEST_F(TokenInstallTest, TokenCertificateIsInstalledIntoMyFromTheWindow) {
    SetOptions(OPTION_NO_START_CHECK);
    auto window = ShowWindow();
    ASSERT_TRUE(WaitForInit(*window));
    ShowContainers(*window);
    const int token = window->providerSelector()->findText(TokenText);
    ASSERT_GE(token, 0);
    if (window->providerSelector()->currentIndex() != token) PickProvider(*window, token);
    APP_WAIT_TRUE(FindRow(*window, u"token signer") != nullptr);
    EXPECT_NE(FindRow(*window, u"bare key"), nullptr);
    EXPECT_EQ(window->list()->topLevelItemCount(), 2);
    m_messages.clear();

    SelectRows(*window, {u"token signer"});
    window->runCommand(CMD_CERT_FROM_KEY_CONT);
    const std::vector<Message> messages = m_messages.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, u"Установка сертификата из ключевого контейнера");
    EXPECT_EQ(
        messages[0].text,
        u"Сертификат \"Token Signer\" был успешно установлен из ключевого контейнера \"token signer\"!");

    Vsk::Utils::CDataBlob der(m_signer.certificate.size());
    std::copy(m_signer.certificate.begin(), m_signer.certificate.end(), der.getData());
    CStore my;
    my.Open(StoreMY, STORE_LOCATION_USER);
    const CCertificate stored = my.FindCertificate(load(der));
    ASSERT_FALSE(stored.isNull());
    DWORD size = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(stored.get_CertContext(), CERT_KEY_PROV_INFO_PROP_ID,
                                                   nullptr, &size));
    EXPECT_TRUE(stored.get_HasPrivateKey(true));

    // A container without a certificate says so.
    m_messages.clear();
    SelectRows(*window, {u"bare key"});
    window->runCommand(CMD_CERT_FROM_KEY_CONT);
    const std::vector<Message> refused = m_messages.messages();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].text.find(u"В ключевом контейнере \"bare key\" отсутствует сертификат!"),
              std::u16string::npos);
}

}  // namespace
