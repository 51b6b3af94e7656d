// A small shared object for the run-time loading tests.
extern "C" int vskFilesTestValue() {
    return 42;
}
