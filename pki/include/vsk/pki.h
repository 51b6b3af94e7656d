// Providers, certificates and messages of the cryptography library.
#pragma once

#include <vsk/pki/Attributes.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/CertApi.h>
#include <vsk/pki/CertCache.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/Crl.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/CryptoApi.h>
#include <vsk/pki/FileInfo.h>
#include <vsk/pki/Hash.h>
#include <vsk/pki/HoldCSP.h>
#include <vsk/pki/OidNames.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/pki/ProviderChoice.h>
#include <vsk/pki/ProviderChoiceCert.h>
#include <vsk/pki/Settings.h>
#include <vsk/pki/Store.h>
#include <vsk/pki/TokenAsCsp.h>
