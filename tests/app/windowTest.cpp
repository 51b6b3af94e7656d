// The main window's shell: caption, tree, toolbar at start, and the keys that never close it.
#include "appTestSupport.h"

using namespace AppTest;

namespace {

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { SetOptions(OPTION_NO_START_CHECK); }
    VskTest::TestRoot m_root;
    MessageRecorder m_messages;
};

TEST_F(WindowTest, ShowsCaptionTreeAndStartToolbar) {
    auto window = ShowWindow();
    EXPECT_EQ(window->windowTitle(), Text(u"Кестрован"));

    struct Node {
        const char16_t* text;
        NodeId id;
        int depth;
    };
    const Node expected[] = {
        {u"Сертификаты", NODE_ROOT, 0},
        {u"Личные", reinterpret_cast<NodeId>(StoreMY), 1},
        {u"Другие пользователи", reinterpret_cast<NodeId>(StoreAddressBook), 1},
        {u"Промежуточные центры сертификации", reinterpret_cast<NodeId>(StoreCA), 1},
        {u"Доверенные корневые центры сертификации", reinterpret_cast<NodeId>(StoreROOT), 1},
        {u"Списки отозванных сертификатов", NODE_CRLS, 0},
        {u"Ключевые контейнеры", NODE_KEY_CONTAINERS, 0},
    };
    size_t index = 0;
    for (QTreeWidgetItemIterator it(window->tree()); *it; ++it, ++index) {
        ASSERT_LT(index, std::size(expected));
        EXPECT_EQ((*it)->text(0), Text(expected[index].text));
        EXPECT_EQ(CKestrovanDlg::nodeOf(*it), expected[index].id);
        EXPECT_EQ((*it)->parent() ? 1 : 0, expected[index].depth);
        // Store nodes have no picture.
        EXPECT_EQ((*it)->icon(0).isNull(), expected[index].depth == 1) << index;
    }
    EXPECT_EQ(index, std::size(expected));
    EXPECT_EQ(window->getCurrentNode(), NODE_ROOT);
    EXPECT_EQ(window->list()->columnCount(), 0);
    EXPECT_TRUE(window->statusText()->text().isEmpty());

    const int visible[] = {CMD_LOCATION_USER, CMD_LOCATION_MACHINE,
                           CMD_REFRESH,       CMD_CHECK_ROOT_CERT,
                           CMD_OIDS_REG,      CMD_TEST,
                           CMD_SETS,          CMD_HELP};
    const int hidden[] = {CMD_PROPERTIES,  CMD_EXPORT, CMD_IMPORT,
                          CMD_CRL_INSTALL, CMD_DELETE, CMD_CERT_FROM_KEY_CONT};
    for (int id : visible) EXPECT_TRUE(window->isCommandVisible(id)) << id;
    for (int id : hidden) EXPECT_FALSE(window->isCommandVisible(id)) << id;
    EXPECT_TRUE(window->command(CMD_LOCATION_USER)->isChecked());
    EXPECT_EQ(window->getStoreLocationFlags(), STORE_LOCATION_USER);
}

TEST_F(WindowTest, EnterAndEscNeverCloseAndTheCloseBoxEndsWithZero) {
    auto window = ShowWindow();
    window->setResult(-1);
    QTest::keyClick(window->tree(), Qt::Key_Return);
    QTest::keyClick(window->tree(), Qt::Key_Escape);
    QTest::keyClick(window.get(), Qt::Key_Enter);
    EXPECT_TRUE(window->isVisible());
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), 0);
}

}  // namespace
