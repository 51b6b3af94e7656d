// A small shared object for the run-time loading tests.
extern "C" __attribute__((visibility("default"))) int vskTestAnswer() {
    return 42;
}
