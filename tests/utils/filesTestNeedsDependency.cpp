// Loads only when its dependency can be found, which the tests arrange not to be the case.
extern "C" int vskFilesDependencyValue();

extern "C" int vskFilesNeedsDependencyValue() {
    return vskFilesDependencyValue() + 1;
}
