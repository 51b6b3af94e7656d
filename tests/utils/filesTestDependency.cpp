// Built into a folder that the dependent object's run-time search does not reach.
extern "C" int vskFilesDependencyValue() {
    return 7;
}
