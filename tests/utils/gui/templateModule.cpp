// Stands in for the time-stamp client module in the tests of the dialog-template rule.
extern "C" int vskGuiTestTemplateModule() {
    return 1;
}
