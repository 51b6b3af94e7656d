// Seams for the tests of the certificate area; not installed. The tests add this folder to their
// include path.
#pragma once

// Forgets the registrations loaded into this process's OID information table, so the next use reads
// the machine hive again (after RegistryResetForTests, as another process would).
void ReloadRegisteredOIDInfo();
