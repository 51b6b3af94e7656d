// The fake provider backend of the tests: providers described by a fixture text take the place of
// the built-in ones, with failures injected where a test needs them. Only tests link it.
//
// A fixture is made of sections and "key = value" lines ('#' starts a comment):
//   [provider]                 one per provider, in enumeration order
//   type = 80
//   name = Some Provider       UTF-8, or code page 1251 (fixtures written from narrow literals)
//   algorithms = builtin | none      start from the built-in list of the type (the default) or from none
//   alg = 0x8021 256 Name      one more algorithm (its name is kept in code page 1251, at most 19 bytes)
//   version = 0x0100           PP_VERSION
//   version_ex = 5 7 | none    PP_VERSION_EX, or a provider that does not answer it
//   machine_default = yes|no   (default: the first provider of its type)
//   user_default = yes|no      (default: no)
//   busy = 3                   the next 3 calls of CryptSetProvParam/CryptImportKey give ERROR_BUSY
//   acquire_delay_ms = 500     CryptAcquireContextW sleeps first
//   acquire_error = 0x80090016 CryptAcquireContextW fails
//   enumalgs_error = 0x80090020 after 2   PP_ENUMALGS fails after 2 records
//   unique_refused = yes       PP_ENUMCONTAINERS with CRYPT_UNIQUE gives NTE_BAD_FLAGS
//   refuse_hash = 0x8021       CryptCreateHash of a listed algorithm fails with NTE_BAD_ALGID
//   container = name [unique]  listed by PP_ENUMCONTAINERS (unique name defaults to the name)
//   keeps_containers = yes     real containers in the key store, as the built-in providers keep them
//                              (shared by every provider of the type); listed containers are then ignored
//   machine_container = name [unique]     the same for contexts with CRYPT_MACHINE_KEYSET
//   [types]                    replaces the type list (default: the distinct provider types, ascending)
//   type = 77 Type name
//   [global]
//   enum_providers_error = 2 0x80090020   CryptEnumProvidersW fails at index 2
//   enum_types_error = 0 0x80090020       CryptEnumProviderTypesW fails at index 0
// A line the backend does not understand throws std::invalid_argument naming the line, so a mistyped
// fixture fails its test instead of testing something else.
#pragma once

#include <string>

namespace VskTest {

// The providers of `fixture` replace the installed ones from the next provider call on.
void UseFakeProviders(const std::string& fixture);
// The built-in providers again.
void UseBuiltInProviders();

}  // namespace VskTest
