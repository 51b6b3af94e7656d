// A small shared object that carries resources in its exported table, for the resource tests.
#include <vsk/platform/resource.h>

namespace {

const char Greeting[] = "Привет из модуля";  // code page 1251 bytes
const unsigned char Blob[] = {0x30, 0x03, 0x02, 0x01, 0x05};

const ResourceEntry Entries[] = {
    {u"Text", u"greeting", Greeting, sizeof Greeting - 1},
    {RT_RCDATA, MAKEINTRESOURCEW(101), Blob, sizeof Blob},
};

}  // namespace

VSK_MODULE_RESOURCES(Entries);
