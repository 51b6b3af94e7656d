// An outside program that uses the installed library.
#include <vsk/utils.h>

#include <cstdio>

int main() {
    using namespace Vsk::Utils;
    CWString text(u"Проверка");
    try {
        throw CError(text, 0u);
    } catch (const CError& e) {
        if (e.getText() != text) return 1;
    }
    std::puts("consumer ok");
    return 0;
}
