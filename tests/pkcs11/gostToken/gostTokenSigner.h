// A signer on the GOST test token: a GOST R 34.10-2012 256 key pair made by the OpenSSL GOST engine and
// its self-signed certificate, put on the token of slot 0 through the module's Cryptoki functions.
#pragma once

#include "gostTestHelpers.h"
#include "gostTokenControl.h"

#include <openssl/ec.h>
#include <openssl/x509.h>

#include <iterator>

namespace VskTest {

struct TokenSigner {
    GostTest::Bytes certificate;  // DER
    GostTest::Bytes publicValue;  // little-endian X||Y, the public key's CKA_VALUE
};

// The public key, the private key and the certificate share `label` as CKA_LABEL and CKA_ID.
inline TokenSigner PutSignerOnToken(const VskTest::GostTokenModule& module, const std::string& label) {
    TokenSigner out;
    GostTest::Pkey key = GostTest::EngineKey("gost2012_256", "A");
    EXPECT_TRUE(key);
    if (!key) return out;
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 77);
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Token Signer"), -1, -1, 0);
    X509_set_subject_name(x, name);
    X509_set_issuer_name(x, name);
    X509_NAME_free(name);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 365L * 24 * 3600);
    X509_set_pubkey(x, key.get());
    EXPECT_GT(X509_sign(x, key.get(), EVP_get_digestbyname("md_gost12_256")), 0);
    unsigned char* der = nullptr;
    const int size = i2d_X509(x, &der);
    out.certificate.assign(der, der + size);
    OPENSSL_free(der);
    X509_free(x);

    out.publicValue = GostTest::EnginePublicValue(key.get(), 64);
    const EC_KEY* ec = static_cast<const EC_KEY*>(EVP_PKEY_get0(key.get()));
    GostTest::Bytes scalar(32);
    EXPECT_EQ(BN_bn2lebinpad(EC_KEY_get0_private_key(ec), scalar.data(), 32), 32);

    CK_FUNCTION_LIST_PTR f = module.functions();
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);
    CK_UTF8CHAR pin[] = "12345678";
    const CK_RV login = f->C_Login(session, CKU_USER, pin, 8);
    EXPECT_TRUE(login == CKR_OK || login == CKR_USER_ALREADY_LOGGED_IN) << login;
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY, privateClass = CKO_PRIVATE_KEY, certClass = CKO_CERTIFICATE;
    CK_KEY_TYPE keyType = CKK_GOSTR3410;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    // id-GostR3410-2001-CryptoPro-A-ParamSet (the engine's "A") and id-tc26-gost3411-12-256.
    CK_BYTE curve[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
    CK_BYTE hash[] = {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
    std::string text = label;
    CK_ATTRIBUTE publicTemplate[] = {{CKA_CLASS, &publicClass, sizeof publicClass},
                                     {CKA_KEY_TYPE, &keyType, sizeof keyType},
                                     {CKA_LABEL, text.data(), text.size()},
                                     {CKA_ID, text.data(), text.size()},
                                     {CKA_TOKEN, &yes, 1},
                                     {CKA_PRIVATE, &no, 1},
                                     {CKA_GOSTR3410_PARAMS, curve, sizeof curve},
                                     {CKA_GOSTR3411_PARAMS, hash, sizeof hash},
                                     {CKA_VALUE, out.publicValue.data(), out.publicValue.size()}};
    CK_ATTRIBUTE privateTemplate[] = {{CKA_CLASS, &privateClass, sizeof privateClass},
                                      {CKA_KEY_TYPE, &keyType, sizeof keyType},
                                      {CKA_LABEL, text.data(), text.size()},
                                      {CKA_ID, text.data(), text.size()},
                                      {CKA_TOKEN, &yes, 1},
                                      {CKA_PRIVATE, &yes, 1},
                                      {CKA_GOSTR3410_PARAMS, curve, sizeof curve},
                                      {CKA_GOSTR3411_PARAMS, hash, sizeof hash},
                                      {CKA_VALUE, scalar.data(), scalar.size()}};
    CK_ATTRIBUTE certTemplate[] = {{CKA_CLASS, &certClass, sizeof certClass},
                                   {CKA_LABEL, text.data(), text.size()},
                                   {CKA_ID, text.data(), text.size()},
                                   {CKA_TOKEN, &yes, 1},
                                   {CKA_VALUE, out.certificate.data(), out.certificate.size()}};
    CK_OBJECT_HANDLE object = 0;
    EXPECT_EQ(f->C_CreateObject(session, publicTemplate, std::size(publicTemplate), &object), CKR_OK);
    EXPECT_EQ(f->C_CreateObject(session, privateTemplate, std::size(privateTemplate), &object), CKR_OK);
    EXPECT_EQ(f->C_CreateObject(session, certTemplate, std::size(certTemplate), &object), CKR_OK);
    f->C_Logout(session);
    f->C_CloseSession(session);
    return out;
}

}  // namespace VskTest
