#include "kestrovanApp.h"

int main(int argc, char** argv) {
    return CKestrovanApp::InitInstance(argc, argv);
}
