// Time stamps made offline by the openssl command (GOST R 34.10-2012 and RSA authorities whose
// certificates carry a critical timeStamping extended key usage), read and checked by the time-stamp
// client library: through its C interface, and through the loader the time stamps use, which finds
// the library by name and maps its failures to the step codes.
#include "TimeStampClient.h"

#include <vsk/pki/CryptError.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/tspClient.h>
#include <vsk/utils/file.h>

#include "testSupport.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

using Bytes = std::vector<uint8_t>;
using Vsk::PKI::CertContextPtr;
using Vsk::PKI::TSP::CClient;
using Vsk::Utils::CDataBlob;

// The authorities, their stamps over data.bin (with the imprint each request carried, as `openssl
// dgst` computes it, and OpenSSL's reading of each token), and the material of the failure cases.
const char* const kScript = R"(set -e
cd "$1"
cat > gost.cnf <<'EOF'
openssl_conf = oc
[oc]
engines = es
[es]
gost = gs
[gs]
dynamic_path = /usr/lib/x86_64-linux-gnu/engines-3/gost.so
default_algorithms = ALL
EOF
export OPENSSL_CONF="$PWD/gost.cnf"
q() { "$@" >>log.txt 2>&1; }
printf 'signature value to be stamped\n' > data.bin
printf 'signature value to be stamped!\n' > changed.bin
ext="-addext extendedKeyUsage=critical,timeStamping -addext basicConstraints=critical,CA:FALSE"
q openssl req -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout g.key -subj "/CN=GOST TSA/O=Kestrovan" -md_gost12_256 -days 365 -set_serial 10 $ext -out g.pem
q openssl req -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout o.key -subj "/CN=GOST TSA/O=Kestrovan" -md_gost12_256 -days 365 -set_serial 10 $ext -out other.pem
q openssl req -x509 -key g.key -subj "/CN=GOST TSA/O=Kestrovan" -md_gost12_256 -days 365 -set_serial 11 $ext -out samekey.pem
q openssl req -x509 -newkey rsa:2048 -nodes -keyout r.key -subj "/CN=RSA TSA/O=Kestrovan" -days 365 -set_serial 12 $ext -out r.pem
# The GOST authority names its certificate by a SHA-256 reference (signingCertificateV2), the RSA
# one by the SHA-1 reference of the first version.
for t in g r; do
  if [ $t = g ]; then md=md_gost12_256; ess=sha256; else md=sha256; ess=sha1; fi
  cat > $t.cnf <<EOF
[tsa]
default_tsa = t
[t]
serial = $t.serial
signer_cert = $t.pem
signer_key = $t.key
signer_digest = $md
default_policy = 1.2.643.100.1
digests = md_gost12_256, md_gost12_512, md_gost94, sha256
accuracy = secs:1
ess_cert_id_alg = $ess
clock_precision_digits = 3
EOF
  echo 01 > $t.serial
done
stamp() { # name authority digest [-cert]
  q openssl ts -query -data data.bin -$3 $4 -out $1.tsq
  q openssl ts -reply -config $2.cnf -queryfile $1.tsq -token_out -out $1.der
  openssl ts -reply -in $1.der -token_in -text > $1.txt 2>>log.txt
  openssl dgst -$3 -binary data.bin > $1.imprint
}
stamp g256 g md_gost12_256 -cert
stamp g512 g md_gost12_512 -cert
stamp g94 g md_gost94 -cert
stamp rsa r sha256 -cert
stamp nocert g md_gost12_256
q openssl ts -verify -data data.bin -in g256.der -token_in -CAfile g.pem
q openssl cms -sign -binary -in data.bin -signer g.pem -inkey g.key -nodetach -outform DER -out cms.der
for f in g other samekey r; do openssl x509 -in $f.pem -outform DER -out $f.der; done
)";

std::string FixtureDir() {
    static const std::string dir = [] {
        const std::string d = VskTest::TempDir() + "/tsp-fixtures";
        std::filesystem::create_directories(d);
        { std::ofstream(d + "/gen.sh") << kScript; }
        const std::string command = "bash '" + d + "/gen.sh' '" + d + "'";
        if (std::system(command.c_str()) != 0) ADD_FAILURE() << "fixture script failed: " << d << "/log.txt";
        return d;
    }();
    return dir;
}

