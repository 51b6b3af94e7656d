// Test support of the registry: tests that change the state folders of the environment reopen the
// hives from there, as another process would. Only tests link it (vsk_platform_registry_testing);
// it is not installed.
#pragma once

// Closes both hives' databases, so the next call opens them again from the state folders the
// environment names at that moment. Keys still open become invalid (6).
void RegistryResetForTests();
