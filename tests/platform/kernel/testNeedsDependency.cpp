// A shared object whose dependency is missing at run time: loading it must fail as a missing module.
extern "C" int vskTestDependencyValue();
extern "C" __attribute__((visibility("default"))) int vskTestNeedsDependency() {
    return vskTestDependencyValue();
}