std::string ReadText(const std::string& name) {
    std::ifstream in(FixtureDir() + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Bytes Read(const std::string& name) {
    const std::string text = ReadText(name);
    EXPECT_FALSE(text.empty()) << name;
    return Bytes(text.begin(), text.end());
}

Bytes View(const uint8_t* data, size_t size) {
    return data ? Bytes(data, data + size) : Bytes();
}

// OpenSSL's reading of a token's time: "Time stamp: Dec 11 07:41:40.835 2026 GMT".
SYSTEMTIME OpensslTime(const std::string& textFile) {
    const std::string text = ReadText(textFile);
    const size_t at = text.find("Time stamp: ");
    SYSTEMTIME st{};
    if (at == std::string::npos) {
        ADD_FAILURE() << "no time in " << textFile;
        return st;
    }
    std::istringstream line(text.substr(at + 12));
    std::string month, clock;
    int day = 0, year = 0;
    line >> month >> day >> clock >> year;
    static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; ++i)
        if (month == Months[i]) st.wMonth = static_cast<WORD>(i + 1);
    int hour = 0, minute = 0, second = 0;
    char fraction[16] = {};
    const int fields = std::sscanf(clock.c_str(), "%d:%d:%d.%9[0-9]", &hour, &minute, &second, fraction);
    EXPECT_GE(fields, 3) << clock;
    std::string milliseconds = std::string(fraction) + "000";
    st.wYear = static_cast<WORD>(year);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    st.wMilliseconds = static_cast<WORD>(std::stoi(milliseconds.substr(0, 3)));
    return st;
}

std::string Show(const SYSTEMTIME& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

const VskTspFunctions& Api() {
    static const VskTspFunctions* const functions = VskTspGetFunctions(VSK_TSP_API_VERSION);
    return *functions;
}

struct Stamp {
    Stamp() { EXPECT_EQ(VskTspStampCreate(&p), 0u); }
    ~Stamp() { VskTspStampDestroy(p); }
    VskTspStamp* p = nullptr;
};

struct Request {
    Request() { EXPECT_EQ(VskTspRequestCreate(&p), 0u); }
    ~Request() { VskTspRequestDestroy(p); }
    VskTspRequest* p = nullptr;
};

CertContextPtr Context(const Bytes& der) {
    return CertContextPtr(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                                       static_cast<DWORD>(der.size())));
}

CDataBlob Blob(const Bytes& bytes) {
    return CDataBlob(bytes.data(), bytes.size(), true);
}

// ---- Stamps of each authority and imprint hash -------------------------------------------------------

struct StampCase {
    const char* token;
    const char* authority;  // the authority's certificate file
    uint32_t algId;
};

class TspStamps : public ::testing::TestWithParam<StampCase> {};

// The library reads what OpenSSL wrote: the request's imprint hash and value, the time to the
// millisecond, the authority's certificate; the signature checks with that certificate, and the
// loader, which finds the library beside the program, gives status 0 over the stamped data.
TEST_P(TspStamps, ValuesEqualOpenssl) {
    const StampCase& c = GetParam();
    const Bytes token = Read(std::string(c.token) + ".der");
    const Bytes imprint = Read(std::string(c.token) + ".imprint");
    const Bytes data = Read("data.bin");
    const Bytes authority = Read(std::string(c.authority) + ".der");
    const SYSTEMTIME expected = OpensslTime(std::string(c.token) + ".txt");

    Stamp stamp;
    ASSERT_EQ(Api().stampLoad(stamp.p, token.data(), token.size()), 0u) << Api().stampLastError(stamp.p);
    EXPECT_EQ(Api().stampIsEmpty(stamp.p), 0);
    uint32_t algId = 0;
    ASSERT_EQ(Api().stampGetImprintAlgorithm(stamp.p, &algId), 0u);
    EXPECT_EQ(algId, c.algId);
    const uint8_t* p = nullptr;
    size_t n = 0;
    ASSERT_EQ(Api().stampGetMessageImprint(stamp.p, &p, &n), 0u);
    EXPECT_EQ(View(p, n), imprint);
    VskTspTime time{};
    ASSERT_EQ(Api().stampGetTime(stamp.p, &time), 0u);
    const SYSTEMTIME got{time.year, time.month,  time.dayOfWeek, time.day,
                         time.hour, time.minute, time.second,    time.milliseconds};
    EXPECT_EQ(Show(got), Show(expected));
    ASSERT_EQ(Api().stampGetTsaCertificate(stamp.p, &p, &n), 0u);
    EXPECT_EQ(View(p, n), authority);
    uint32_t verdict = 1;
    ASSERT_EQ(Api().stampVerifySignature(stamp.p, authority.data(), authority.size(), &verdict), 0u)
        << Api().stampLastError(stamp.p);
    EXPECT_EQ(verdict, 0u);

    // The request hashes block by block what it is given.
    Request request;
    ASSERT_EQ(Api().requestSetImprintAlgorithm(request.p, c.algId), 0u);
    ASSERT_EQ(Api().requestGetImprint(request.p, &p, &n), 0u);
    EXPECT_EQ(n, 0u) << "an imprint before any data";
    ASSERT_EQ(Api().requestAddData(request.p, data.data(), 7), 0u);
    ASSERT_EQ(Api().requestGetImprint(request.p, &p, &n), 0u);
    EXPECT_NE(View(p, n), imprint);
    ASSERT_EQ(Api().requestAddData(request.p, data.data() + 7, data.size() - 7), 0u);
    ASSERT_EQ(Api().requestGetImprint(request.p, &p, &n), 0u);
    EXPECT_EQ(View(p, n), imprint);

    CClient client;
    client.open();
    EXPECT_EQ(VskTest::Utf8(client.getModuleName()),
              VskTest::Utf8(Vsk::InternalUtils::GetModuleFolder()) + VSK_TSP_LIBRARY_NAME);
    client.import(Blob(token));
    client.addData(Blob(data));
    CertContextPtr used;
    EXPECT_EQ(client.verify(nullptr, &used), 0u);
    ASSERT_TRUE(used);
    EXPECT_EQ(View(used->pbCertEncoded, used->cbCertEncoded), authority);
    SYSTEMTIME viaLoader{};
    ASSERT_TRUE(client.getTime(&viaLoader));
    EXPECT_EQ(Show(viaLoader), Show(expected));
    EXPECT_EQ(viaLoader.wDayOfWeek, time.dayOfWeek);
}

INSTANTIATE_TEST_SUITE_P(Authorities, TspStamps,
                         ::testing::Values(StampCase{"g256", "g", CALG_GR3411_2012_256},
                                           StampCase{"g512", "g", CALG_GR3411_2012_512},
                                           StampCase{"g94", "g", CALG_GR3411},
                                           StampCase{"rsa", "r", CALG_SHA_256}),
                         [](const auto& info) { return std::string(info.param.token); });

// ---- Verification results ---------------------------------------------------------------------------

TEST(TspVerify, ResultsOfTheCheck) {
    struct Case {
        const char* name;
        const char* token;
        const char* data;         // added to the request; none when null
        const char* certificate;  // the settings' certificate; none when null
        DWORD expected;
    };
    const Case cases[] = {
        {"stamped data", "g256", "data.bin", nullptr, 0},
        {"changed data", "g256", "changed.bin", nullptr, 201},
        {"no data added: no imprint compared", "g256", nullptr, nullptr, 0},
        {"another authority's key", "g256", "data.bin", "other.der", 202},
        {"same key, a certificate the stamp does not name", "g256", "data.bin", "samekey.der", 202},
        {"RSA stamp, GOST certificate", "rsa", "data.bin", "g.der", 202},
        {"no certificate in the stamp or the settings", "nocert", "data.bin", nullptr, 203},
        {"the settings' certificate", "nocert", "data.bin", "g.der", 0},
        {"imprint checked before the certificate", "nocert", "changed.bin", nullptr, 201},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CClient client;
        client.open();
        client.import(Blob(Read(std::string(c.token) + ".der")));
        if (c.data) client.addData(Blob(Read(c.data)));
        CertContextPtr settings;
        if (c.certificate) {
            settings = Context(Read(c.certificate));
            ASSERT_TRUE(settings);
        }
        EXPECT_EQ(client.verify(settings.get()), c.expected);
    }
}

// ---- Tokens the library refuses -----------------------------------------------------------------------

// The first place of `pattern` in `bytes`; fails the test when there is none.
size_t Find(const Bytes& bytes, const Bytes& pattern) {
    const auto at = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end());
    EXPECT_NE(at, bytes.end());
    return at == bytes.end() ? 0 : static_cast<size_t>(at - bytes.begin());
}

