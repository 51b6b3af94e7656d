// The application object: its only behaviour is the program's start.
#pragma once

class CKestrovanApp {
public:
    // Runs the main window modally and answers the process's exit code (0).
    static int InitInstance(int argc, char** argv);
    // Whether the command line asks for the trace level for this run.
    static bool hasTraceSwitch(int argc, char** argv);
    // With the switch, the developer log's level becomes 3 for this run (the bits above the level
    // stay, the stored level is not touched); true when the switch was given.
    static bool applyTraceSwitch(int argc, char** argv);
};
