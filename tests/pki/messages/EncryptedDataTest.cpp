// The enveloped-data object end to end on the provider stand-in, with GOST R 34.10-2012 256 and 512
// recipients made at test time: our messages against `openssl cms -decrypt`, openssl's messages
// decrypted by us whole and in 1-byte pieces, the recipient search with its errors, and the order of
// calls.
#include "messages/src/EncryptedDataImpl.h"
#include "testSupport.h"

#include <vsk/asn1/asn1.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/EncryptedData.h>
#include <vsk/pki/EncryptedDataRecipient.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/pki/TokenAsCsp.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/gostCipher.h>
#include <vsk/utils/global.h>

#include "containerStore.h"
#include "cryptTestSeam.h"
#include "keyMaterial.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

using namespace Vsk::PKI;
using Vsk::Utils::CArray;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;

namespace {

using Bytes = std::vector<BYTE>;

std::string Dir() {
    return VskTest::TempDir();
}
void WriteFile(const std::string& name, const Bytes& bytes) {
    std::ofstream out(Dir() + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
Bytes ReadFile(const std::string& name) {
    std::ifstream in(Dir() + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}
bool Shell(const std::string& command) {
    return std::system(("cd '" + Dir() + "' && (" + command + ") >/dev/null 2>&1 </dev/null").c_str()) == 0;
}
Bytes Pattern(size_t size, int seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<BYTE>((i * 31 + seed) ^ (i >> 9));
    return b;
}
CDataBlob Blob(const BYTE* data, size_t size) {
    return CDataBlob(data, size, true);
}
void Append(Bytes& to, const CDataBlob& b) {
    to.insert(to.end(), b.getData(), b.getData() + b.getSize());
}

// A recipient: a key container of the stand-in, its key for openssl, and a certificate made by
// openssl (signed with a GOST key, so that the GOST providers support both its algorithms); installed into
// "MY" bound to the container unless told otherwise.
struct Recipient {
    std::string base;
    CKeyContainer container;
    CCertificate certificate;

    Recipient(const std::string& name, DWORD provType, bool install = true,
              const char16_t* provName = nullptr)
        : base("encdata-" + name) {
        HCRYPTPROV probe = 0;
        EXPECT_TRUE(CryptAcquireContextW(&probe, nullptr, provName, provType, CRYPT_VERIFYCONTEXT));
        DWORD type = 0;
        CWString providerName;
        EXPECT_TRUE(GetCSPParams(probe, &type, &providerName, nullptr, nullptr));
        CryptReleaseContext(probe, 0);
        CRefPtr<CSPInfo> provider = FindCSPInfo(provType, providerName);
        container = CKeyContainer(true);
        container.get_CommonSettings().put_Silent(true);
        container.New(provider.get(), CWString(u""), CWString(VskTest::Utf16(base).c_str()), false);
        container.Generate(true);

        DWORD error = 0;
        auto ctx = vsk::crypt::FindContext(container.get_hCryptProv().get_hCryptProv());
        vsk::crypt::Pkey key = vsk::crypt::UnlockKey(*ctx, container.get_KeySpec(), error);
        EXPECT_TRUE(key) << error;
        WriteFile(base + ".spki", vsk::crypt::PublicKeyInfoDer(key.get()));
        BIO* bio = BIO_new_file((Dir() + "/" + base + ".key").c_str(), "w");
        EXPECT_TRUE(bio &&
                    PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1);
        BIO_free(bio);
        // An issuer key of its own: test shards run side by side in one folder.
        EXPECT_TRUE(Shell("openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out " +
                          base + "-issuer.key"));
        EXPECT_TRUE(Shell("openssl pkey -engine gost -pubin -inform DER -in " + base + ".spki -out " + base +
                          ".pub && openssl x509 -engine gost -new -subj /CN=" + base +
                          " -md_gost12_256 -key " + base + "-issuer.key -force_pubkey " + base +
                          ".pub -outform DER -out " + base + ".cer && openssl x509 -inform DER -in " + base +
                          ".cer -out " + base + ".pem"));
        const Bytes der = ReadFile(base + ".cer");
        certificate = CCertificate(true);
        certificate.LoadFromBlob(Blob(der.data(), der.size()));
        if (install) container.installCertificate(certificate.get_CertContext());
    }
};

CEncryptSettings SettingsFor(const std::vector<const Recipient*>& recipients) {
    CArray<CCertificate> certificates;
    for (const Recipient* r : recipients) certificates.add(r->certificate);
    CEncryptSettings settings;
    settings.putRecipientCertificates(certificates);
    return settings;
}

// Our message of `plain` in blocks of `block` bytes (0: one final block).
Bytes Encrypt(const std::vector<const Recipient*>& recipients, const Bytes& plain, size_t block) {
    CEncryptedData data;
    data.EncryptSettings() = SettingsFor(recipients);
    data.EncryptStart();
    if (block == 0) block = plain.size();
    Bytes out;
    for (size_t at = 0; at < plain.size(); at += block) {
        const size_t n = std::min(block, plain.size() - at);
        Append(out, data.EncryptBlock(Blob(plain.data() + at, n), at + n == plain.size()));
    }
    return out;
}

// The plaintext of `message` fed in pieces of `piece` bytes (0: one final block).
Bytes Decrypt(CEncryptedData& data, const Bytes& message, size_t piece) {
    data.DecryptStart();
    if (piece == 0) piece = message.size();
    Bytes out;
    for (size_t at = 0; at < message.size(); at += piece) {
        const size_t n = std::min(piece, message.size() - at);
        Append(out, data.DecryptBlock(Blob(message.data() + at, n), at + n == message.size()));
    }
    return out;
}

CEncryptedData DecryptorWith(const CKeyContainer* container, const CCertificate* certificate, bool autoFind) {
    CEncryptedData data;
    CDecryptSettings settings;
    if (container) settings.put_KeyContainer(container);
    if (certificate) settings.put_Certificate(certificate);
    if (!autoFind) settings.getImpl()->m_flags &= ~DWORD(CDecryptSettings::FlagAutoFindRecipient);
    data.DecryptSettings() = settings;
    return data;
}

std::u16string TextOf(const CError& e) {
    return e.getText().toU16();
}

struct RecipientCase {
    const char* name;
    DWORD provType;
};

class EncryptedDataInterop : public testing::TestWithParam<RecipientCase> {
protected:
    void BothWaysBody();
};

}  // namespace

// Our messages, one block and a streamed input of a few MiB, decrypt with openssl and with us;
// openssl's messages decrypt with us from one block and from 1-byte pieces.
TEST_P(EncryptedDataInterop, BothWays) {
    if (auto e = VskTest::MaybeThrown([&] { BothWaysBody(); })) FAIL() << VskTest::Utf8(e->getText());
}

void EncryptedDataInterop::BothWaysBody() {
    const RecipientCase& c = GetParam();
    Recipient recipient(c.name, c.provType);
    struct Form {
        const char* name;
        size_t size;
        size_t block;
    } forms[] = {{"single", 5000, 0}, {"streamed", (3u << 20) + 123, 256u << 10}};
    for (const Form& f : forms) {
        SCOPED_TRACE(f.name);
        const Bytes plain = Pattern(f.size, static_cast<int>(f.size));
        const Bytes message = Encrypt({&recipient}, plain, f.block);
        const std::string file = recipient.base + "-" + f.name;
        WriteFile(file + ".p7m", message);
        EXPECT_TRUE(Shell("openssl cms -decrypt -engine gost -binary -inform DER -in " + file +
                          ".p7m -recip " + recipient.base + ".pem -inkey " + recipient.base + ".key -out " +
                          file + ".out"));
        EXPECT_TRUE(ReadFile(file + ".out") == plain);
        CEncryptedData data = DecryptorWith(&recipient.container, nullptr, true);
        EXPECT_TRUE(Decrypt(data, message, 64u << 10) == plain);
    }

    const Bytes plain = Pattern(3000, 1);
    WriteFile(recipient.base + ".plain", plain);
    ASSERT_TRUE(Shell("openssl cms -encrypt -engine gost -binary -gost89 -outform DER -in " + recipient.base +
                      ".plain -out " + recipient.base + ".p7m " + recipient.base + ".pem"));
    const Bytes message = ReadFile(recipient.base + ".p7m");
    for (size_t piece : {size_t{0}, size_t{1}}) {
        CEncryptedData data = DecryptorWith(nullptr, &recipient.certificate, false);
        EXPECT_TRUE(Decrypt(data, message, piece) == plain) << piece;
        // The same object reads a second message.
        EXPECT_TRUE(Decrypt(data, message, 0) == plain) << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(Recipients, EncryptedDataInterop,
                         testing::Values(RecipientCase{"gost256", PROV_GOST_2012_256},
                                         RecipientCase{"gost512", PROV_GOST_2012_512}),
                         [](const auto& info) { return std::string(info.param.name); });

// A message for two recipients is read by either, given by certificate or found by the search.
TEST(EncryptedData, TwoRecipientsEitherDecrypts) {
    // Tokens presented as providers, as for any user without administrator rights: the recipient
    // search also asks the token road for each recipient, and a recipient without a token key
    // must not stop it.
    Vsk::PKI::setTokenAsCsp(true, false);
    struct Restore {
        ~Restore() { Vsk::PKI::setTokenAsCsp(false, false); }
    } restore;
    Recipient a("two-a", PROV_GOST_2012_256), b("two-b", PROV_GOST_2012_512);
    const Bytes plain = Pattern(20000, 9);
    const Bytes message = Encrypt({&a, &b}, plain, 7000);
    for (const Recipient* r : {&a, &b}) {
        CEncryptedData byCertificate = DecryptorWith(nullptr, &r->certificate, false);
        EXPECT_TRUE(Decrypt(byCertificate, message, 0) == plain) << r->base;
        CEncryptedData byContainer = DecryptorWith(&r->container, nullptr, true);
        EXPECT_TRUE(Decrypt(byContainer, message, 100) == plain) << r->base;
    }
    CEncryptedData searching = DecryptorWith(nullptr, nullptr, true);
    EXPECT_TRUE(Decrypt(searching, message, 0) == plain);
}

// The recipient search's errors: no usable key at all, one failing key, several failing keys, a given
// certificate that is no recipient; and data that is no enveloped message.
TEST(EncryptedData, RecipientSearchErrors) {
    Recipient other("search-other", PROV_GOST_2012_256);
    // Certificates whose keys are nowhere: not in any store, or in "MY" bound to a missing container.
    Recipient unknown("search-unknown", PROV_GOST_2012_256, false);
    Recipient lost1("search-lost1", PROV_GOST_2012_256), lost2("search-lost2", PROV_GOST_2012_512);
    for (Recipient* r : {&lost1, &lost2}) {
        r->container.Delete();
    }
    const Bytes plain = Pattern(1000, 4);

    // Nobody's key: 180611 with the recipient list.
    {
        CEncryptedData data = DecryptorWith(nullptr, nullptr, true);
        const CError e = VskTest::Thrown([&] { Decrypt(data, Encrypt({&unknown}, plain, 0), 0); });
        EXPECT_EQ(e.getErrorNumber(), 180611u);
        const std::u16string text = TextOf(e);
        EXPECT_NE(text.find(u"Не найден Личный сертификат или ключи для расшифрования. Зашифровано на "
                            u"сертификатах (1 шт.):\r\n - "),
                  std::u16string::npos)
            << VskTest::Utf8(text);
    }
    // One failing key: that error, then the list.
    {
        CEncryptedData data = DecryptorWith(nullptr, nullptr, true);
        const CError e = VskTest::Thrown([&] { Decrypt(data, Encrypt({&lost1, &unknown}, plain, 0), 0); });
        const std::u16string text = TextOf(e);
        EXPECT_NE(text.find(u"\r\nЗашифровано на сертификатах (2 шт.):\r\n - "), std::u16string::npos)
            << VskTest::Utf8(text);
        EXPECT_EQ(text.find(u"Не найден Личный сертификат"), std::u16string::npos);
    }
    // Two failing keys: both texts joined, then the list.
    {
        CEncryptedData data = DecryptorWith(nullptr, nullptr, true);
        const CError e = VskTest::Thrown([&] { Decrypt(data, Encrypt({&lost1, &lost2}, plain, 0), 0); });
        const std::u16string text = TextOf(e);
        EXPECT_EQ(e.getErrorNumber(), 0u);
        EXPECT_NE(text.find(u"Зашифровано на сертификатах (2 шт.):"), std::u16string::npos);
        EXPECT_NE(text.find(u"search-lost1"), std::u16string::npos) << VskTest::Utf8(text);
        EXPECT_NE(text.find(u"search-lost2"), std::u16string::npos) << VskTest::Utf8(text);
    }
    // A given certificate that is no recipient, with the search off.
    {
        CEncryptedData data = DecryptorWith(nullptr, &other.certificate, false);
        const CError e = VskTest::Thrown([&] { Decrypt(data, Encrypt({&unknown}, plain, 0), 0); });
        EXPECT_EQ(e.getErrorNumber(), 180503u);
        EXPECT_EQ(static_cast<DWORD>(e.getCode()), 0x8009100Bu);
    }
    // No enveloped message at all; the failing block is logged by its size and digest only.
    {
        CEncryptedData data = DecryptorWith(nullptr, nullptr, true);
        VskTest::LogCapture log(5);
        const CError e = VskTest::Thrown([&] { Decrypt(data, plain, 0); });
        EXPECT_EQ(log.count(u"Encrypted Data Block (bFinal=true): size=1000, sha256="), 1u);
        const std::u16string piece = VskTest::Utf16(Blob(plain.data() + 100, 24).toHex().c_str());
        for (const std::u16string& line : log.lines()) EXPECT_EQ(line.find(piece), std::u16string::npos);
        EXPECT_EQ(e.getErrorNumber(), 180604u);
        EXPECT_NE(TextOf(e).find(u"Данные не являются зашифрованными в формате PKCS#7."),
                  std::u16string::npos);
    }
}

// Calls out of order and empty blocks leave the object idle with their step codes.
TEST(EncryptedData, CallOrder) {
    Recipient r("order", PROV_GOST_2012_256);
    CEncryptedData data = DecryptorWith(&r.container, nullptr, true);
    data.EncryptSettings() = SettingsFor({&r});
    const BYTE byte = 1;
    struct Row {
        const char* name;
        std::function<void()> action;
        DWORD step;
    } rows[] = {
        {"encrypt without start", [&] { data.EncryptBlock(Blob(&byte, 1), true); }, 180402},
        {"encrypt empty", [&] { data.EncryptStart(), data.EncryptBlock(CDataBlob(), true); }, 180401},
        {"encrypt after final",
         [&] {
             data.EncryptStart();
             data.EncryptBlock(Blob(&byte, 1), true);
             data.EncryptBlock(Blob(&byte, 1), true);
         },
         180402},
        {"no recipients",
         [&] {
             CEncryptedData fresh;
             fresh.EncryptStart();
         },
         180301},
        {"decrypt empty", [&] { data.DecryptStart(), data.DecryptBlock(CDataBlob(), true); }, 180601},
        {"decrypt after final",
         [&] {
             const Bytes message = Encrypt({&r}, Bytes(10, 7), 0);
             Decrypt(data, message, 0);
             data.DecryptBlock(Blob(message.data(), message.size()), true);
         },
         180602},
    };
    for (const Row& row : rows) EXPECT_EQ(VskTest::Thrown(row.action).getErrorNumber(), row.step) << row.name;
    EXPECT_NE(TextOf(VskTest::Thrown([] { CEncryptedData(false).EncryptStart(); })).find(u"не был создан!"),
              std::u16string::npos);
}

namespace {

constexpr const char16_t* HsmProvider = u"Test HSM GOST R 34.10-2012 (256) Provider";

// The built-in providers and one more of type 80 whose name marks it as a hardware module, for the
// life of the object.
struct WithHsmProvider {
    WithHsmProvider() {
        auto table = std::make_shared<vsk::crypt::ProviderTable>(*vsk::crypt::Providers());
        auto hsm = vsk::crypt::NewProvider(PROV_GOST_2012_256, HsmProvider);
        hsm->keepsContainers = true;
        table->providers.push_back(hsm);
        vsk::crypt::InstallProviderTable(table);
        ClearCspAlgInfo();
        InitCspAlgInfo();
    }
    ~WithHsmProvider() {
        vsk::crypt::InstallProviderTable(nullptr);
        ClearCspAlgInfo();
    }
};

}  // namespace

static void OtherProviderRoad();

// A recipient whose key is in an HSM provider: the session key is decrypted there, moved to the
// ordinary provider and the content decrypted with it, whole or in pieces. The key belongs
// to that message only: the next message on the same object, for another recipient, is decrypted
// with its own key and not with the previous one.
TEST(EncryptedData, OtherProviderRoadKeyEndsWithItsMessage) {
    if (auto e = VskTest::MaybeThrown([] { OtherProviderRoad(); })) FAIL() << VskTest::Utf8(e->getText());
}

static void OtherProviderRoad() {
    WithHsmProvider hsm;
    Recipient inHsm("hsm", PROV_GOST_2012_256, true, HsmProvider);
    Recipient ordinary("hsm-next", PROV_GOST_2012_256);
    ASSERT_TRUE(CSPInfo::isHSM(inHsm.certificate.get_ProviderName()))
        << VskTest::Utf8(inHsm.certificate.get_ProviderName());
    const Bytes first = Pattern(40000, 2), second = Pattern(30000, 5);
    const Bytes firstMessage = Encrypt({&inHsm}, first, 9000),
                secondMessage = Encrypt({&ordinary}, second, 0);

    for (size_t piece : {size_t{0}, size_t{1}}) {
        CEncryptedData data;
        CDecryptSettings settings;
        settings.getImpl()->m_flags |= CDecryptSettings::FlagHSMToCSPOptimization;
        data.DecryptSettings() = settings;
        {
            VskTest::LogCapture log(piece ? 3 : 5);
            SCOPED_TRACE(piece);
            EXPECT_TRUE(Decrypt(data, firstMessage, piece) == first) << piece;
            EXPECT_EQ(log.count(u"HSMToCSPOptimization done ok"), 1u) << piece;
            // Neither the plaintext nor the ciphertext is written out.
            const std::u16string plainHex = VskTest::Utf16(Blob(first.data() + 500, 16).toHex().c_str());
            const std::u16string cipherHex =
                VskTest::Utf16(Blob(firstMessage.data() + 1000, 16).toHex().c_str());
            for (const std::u16string& line : log.lines()) {
                EXPECT_EQ(line.find(plainHex), std::u16string::npos);
                EXPECT_EQ(line.find(cipherHex), std::u16string::npos);
            }
        }
        EXPECT_FALSE(data.get_SessionKey().isCreated());
        EXPECT_TRUE(Decrypt(data, secondMessage, 0) == second) << piece;
    }
}

// How the recipient search's collected errors become the one it raises.
TEST(EncryptedData, SearchFailureFromCollectedErrors) {
    const CWString list(u"Зашифровано на сертификатах (2 шт.):\r\n - a\r\n - b");
    // Fresh errors for every row: raising one appends to its shared text.
    auto error = [](const char16_t* text, DWORD code) { return CCryptError(CError(CWString(text), code)); };
    auto noKey = [&] { return error(u"Нет ключа", 0x8009000D); };
    auto wrongPassword = [&] { return error(u"Неверный пароль", 0x80090029); };
    auto cancelled = [&] { return error(u"Отменено пользователем", 0x8010006F); };
    struct Row {
        const char* name;
        std::vector<CCryptError> errors;
        DWORD step;
        DWORD code;
        // Fragments that must appear in this order; the recipient list last unless `listed` is false.
        std::vector<std::u16string> fragments;
        bool listed;
    } rows[] = {
        {"none",
         {},
         180611,
         0x8009000D,
         {u"Не найден Личный сертификат или ключи для расшифрования. "},
         true},
        {"one", {noKey()}, 0, 0x8009000D, {u"Нет ключа"}, true},
        {"two", {wrongPassword(), noKey()}, 0, 0x80090029, {u"Неверный пароль", u"\r\nНет ключа"}, true},
        {"cancelled",
         {noKey(), cancelled(), wrongPassword()},
         0,
         0x8010006F,
         {u"Отменено пользователем"},
         false},
    };
    for (const Row& row : rows) {
        const CCryptError last = row.errors.empty() ? CCryptError() : row.errors.back();
        SetLastError(0x8009000D);
        const CError e =
            VskTest::Thrown([&] { CEncryptedData::CImpl::raiseSearchFailure(row.errors, last, list); });
        EXPECT_EQ(e.getErrorNumber(), row.step) << row.name;
        EXPECT_EQ(static_cast<DWORD>(e.getCode()), row.code) << row.name;
        const std::u16string text = TextOf(e);
        size_t at = 0;
        for (const std::u16string& fragment : row.fragments) {
            at = text.find(fragment, at);
            ASSERT_NE(at, std::u16string::npos) << row.name << ": " << VskTest::Utf8(text);
        }
        EXPECT_EQ(text.find(list.toU16(), at) != std::u16string::npos, row.listed) << row.name;
        if (row.step) continue;
        // The list comes last, after "\r\n".
        if (row.listed) {
            EXPECT_EQ(text.substr(text.size() - list.getLength() - 2), u"\r\n" + list.toU16()) << row.name;
        }
    }
}

// ---- Session-key roads, block-size cutting, unreadable recipients ---------------------------------

namespace {

// What a caller of the session-key roads holds for a message: its content key, unwrapped from the
// recipient's key transport with the recipient's container and given the message's IV and parameter
// set; and the message's raw ciphertext.
struct ContentKey {
    CSessionKey key;
    Bytes cipher;
};

ContentKey ContentKeyOf(const Recipient& recipient, const Bytes& message) {
    Vsk::PKI::CPKCS7Encrypted reader;
    Vsk::ASN1::CSet recipients;
    Vsk::ASN1::CSequence algorithm;
    CError error;
    const CDataBlob cipher =
        reader.getEncryptedContent(Blob(message.data(), message.size()), &error, &recipients, &algorithm);
    EXPECT_TRUE(error.isEmpty() && reader.isContentComplete());
    CEncryptedDataRecipient record;
    record.Init(*recipients.getItem(0), algorithm);
    CDataBlob iv;
    Vsk::Utils::CAString paramSet;
    Vsk::PKI::CPKCS7Encrypted::parseGost28147_89Parameters(record.get_ContentEncryptionParameters(), iv,
                                                           paramSet);
    ContentKey out;
    CDecryptSettings settings;
    settings.put_KeyContainer(&recipient.container);
    out.key.DecryptViaGostR3410KeyTransport(record.get_EncryptedKey(), true, settings);
    EXPECT_TRUE(CryptSetKeyParam(out.key.get_hKey(), KP_CIPHEROID,
                                 reinterpret_cast<const BYTE*>(paramSet.c_str()), 0));
    out.key.put_IV(iv);
    out.cipher = Bytes(cipher.getData(), cipher.getData() + cipher.getSize());
    return out;
}

// `input` through EncryptBlock or DecryptBlock in blocks of `block` bytes, the last one final.
Bytes Blocks(const std::function<CDataBlob(const CDataBlob&, bool)>& step, const Bytes& input, size_t block) {
    Bytes out;
    for (size_t at = 0; at < input.size(); at += block) {
        const size_t n = std::min(block, input.size() - at);
        Append(out, step(Blob(input.data() + at, n), at + n == input.size()));
    }
    return out;
}

// The library's file block size ("maxFileBlockSize") for the life of the object, set in this process
// only: test processes running beside it share the settings database, and one of them reading a
// small value there would keep it.
struct FileBlockSize {
    explicit FileBlockSize(DWORD size) { set(size); }
    ~FileBlockSize() { set(0); }
    static void set(DWORD size) {
        Vsk::InternalUtils::CCommonInfo* info = Vsk::InternalUtils::GetCommonInfo();
        ASSERT_TRUE(info);
        Vsk::Utils::CLock lock(static_cast<Vsk::Utils::CCriticalSection*>(info));
        info->m_fileBlockSize = size;  // 0: read again from the settings
    }
};

}  // namespace

static void SessionKeyRoads();

// A session key handed in from outside: raw ciphertext decrypted with it (bit 0x200), block by block
// and again after a final block; raw encryption with it gives openssl's ciphertext of the same
// content; without the bit a whole message is read with it, and it stays for the next message; a
// message cut short fails.
TEST(EncryptedData, SessionKeyRoads) {
    if (auto e = VskTest::MaybeThrown([] { SessionKeyRoads(); })) FAIL() << VskTest::Utf8(e->getText());
}

static void SessionKeyRoads() {
    Recipient r("session", PROV_GOST_2012_256);
    const Bytes plain = Pattern(9001, 3);
    WriteFile(r.base + ".plain", plain);
    ASSERT_TRUE(Shell("openssl cms -encrypt -engine gost -binary -gost89 -outform DER -stream -in " + r.base +
                      ".plain -out " + r.base + ".p7m " + r.base + ".pem"));
    const Bytes message = ReadFile(r.base + ".p7m");
    const ContentKey content = ContentKeyOf(r, message);
    ASSERT_EQ(content.cipher.size(), plain.size());

    auto withFlags = [&](DWORD decryptFlags, DWORD encryptFlags) {
        CEncryptedData data;
        CDecryptSettings decrypt;
        decrypt.getImpl()->m_flags |= decryptFlags;
        data.DecryptSettings() = decrypt;
        CEncryptSettings encrypt;
        encrypt.getImpl()->m_flags |= encryptFlags;
        data.EncryptSettings() = encrypt;
        data.put_SessionKey(content.key);
        return data;
    };
    auto decryptBlocks = [](CEncryptedData& data, const Bytes& input, size_t block) {
        data.DecryptStart();
        return Blocks([&](const CDataBlob& b, bool final) { return data.DecryptBlock(b, final); }, input,
                      block);
    };
    struct Row {
        const char* name;
        std::function<Bytes()> run;
        const Bytes& expected;
    } rows[] = {
        {"raw decryption in blocks",
         [&] {
             CEncryptedData data = withFlags(CDecryptSettings::FlagUseSessionKey, 0);
             return decryptBlocks(data, content.cipher, 1000);
         },
         plain},
        {"raw decryption twice",
         [&] {
             CEncryptedData data = withFlags(CDecryptSettings::FlagUseSessionKey, 0);
             decryptBlocks(data, content.cipher, 4096);
             return decryptBlocks(data, content.cipher, content.cipher.size());
         },
         plain},
        {"raw encryption",
         [&] {
             CEncryptedData data = withFlags(0, CEncryptSettings::FlagUseSessionKey);
             data.EncryptStart();
             return Blocks([&](const CDataBlob& b, bool final) { return data.EncryptBlock(b, final); }, plain,
                           777);
         },
         content.cipher},
        {"message with the caller's key, twice",
         [&] {
             CEncryptedData data = withFlags(0, 0);
             EXPECT_TRUE(decryptBlocks(data, message, 100) == plain);
             EXPECT_TRUE(data.get_SessionKey().getImpl() == content.key.getImpl());
             return decryptBlocks(data, message, message.size());
         },
         plain},
    };
    for (const Row& row : rows) EXPECT_TRUE(row.run() == row.expected) << row.name;

    // A message cut short inside its content and given as final is no message: reading it with the
    // caller's key fails instead of handing back the part that came as if it were all; the key then
    // reads the whole message, also after one left unfinished.
    {
        CEncryptedData data = withFlags(0, 0);
        const Bytes cut(message.begin(), message.end() - 20);
        const CError e = VskTest::Thrown([&] { decryptBlocks(data, cut, 1000); });
        EXPECT_EQ(TextOf(e).rfind(u"Данные не являются зашифрованными в формате PKCS#7\r\nНеполный "
                                  u"EncryptedContentInfo.encryptedContent",
                                  0),
                  0u)
            << VskTest::Utf8(TextOf(e));
        EXPECT_TRUE(decryptBlocks(data, message, message.size()) == plain);
        // A message left unfinished does not shift the next one either.
        data.DecryptStart();
        data.DecryptBlock(Blob(message.data(), message.size() - 100), false);
        EXPECT_TRUE(decryptBlocks(data, message, 1000) == plain);
    }

    // The bit without a key: refused at the start of either direction, without a step code.
    for (bool encrypt : {false, true}) {
        CEncryptedData data;
        data.DecryptSettings().getImpl()->m_flags |= CDecryptSettings::FlagUseSessionKey;
        data.EncryptSettings().getImpl()->m_flags |= CEncryptSettings::FlagUseSessionKey;
        const CError e = VskTest::Thrown([&] { encrypt ? data.EncryptStart() : data.DecryptStart(); });
        EXPECT_EQ(e.getErrorNumber(), 0u) << encrypt;
        EXPECT_EQ(TextOf(e).rfind(u"Не был задан сессионный ключ!", 0), 0u) << VskTest::Utf8(TextOf(e));
    }
}

static void FileBlockSizeCutting();

// An input longer than the file block size is taken as pieces of that size, only the last one final:
// a message in one DecryptBlock call updates the decoder once per piece, and raw ciphertext on the
// session-key road decrypts as one stream.
TEST(EncryptedData, InputsLongerThanTheFileBlockSizeAreCut) {
    if (auto e = VskTest::MaybeThrown([] { FileBlockSizeCutting(); })) FAIL() << VskTest::Utf8(e->getText());
}

static void FileBlockSizeCutting() {
    constexpr DWORD n = 4096;
    Recipient r("cut", PROV_GOST_2012_256);
    const Bytes plain = Pattern(5 * n, 8);
    const Bytes message = Encrypt({&r}, plain, 3000);
    const ContentKey content = ContentKeyOf(r, message);
    FileBlockSize size(n);
    ASSERT_EQ(Vsk::InternalUtils::GetMaxFileBlockSize(), n);

    // The message: 3n + 1 bytes of it in one call, then the rest.
    ASSERT_GT(message.size(), 3 * n + 1);
    CEncryptedData data = DecryptorWith(&r.container, nullptr, true);
    data.DecryptStart();
    Bytes out;
    {
        VskTest::LogCapture log(4);
        Append(out, data.DecryptBlock(Blob(message.data(), 3 * n + 1), false));
        EXPECT_EQ(log.count(u"CEncryptedData::CImpl::ImportBlock MsgUpdate done"), 4u);
    }
    Append(out, data.DecryptBlock(Blob(message.data() + 3 * n + 1, message.size() - 3 * n - 1), true));
    EXPECT_TRUE(out == plain);

    // Raw ciphertext of 3n + 1 bytes in one final call.
    CEncryptedData raw;
    raw.DecryptSettings().getImpl()->m_flags |= CDecryptSettings::FlagUseSessionKey;
    raw.put_SessionKey(content.key);
    raw.DecryptStart();
    const CDataBlob decrypted = raw.DecryptBlock(Blob(content.cipher.data(), 3 * n + 1), true);
    EXPECT_TRUE(Bytes(decrypted.getData(), decrypted.getData() + decrypted.getSize()) ==
                Bytes(plain.begin(), plain.begin() + 3 * n + 1));
}

namespace {

// The record of `r` carrying the key transport of `cek`, as the library writes it; with
// `byKeyIdentifier` the same record naming its recipient by a subject key identifier instead
// (version 2), which the library's recipient records do not read.
Vsk::ASN1::CNode RecordFor(const Recipient& r, const Bytes& cek, bool byKeyIdentifier) {
    using namespace Vsk::ASN1;
    const Bytes spki = ReadFile(r.base + ".spki");
    DWORD error = 0;
    const Bytes transport =
        vsk::crypt::MakeGostKeyTransport(spki.data(), spki.size(), cek.data(), cek.size(), error);
    EXPECT_FALSE(transport.empty()) << error;
    CDataBlob encryptedKey, ephemeralKey, mac, ukm, parameters;
    Vsk::Utils::CAString paramSet;
    ALG_ID algId = 0;
    CPKCS7Encrypted::parseGostR3410KeyTransport(Blob(transport.data(), transport.size()), encryptedKey,
                                                ephemeralKey, mac, ukm, paramSet, algId, parameters);
    CEncryptedDataRecipient record;
    record.MakeKeyTransRecipientInfo(*r.certificate.get_CertContext()->pCertInfo, encryptedKey, mac,
                                     ephemeralKey, ukm);
    if (!byKeyIdentifier) return record.get_RecipientInfo();
    CSequence written;
    written.decode(record.get_RecipientInfo().encode().clone());
    CSequence algorithm;
    algorithm.decode(written.getItem(2)->encode().clone());
    CSequence info;
    info.addItem(CInteger(2));
    info.addItem(CUnknown(0, 0x80, Blob(Pattern(20, 4).data(), 20)));
    info.addItem(algorithm);
    info.addItem(COctetString(record.get_EncryptedKey()));
    return info;
}

// A message of `plain` under the content key `cek` by the library's own writer, in one block.
Bytes OwnMessage(const std::vector<Vsk::ASN1::CNode>& records, const Bytes& cek, const Bytes& plain) {
    const Bytes iv = Pattern(8, 1);
    Bytes cipher(plain.size());
    DWORD error = 0;
    vsk::crypt::Gost89Cfb cfb;
    EXPECT_TRUE(cfb.init(true, cek.data(), cek.size(), iv.data(), iv.size(),
                         vsk::crypt::GOST89_PARAMSET_TC26_Z, error));
    EXPECT_TRUE(cfb.update(plain.data(), plain.size(), cipher.data(), error));
    EXPECT_TRUE(cfb.final(error));
    CPKCS7Encrypted writer;
    for (const Vsk::ASN1::CNode& record : records) writer.recipientInfos().addItem(record);
    writer.setContentEncryptionAlgorithm("", Blob(iv.data(), iv.size()), vsk::crypt::GOST89_PARAMSET_TC26_Z);
    const CDataBlob message = writer.makePKCS7Enveloped(Blob(cipher.data(), cipher.size()), true);
    return Bytes(message.getData(), message.getData() + message.getSize());
}

}  // namespace

static void UnreadableRecipient();

// A recipient record that does not read ends the message's recipient list where it stands: the
// recipients before it are searched as usual (the list names only them); one standing first leaves
// no recipient, which is the message's failure 180607.
TEST(EncryptedData, UnreadableRecipientEndsTheRecipientList) {
    if (auto e = VskTest::MaybeThrown([] { UnreadableRecipient(); })) FAIL() << VskTest::Utf8(e->getText());
}

static void UnreadableRecipient() {
    Recipient a("unreadable-a", PROV_GOST_2012_256), b("unreadable-b", PROV_GOST_2012_512);
    const Bytes cek = Pattern(32, 6), plain = Pattern(3000, 2);
    const Bytes readableFirst = OwnMessage({RecordFor(a, cek, false), RecordFor(b, cek, true)}, cek, plain);
    const Bytes unreadableFirst = OwnMessage({RecordFor(b, cek, true), RecordFor(a, cek, false)}, cek, plain);

    for (size_t piece : {size_t{0}, size_t{7}}) {
        SCOPED_TRACE(piece);
        CEncryptedData searching = DecryptorWith(nullptr, nullptr, true);
        EXPECT_TRUE(Decrypt(searching, readableFirst, piece) == plain);
        CEncryptedData byCertificate = DecryptorWith(nullptr, &a.certificate, false);
        EXPECT_TRUE(Decrypt(byCertificate, readableFirst, piece) == plain);

        CEncryptedData withB = DecryptorWith(&b.container, nullptr, true);
        const CError listed = VskTest::Thrown([&] { Decrypt(withB, readableFirst, piece); });
        EXPECT_NE(TextOf(listed).find(u"Зашифровано на сертификатах (1 шт.):\r\n - "), std::u16string::npos)
            << VskTest::Utf8(TextOf(listed));

        CEncryptedData withA = DecryptorWith(&a.container, nullptr, true);
        EXPECT_EQ(VskTest::Thrown([&] { Decrypt(withA, unreadableFirst, piece); }).getErrorNumber(), 180607u);
    }
}