// Where the genTime's text ("YYYYMMDDhhmmss[.f[f[f]]]Z": OpenSSL drops the trailing zeros of the
// fraction) begins inside the TSTInfo, and its length.
std::pair<size_t, size_t> GenTimeText(const Bytes& token) {
    for (uint8_t length : {0x13, 0x12, 0x11, 0x0F}) {
        const Bytes header{0x18, length, '2', '0'};
        const auto at = std::search(token.begin(), token.end(), header.begin(), header.end());
        if (at != token.end()) return {static_cast<size_t>(at - token.begin()) + 2, length};
    }
    ADD_FAILURE() << "no genTime";
    return {0, 1};
}

TEST(TspLoad, MalformedTokensRefused) {
    const Bytes good = Read("g256.der");
    struct Case {
        const char* name;
        std::function<Bytes()> make;
        uint32_t code;
    };
    const Case cases[] = {
        {"empty", [] { return Bytes(); }, static_cast<uint32_t>(E_INVALIDARG)},
        {"not DER",
         [] {
             return Bytes{'h', 'e', 'l', 'l', 'o'};
         },
         CRYPT_E_ASN1_CORRUPT},
        {"last byte missing", [&] { return Bytes(good.begin(), good.end() - 1); }, CRYPT_E_ASN1_CORRUPT},
        {"a byte after the token",
         [&] {
             Bytes b = good;
             b.push_back(0);
             return b;
         },
         CRYPT_E_ASN1_CORRUPT},
        {"signed data that is no stamp", [] { return Read("cms.der"); }, CRYPT_E_ASN1_CORRUPT},
        {"TSTInfo version 2",
         [&] {
             Bytes b = good;
             b[Find(b, {0x02, 0x01, 0x01, 0x06, 0x05, 0x2A, 0x85, 0x03, 0x64, 0x01}) + 2] = 2;
             return b;
         },
         CRYPT_E_ASN1_CORRUPT},
        {"imprint hash unknown",
         [&] {
             Bytes b = good;
             // The messageImprint (the signer's digest algorithm has the same OID, not in a 0x30 long
             // SEQUENCE).
             b[Find(b, {0x30, 0x30, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02}) +
               13] = 9;
             return b;
         },
         CRYPT_E_UNKNOWN_ALGO},
        {"genTime without its zone",
         [&] {
             Bytes b = good;
             const auto [at, length] = GenTimeText(b);
             b[at + length - 1] = '0';
             return b;
         },
         CRYPT_E_ASN1_CORRUPT},
        {"genTime month 13",
         [&] {
             Bytes b = good;
             const size_t at = GenTimeText(b).first;
             b[at + 4] = '1';
             b[at + 5] = '3';
             return b;
         },
         CRYPT_E_ASN1_CORRUPT},
        {"nesting beyond the codec's limit",
         [] {
             // SEQUENCEs of definite length, each holding the next, around a NULL.
             Bytes b{0x05, 0x00};
             for (int i = 0; i < 100; ++i) {
                 Bytes header{0x30};
                 if (b.size() < 0x80)
                     header.push_back(static_cast<uint8_t>(b.size()));
                 else
                     header.insert(header.end(), {0x82, static_cast<uint8_t>(b.size() >> 8),
                                                  static_cast<uint8_t>(b.size())});
                 b.insert(b.begin(), header.begin(), header.end());
             }
             return b;
         },
         CRYPT_E_ASN1_CORRUPT},
    };
    Stamp stamp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Api().stampLoad(stamp.p, good.data(), good.size()), 0u);
        const Bytes bad = c.make();
        EXPECT_EQ(Api().stampLoad(stamp.p, bad.data(), bad.size()), c.code);
        EXPECT_NE(std::strlen(Api().stampLastError(stamp.p)), 0u);
        // The token loaded before is gone, and the questions about one fail instead of answering.
        EXPECT_EQ(Api().stampIsEmpty(stamp.p), 1);
        VskTspTime time{};
        EXPECT_NE(Api().stampGetTime(stamp.p, &time), 0u);
        uint32_t verdict = 0;
        const Bytes certificate = Read("g.der");
        EXPECT_NE(Api().stampVerifySignature(stamp.p, certificate.data(), certificate.size(), &verdict), 0u);
    }
}

