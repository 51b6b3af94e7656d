// Tokens presented as providers in the window: the GOST test token, loaded as a configured PKCS#11
// library, in the provider selector with its key containers; its removal and insertion reaching the
// window once each; the settings dialog's token switch taking it out and bringing it back, stored.
#include "containerFixtures.h"
#include "gostTokenControl.h"
#include "propertiesFixtures.h"
#include "settingsDlg.h"
#include "tokenFixtures.h"

#include <vsk/pkcs11/Token.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/platform/windowMessages.h>
#include <vsk/utils/global.h>
#include <vsk/utils/registry.h>

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>

using namespace AppTest;
using namespace ContainerFixtures;

namespace {

// A token is shown by its name alone, without a type.
const QString TokenText = QStringLiteral(u"Test Reader 0 - GT-1 - 0001");

int TokenIndex(CKestrovanDlg& window) {
    return window.providerSelector()->findText(TokenText);
}

// Counts the token notifications a window receives.
class RefreshCounter : public QObject {
public:
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == WindowMessageEvent::eventType() &&
            static_cast<WindowMessageEvent*>(event)->message() == WM_TOKEN_REFRESH)
            ++count;
        return false;
    }
};

class TokenProvidersTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_library.start(m_module, "slot0.description = Test Reader 0\ntoken0.model = GT-1\n"
                                              "token0.serial = 0001\ntoken0.mechanisms = 0x1200, 0x1201, "
                                              "0x1210\n"));
        m_module.addKeyPair(0, "first key");
        m_module.addKeyPair(0, "second key");
    }

    void TearDown() override { m_library.stop(); }

    std::unique_ptr<CKestrovanDlg> open() {
        SetOptions(OPTION_NO_START_CHECK);
        auto window = ShowWindow();
        EXPECT_TRUE(WaitForInit(*window));
        m_messages.clear();
        return window;
    }

    static bool tokenInCatalogue() {
        for (const auto& provider : Vsk::PKI::GetCatalogueProviders())
            if (provider->isToken()) return true;
        return false;
    }

    FreshRoot m_root;
    MessageRecorder m_messages;
    FakeProvidersGuard m_providers{"[provider]\ntype = 80\nname = GOST 80\n"};
    VskTest::GostTokenModule m_module{VSK_GOST_TOKEN_PATH};
    GostTokenLibrary m_library;
};

// The selector offers the token with its key containers; a removal takes it out of the selector and
// an insertion brings it back, each reaching the window as one notification.
TEST_F(TokenProvidersTest, SelectorFollowsTheTokenAndEachChangeArrivesOnce) {
    auto window = open();
    RefreshCounter counter;
    window->installEventFilter(&counter);
    ShowContainers(*window);
    const int token = TokenIndex(*window);
    ASSERT_GE(token, 0);
    EXPECT_EQ(ProviderOfType(*window, 0), -1);  // no type in its text
    EXPECT_GE(ProviderOfType(*window, GostType), 0);
    ASSERT_EQ(m_module.setPresent(0, false), CKR_OK);
    APP_WAIT_EQ(TokenIndex(*window), -1);
    EXPECT_GE(ProviderOfType(*window, GostType), 0);
    EXPECT_FALSE(tokenInCatalogue());

    ASSERT_EQ(m_module.setPresent(0, true), CKR_OK);
    APP_WAIT_TRUE(TokenIndex(*window) >= 0);
    // A late second notification would arrive meanwhile.
    QTest::qWait(200);
    EXPECT_EQ(counter.count, 2);
    EXPECT_TRUE(m_messages.messages().empty());
    window->removeEventFilter(&counter);
}

// The settings dialog's token switch takes the token out and brings it back, and stores bit 0 of the
// library's switch word.
TEST_F(TokenProvidersTest, SettingsSwitchTakesTheTokenOutAndBackAndIsStored) {
    auto window = open();
    const auto stored = [] {
        const Vsk::Utils::CDataBlob value = Vsk::InternalUtils::regReadValue(
            u"Software\\Voskel\\HelvorCom\\Settings", u"flags", HKEY_CURRENT_USER);
        bool ok = false;
        const uint32_t word = value.getSize() != 0 ? value.toUInt32(&ok) : 0;
        return ok ? static_cast<int>(word & 1) : -1;
    };
    for (const bool on : {false, true}) {
        SCOPED_TRACE(on);
        bool answered = false;
        PropertiesFixtures::WithModalDialogs(
            [&] { window->runCommand(CMD_SETS); },
            [&](QWidget* shown) {
                auto* dialog = dynamic_cast<CSetsDlg*>(shown);
                if (!dialog || answered) return;
                answered = true;
                auto* box = dialog->findChild<QCheckBox*>(QStringLiteral("id_%1").arg(IDC_SETS_TOKEN_AS_CSP));
                ASSERT_TRUE(box);
                EXPECT_EQ(box->isChecked(), !on);
                box->setChecked(on);
                dialog->findChild<QPushButton*>(QStringLiteral("id_%1").arg(IDOK))->click();
            });
        EXPECT_TRUE(answered);
        EXPECT_EQ(Vsk::PKI::getTokenAsCsp(), on);
        EXPECT_EQ(stored(), on ? 1 : 0);
        EXPECT_EQ(tokenInCatalogue(), on);
    }
}

}  // namespace
