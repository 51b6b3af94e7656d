// A shared object that the tests' "needs dependency" object links to; it is never found at run time.
extern "C" __attribute__((visibility("default"))) int vskTestDependencyValue() {
    return 7;
}
