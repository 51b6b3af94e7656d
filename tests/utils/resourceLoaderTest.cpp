// Copying resources out of modules: the program's resources from Qt's resource tree (":/res/<TYPE>/
// <name>", compiled in from tests/utils/resources), the program's registered table, and a shared
// object's table, which is freed again after the copy.
#include <vsk/platform/module.h>
#include <vsk/platform/resource.h>
#include <vsk/utils/error.h>
#include <vsk/utils/system.h>

#include <gtest/gtest.h>

#include <string>

using namespace Vsk::Utils;

namespace {

const char Registered[] = "из таблицы программы";
const ModuleResources ProgramTable{{u"MANUAL", u"about.txt", Registered, sizeof Registered - 1}};

std::string text(const CDataBlob& blob) {
    return std::string(reinterpret_cast<const char*>(blob.getData()), blob.getSize());
}

// The message and code of what `load` raises, or the bytes it returns.
std::string outcome(const WCHAR* module, const WCHAR* name, const WCHAR* type) {
    CResourceLoader loader;
    try {
        return text(loader.load(module, name, type));
    } catch (const CError& error) {
        const std::u16string message = error.getMessage().toU16();
        return "error " + std::to_string(error.getCode()) +
               (message.rfind(u"Не найден ресурс.", 0) == 0 ? " not found" : " other");
    }
}

TEST(ResourceLoader, ProgramResourcesFromQtAndTable) {
    const std::u16string module = []() {
        std::string path = VSK_TEST_RESOURCES;
        return std::u16string(path.begin(), path.end());
    }();
    const struct {
        const WCHAR* module;
        const WCHAR* name;
        const WCHAR* type;
        std::string expected;
    } cases[] = {
        // The file's bytes as they are (UTF-8), while narrow literals here are code page 1251.
        {nullptr, u"index.html", u"manual",
         reinterpret_cast<const char*>(u8"<html><body>Справка</body></html>\n")},
        {nullptr, u"ROOT.CER", u"Cert", std::string("\x30\x03\x02\x01\x05", 5)},
        {nullptr, u"about.txt", u"Manual", "из таблицы программы"},
        {nullptr, u"missing.html", u"MANUAL", "error 1814 not found"},
        {nullptr, u"index.html", u"HELP", "error 1813 not found"},
        {module.c_str(), u"greeting", u"TEXT", "Привет из модуля"},
        {module.c_str(), u"index.html", u"MANUAL", "error 1813 not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)));
        EXPECT_EQ(outcome(c.module, c.name, c.type), c.expected);
    }
    // Nothing stays loaded after the copy.
    EXPECT_EQ(GetModuleHandleW(module.c_str()), nullptr);
}

}  // namespace
