// The dialog-template rule: "VskTspClient.dll" when it loads, else the program's own file.
#include "guiTestEnvironment.h"

#include <vsk/platform/module.h>
#include <vsk/utils/file.h>
#include <vsk/utils/gui.h>

#include <QString>

#include <filesystem>

namespace {

using Vsk::InternalUtils::CLib;

TEST(TemplateModuleTest, ProgramFileWhenTheClientModuleIsAbsent) {
    CLib lib(u"VskTspClient.dll");
    Vsk::InternalUtils::LoadDialogTemplateModule(lib);
    EXPECT_EQ(lib.getModuleName().toU16(), Vsk::InternalUtils::GetModuleFileNameW(nullptr).toU16());
}

TEST(TemplateModuleTest, ClientModuleWhenItLoads) {
    const std::string folder = GuiTest::Root() + "/modules";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(VSK_GUI_TEST_TEMPLATE_MODULE, folder + "/VskTspClient.dll",
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(SetDllDirectoryW(QString::fromStdString(folder).toStdU16String().c_str()));
    {
        CLib lib(u"VskTspClient.dll");
        Vsk::InternalUtils::LoadDialogTemplateModule(lib);
        EXPECT_NE(lib.getModule(), nullptr);
        EXPECT_EQ(QString::fromStdU16String(lib.getModuleName().toU16()).toStdString(),
                  folder + "/VskTspClient.dll");
    }
    SetDllDirectoryW(nullptr);
}

}  // namespace