TEST(TspLimits, OversizedTokenRefused) {
    // A SEQUENCE header declaring one byte more than the limit, and the bytes to fill it.
    constexpr size_t limit = 1 << 20;
    Bytes big(limit + 6, 0);
    const uint32_t length = static_cast<uint32_t>(limit + 1);
    big[0] = 0x30;
    big[1] = 0x84;
    for (int i = 0; i < 4; ++i) big[2 + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
    Stamp stamp;
    EXPECT_EQ(Api().stampLoad(stamp.p, big.data(), big.size()), CRYPT_E_ASN1_LARGE);
}

TEST(TspRequest, UnknownHashRefused) {
    Request request;
    EXPECT_EQ(Api().requestSetImprintAlgorithm(request.p, CALG_MD5), NTE_BAD_ALGID);
    uint32_t algId = 0;
    ASSERT_EQ(Api().requestGetImprintAlgorithm(request.p, &algId), 0u);
    EXPECT_EQ(algId, CALG_GR3411_2012_256) << "a refused algorithm is not taken";
}

// ---- The loader's step codes and the missing library --------------------------------------------------

TEST(TspLoader, FailuresBecomeStepCodes) {
    CClient client;
    client.open();
    client.import(Blob(Read("g256.der")));
    ASSERT_FALSE(client.isEmpty());

    const Vsk::Utils::CError import = VskTest::Thrown([&] { client.import(Blob(Bytes{0x30, 0x03, 0x02})); });
    EXPECT_EQ(import.getErrorNumber(), 120101u);
    EXPECT_NE(VskTest::Utf8(import.getText()).find(VskTest::Utf8(u8"штампа времени")), std::string::npos)
        << VskTest::Utf8(import.getText());
    EXPECT_TRUE(client.isEmpty()) << "a failed import clears the stamp";
    SYSTEMTIME time{};
    time.wYear = 1999;
    EXPECT_FALSE(client.getTime(&time));
    EXPECT_EQ(time.wYear, 1999) << "the time is left as it was";

    const Vsk::Utils::CError verify = VskTest::Thrown([&] { client.verify(nullptr); });
    EXPECT_EQ(verify.getErrorNumber(), 120001u);
}

TEST(TspLoader, LibraryThatCannotBeUsed) {
    VskTest::TempFolder folder("tsp-");
    const std::string notElf = (folder / "libNotALibrary.so").string();
    { std::ofstream(notElf) << "not a shared object"; }
    struct Case {
        const char* name;
        std::u16string module;
        int32_t code;
    };
    const Case cases[] = {
        // The loader's own account of a module it cannot find anywhere: the file is not found.
        {"absent", u"libVskTspClientAbsent.so", ERROR_FILE_NOT_FOUND},
        {"not a shared object", VskTest::Utf16(notElf), ERROR_BAD_EXE_FORMAT},
        {"a library without the entry points", u"libz.so.1", ERROR_PROC_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CClient client(c.module.c_str());
        const Vsk::Utils::CError error = VskTest::Thrown([&] { client.open(); });
        EXPECT_EQ(error.getCode(), c.code) << VskTest::Utf8(error.getText());
        // Without the library the signer is read with no stamp; the operations fail with their
        // step codes instead of reaching for a library that is not there.
        EXPECT_TRUE(client.isEmpty());
        SYSTEMTIME time{};
        EXPECT_FALSE(client.getTime(&time));
        EXPECT_EQ(VskTest::Thrown([&] { client.import(Blob(Read("g256.der"))); }).getErrorNumber(), 120101u);
        EXPECT_EQ(VskTest::Thrown([&] { client.addData(Blob(Read("data.bin"))); }).getErrorNumber(), 121101u);
        EXPECT_EQ(VskTest::Thrown([&] { client.verify(nullptr); }).getErrorNumber(), 120001u);
    }
}

}  // namespace
