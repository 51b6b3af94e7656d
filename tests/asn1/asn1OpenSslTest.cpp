// Differential tests against OpenSSL on certificates, CRLs, keys and CMS messages that the openssl
// command makes at test time (RSA and GOST), and on the system's CA bundle: the tree structure must
// equal what `openssl asn1parse` prints, values must equal OpenSSL's, and parse-then-write of DER
// input must give the input back.
#include "asn1TestUtil.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <vsk/utils/base64.h>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

using namespace Vsk::ASN1;
using namespace asn1test;
namespace fs = std::filesystem;

namespace {

enum class Kind { Certificate, Crl, Cms, Other };

struct Fixture {
    std::string name;
    std::string path;
    Kind kind;
    bool der;  // definite lengths only
};

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

CDataBlob readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return CDataBlob(bytes.data(), bytes.size(), true);
}

class Asn1OpenSsl : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        dir = VskTest::MakeTempFolder("asn1-").string();
        // Fixtures: an RSA CA and a GOST CA, each with a certificate, a CRL with one revoked entry,
        // and signed messages in DER and streamed BER form; the keys as PKCS#8 and SPKI.
        std::string script = R"(
set -e
cd ")" + dir + R"("
exec 2>log.txt
printf 'hello, streamed world\n%.0s' $(seq 1 200) > data.txt
cat > ca.cnf <<'EOF'
[ca]
default_ca = d
[d]
database = index.txt
crlnumber = crlnumber
default_md = sha256
default_crl_days = 30
EOF
touch index.txt; echo 01 > crlnumber
openssl req -x509 -newkey rsa:2048 -nodes -keyout rsa.key -subj "/CN=Kestrovan RSA/O=Test" -days 30 -out rsa.pem
openssl x509 -in rsa.pem -outform DER -out rsa_cert.der
openssl req -x509 -newkey rsa:2048 -nodes -keyout leaf.key -subj "/CN=Leaf" -days 30 -out leaf.pem
openssl ca -config ca.cnf -revoke leaf.pem -keyfile rsa.key -cert rsa.pem
openssl ca -config ca.cnf -gencrl -keyfile rsa.key -cert rsa.pem -out rsa_crl.pem
openssl crl -in rsa_crl.pem -outform DER -out rsa_crl.der
openssl cms -sign -in data.txt -signer rsa.pem -inkey rsa.key -nodetach -outform DER -out rsa_cms.der
openssl cms -sign -in data.txt -signer rsa.pem -inkey rsa.key -nodetach -stream -outform DER -out rsa_cms_stream.ber
openssl pkcs8 -topk8 -nocrypt -in rsa.key -outform DER -out rsa_pkcs8.der
openssl pkey -in rsa.key -pubout -outform DER -out rsa_spki.der
if openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out gost.key; then
  openssl req -x509 -engine gost -key gost.key -subj "/CN=Kestrovan GOST/O=Test" -days 30 -out gost.pem
  openssl x509 -in gost.pem -outform DER -out gost_cert.der
  openssl ca -engine gost -config ca.cnf -gencrl -keyfile gost.key -cert gost.pem -md md_gost12_256 -out gost_crl.pem
  openssl crl -in gost_crl.pem -outform DER -out gost_crl.der
  openssl cms -engine gost -sign -in data.txt -signer gost.pem -inkey gost.key -nodetach -outform DER -out gost_cms.der
fi
)";
        std::ofstream(dir + "/make.sh") << script;
        ASSERT_EQ(std::system(("sh " + dir + "/make.sh").c_str()), 0) << run("cat " + dir + "/log.txt");
        for (const auto& entry : fs::directory_iterator(dir)) {
            std::string name = entry.path().filename().string();
            std::string ext = entry.path().extension().string();
            if (ext != ".der" && ext != ".ber") continue;
            Kind kind = name.find("_cert") != std::string::npos  ? Kind::Certificate
                        : name.find("_crl") != std::string::npos ? Kind::Crl
                        : name.find("_cms") != std::string::npos ? Kind::Cms
                                                                 : Kind::Other;
            fixtures.push_back({name, entry.path().string(), kind, ext == ".der"});
        }
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        if (!dir.empty()) fs::remove_all(dir, ec);
    }

    static std::string dir;
    static std::vector<Fixture> fixtures;
};

std::string Asn1OpenSsl::dir;
std::vector<Fixture> Asn1OpenSsl::fixtures;

// One line of `openssl asn1parse`: offset, depth, header length, length (-1 for inf), form.
struct Line {
    size_t offset;
    unsigned depth, header;
    long long length;
    bool constructed;
    bool operator==(const Line&) const = default;
};

std::string show(const std::vector<Line>& lines, size_t at) {
    std::ostringstream os;
    for (size_t i = at > 2 ? at - 2 : 0; i < lines.size() && i < at + 3; ++i)
        os << lines[i].offset << ":d=" << lines[i].depth << " hl=" << lines[i].header
           << " l=" << lines[i].length << (lines[i].constructed ? " cons" : " prim") << "\n";
    return os.str();
}

std::vector<Line> oracle(const std::string& path) {
    std::vector<Line> lines;
    std::istringstream in(run("openssl asn1parse -inform DER -in '" + path + "'"));
    std::string text;
    while (std::getline(in, text)) {
        size_t d = text.find(":d="), hl = text.find("hl="), l = text.find(" l=");
        bool cons = text.find("cons:") != std::string::npos;
        if (d == std::string::npos || hl == std::string::npos || l == std::string::npos) continue;
        if (text.find("EOC") != std::string::npos) continue;
        Line line{};
        line.offset = std::stoull(text.substr(0, d));
        line.depth = static_cast<unsigned>(std::stoul(text.substr(d + 3)));
        line.header = static_cast<unsigned>(std::stoul(text.substr(hl + 3)));
        std::string len = text.substr(l + 3);
        len.erase(0, len.find_first_not_of(' '));
        line.length = len.rfind("inf", 0) == 0 ? -1 : std::stoll(len);
        line.constructed = cons;
        lines.push_back(line);
    }
    return lines;
}

// Our tree in the same form, every level parsed on the way; values are checked against OpenSSL's.
void walk(CNode* node, unsigned depth, const BYTE* base, std::vector<Line>& out) {
    CDataBlob raw = node->getRawEncoding();
    CDataBlob contents = node->getContents();
    Line line{};
    line.offset = static_cast<size_t>(raw.getData() - base);
    line.depth = depth;
    line.constructed = (raw.getData()[0] & 0x20) != 0;
    if (node->isIndefinite()) {
        line.length = -1;
        line.header = static_cast<unsigned>(raw.getSize() - contents.getSize() - 2);
    } else {
        line.length = contents.getSize();
        line.header = static_cast<unsigned>(raw.getSize() - contents.getSize());
    }
    out.push_back(line);

    if (node->getClass() == 0 && node->getTag() == 6) {
        const unsigned char* p = raw.getData();
        ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &p, raw.getSize());
        ASSERT_NE(obj, nullptr);
        char text[256];
        OBJ_obj2txt(text, sizeof text, obj, 1);
        ASN1_OBJECT_free(obj);
        EXPECT_EQ(castToObjectId(node)->getValue().toStd(), text);
    }
    if (node->getClass() == 0 && node->getTag() == 2) {
        const unsigned char* p = raw.getData();
        ASN1_INTEGER* integer = d2i_ASN1_INTEGER(nullptr, &p, raw.getSize());
        ASSERT_NE(integer, nullptr);
        BIGNUM* bn = ASN1_INTEGER_to_BN(integer, nullptr);
        char* text = BN_bn2hex(bn);
        // Our value is least significant first; OpenSSL's hex has no leading zeros.
        CDataBlob value = castToInteger(node)->getValue();
        std::string ours;
        static const char digits[] = "0123456789ABCDEF";
        for (size_t i = value.getSize(); i-- > 0;) {
            ours += digits[value.getData()[i] >> 4];
            ours += digits[value.getData()[i] & 15];
        }
        auto trim = [](std::string h) {
            return h.erase(0, std::min(h.find_first_not_of('0'), h.size() - 1));
        };
        if (!BN_is_negative(bn)) {
            EXPECT_EQ(trim(ours), trim(text));
        }
        OPENSSL_free(text);
        BN_free(bn);
        ASN1_INTEGER_free(integer);
    }
    if (node->getClass() == 0 && (node->getTag() == 23 || node->getTag() == 24)) {
        const unsigned char* p = raw.getData();
        ASN1_TIME* t = d2i_ASN1_TIME(nullptr, &p, raw.getSize());
        ASSERT_NE(t, nullptr);
        struct tm tm {};
        int converted = ASN1_TIME_to_tm(t, &tm);
        ASN1_TIME_free(t);
        ASSERT_EQ(converted, 1);
        SYSTEMTIME st = node->getTag() == 23 ? static_cast<CUTCTime*>(node)->getSystemTime()
                                             : static_cast<CGeneralizedTime*>(node)->getSystemTime();
        EXPECT_EQ(st.wYear, tm.tm_year + 1900);
        EXPECT_EQ(st.wMonth, tm.tm_mon + 1);
        EXPECT_EQ(st.wDay, tm.tm_mday);
        EXPECT_EQ(st.wHour, tm.tm_hour);
        EXPECT_EQ(st.wMinute, tm.tm_min);
        EXPECT_EQ(st.wSecond, tm.tm_sec);
    }
    if (auto* c = castToConstructed(node))
        for (size_t i = 0; i < c->getCount(); ++i) walk(c->getItem(i), depth + 1, base, out);
}

// Makes every constructed node rebuild itself from its children, bottom-up.
void forceReencode(CNode* node) {
    if (auto* c = castToConstructed(node)) {
        for (size_t i = 0; i < c->getCount(); ++i) {
            forceReencode(c->getItem(i));
            c->setItem(i, *c->getItem(i));
        }
    }
}

void compareWithOpenSsl(const std::string& name, const std::string& path, Kind kind, bool der) {
    SCOPED_TRACE(name);
    CDataBlob input = readFile(path);
    ASSERT_GT(input.getSize(), 0u);
    CSequence top;
    ASSERT_EQ(top.decode(input), 0u);

    std::vector<Line> ours;
    walk(&top, 0, input.getData(), ours);
    std::vector<Line> theirs = oracle(path);
    ASSERT_FALSE(theirs.empty());
    EXPECT_EQ(ours.size(), theirs.size());
    for (size_t i = 0; i < ours.size() && i < theirs.size(); ++i)
        ASSERT_EQ(ours[i], theirs[i]) << "line " << i << "\nours:\n"
                                      << show(ours, i) << "openssl:\n"
                                      << show(theirs, i);

    EXPECT_EQ(top.encode(), input);
    forceReencode(&top);
    EXPECT_TRUE(top.isModified() || castToConstructed(&top) == nullptr);
    CDataBlob rebuilt = top.encode();
    EXPECT_EQ(rebuilt, input);

    const unsigned char* p = rebuilt.getData();
    long size = static_cast<long>(rebuilt.getSize());
    unsigned char* back = nullptr;
    int backSize = -1;
    if (kind == Kind::Certificate) {
        X509* x = d2i_X509(nullptr, &p, size);
        ASSERT_NE(x, nullptr);
        backSize = i2d_X509(x, &back);
        X509_free(x);
    } else if (kind == Kind::Crl) {
        X509_CRL* x = d2i_X509_CRL(nullptr, &p, size);
        ASSERT_NE(x, nullptr);
        backSize = i2d_X509_CRL(x, &back);
        X509_CRL_free(x);
    } else if (kind == Kind::Cms) {
        CMS_ContentInfo* x = d2i_CMS_ContentInfo(nullptr, &p, size);
        ASSERT_NE(x, nullptr);
        backSize = i2d_CMS_ContentInfo(x, &back);
        CMS_ContentInfo_free(x);
    }
    if (back) {
        if (der) {
            EXPECT_EQ(CDataBlob(back, static_cast<size_t>(backSize), true), rebuilt);
        }
        OPENSSL_free(back);
    }
}

TEST_F(Asn1OpenSsl, GeneratedFixtures) {
    ASSERT_GE(fixtures.size(), 6u);
    // With the GOST engine installed the GOST certificate, CRL and message are part of the corpus.
    if (run("openssl engine gost 2>&1").find("(gost)") != std::string::npos) {
        size_t gost = 0;
        for (const auto& f : fixtures) gost += f.name.rfind("gost", 0) == 0;
        EXPECT_EQ(gost, 3u);
    }
    for (const auto& f : fixtures) compareWithOpenSsl(f.name, f.path, f.kind, f.der);
}

// The system's CA bundle, read from its PEM text by our Base64 decoder and compared with OpenSSL's
// reading of the same certificates.
TEST_F(Asn1OpenSsl, SystemCaBundle) {
    const char* bundle = "/etc/ssl/certs/ca-certificates.crt";
    if (!fs::exists(bundle)) GTEST_SKIP() << "no CA bundle";
    CDataBlob all = readFile(bundle);
    std::string text(reinterpret_cast<const char*>(all.getData()), all.getSize());
    const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    size_t count = 0;
    for (size_t at = text.find(begin); at != std::string::npos && count < 400;
         at = text.find(begin, at + 1)) {
        size_t stop = text.find(end, at);
        ASSERT_NE(stop, std::string::npos);
        std::string pem = text.substr(at, stop + end.size() - at) + "\n";
        CDataBlob der = Vsk::Utils::Base64Dec(CDataBlob(pem.data(), pem.size(), true));
        const unsigned char* p = der.getData();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.getSize()));
        ASSERT_NE(x, nullptr) << "certificate " << count;
        X509_free(x);
        std::string path = dir + "/ca" + std::to_string(count) + ".der";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(der.getData()), der.getSize());
        compareWithOpenSsl("CA certificate " + std::to_string(count), path, Kind::Certificate, true);
        ++count;
    }
    EXPECT_GT(count, 10u);
}

// Trees built in memory encode to what `openssl asn1parse -genstr/-genconf` makes of the same values.
TEST_F(Asn1OpenSsl, WriterAgreesWithGenstr) {
    auto genstr = [](const std::string& text) {
        std::string out = dir + "/genstr.der";
        fs::remove(out);
        std::system(
            ("openssl asn1parse -genstr '" + text + "' -noout -out '" + out + "' >/dev/null 2>&1").c_str());
        return readFile(out);
    };
    struct Row {
        std::string text;
        CNode node;
    };
    const Row rows[] = {
        {"INTEGER:0", CInteger(0)},
        {"INTEGER:128", CInteger(128)},
        {"INTEGER:-129", CInteger(-129)},
        {"INTEGER:2147483647", CInteger(2147483647)},
        {"INTEGER:-2147483648", CInteger(INT32_MIN)},
        {"BOOLEAN:TRUE", CBoolean(true)},
        {"NULL", CNull()},
        {"OID:1.2.840.113549", CObjectId(CAString("1.2.840.113549"))},
        {"OID:2.999.3", CObjectId(CAString("2.999.3"))},
        {"OID:1.2.643.7.1.1.3.2", CObjectId(CAString("1.2.643.7.1.1.3.2"))},
        {"BMPSTRING:AB", CBMPString(Vsk::Utils::CWString(u"AB"))},
        // The openssl command line takes UTF-8.
        {"FORMAT:UTF8,UTF8String:\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
         CUTF8String(Vsk::Utils::CWString(u"Привет"))},
        {"IA5STRING:user@example.org", CIA5String(CAString("user@example.org"))},
        {"FORMAT:BITLIST,BITSTRING:0,3,9", CBitString(hex("90 40"), 10)},
        {"UTCTIME:991231235959Z", CUTCTime(CAString("991231235959Z"))},
        {"GENTIME:20240229123456Z", CGeneralizedTime(CAString("20240229123456Z"))},
        {"IMPLICIT:0C,OCTETSTRING:ab", CUnknown(0, 0x80, hex("61 62"))},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        CDataBlob expected = genstr(row.text);
        ASSERT_GT(expected.getSize(), 0u);
        EXPECT_EQ(hexOf(row.node.encode()), hexOf(expected));
    }

    // Lengths around the short and long forms, in a SEQUENCE holding one OCTET STRING.
    for (size_t n : {0u, 125u, 126u, 127u, 128u, 253u, 254u, 255u, 256u, 65536u}) {
        SCOPED_TRACE(n);
        std::string conf = dir + "/genconf.cnf", out = dir + "/genconf.der";
        // openssl refuses an empty hexadecimal text: the empty value is given as text.
        std::ofstream(conf) << "asn1=SEQUENCE:s\n[s]\nf=" << (n ? "FORMAT:HEX," : "")
                            << "OCTETSTRING:" << std::string(2 * n, 'A') << "\n";
        fs::remove(out);
        std::system(
            ("openssl asn1parse -genconf '" + conf + "' -noout -out '" + out + "' >/dev/null 2>&1").c_str());
        std::string bytes(n, '\xAA');
        CSequence seq;
        seq.addItem(COctetString(CDataBlob(bytes.data(), bytes.size(), true)));
        CDataBlob expected = readFile(out);
        ASSERT_GT(expected.getSize(), 0u);
        CDataBlob ours = seq.encode();
        EXPECT_EQ(ours.getSize(), expected.getSize());
        EXPECT_EQ(hexOf(ours.getBlock(0, std::min<size_t>(8, ours.getSize()))),
                  hexOf(expected.getBlock(0, std::min<size_t>(8, expected.getSize()))));
        EXPECT_EQ(ours, expected);
    }
}

// Structure as OpenSSL's header reader sees it: every TLV within its parent, constructed ones
// descended into; -1 when an indefinite length leaves it undecided.
int opensslStructure(const unsigned char* p, long len, int depth) {
    if (depth > 64) return -1;
    while (len > 0) {
        const unsigned char* q = p;
        long length = 0;
        int tag = 0, cls = 0;
        int ret = ASN1_get_object(&q, &length, &tag, &cls, len);
        if (ret & 0x80) return 0;
        if (ret & 0x01) return -1;
        long header = static_cast<long>(q - p);
        if (ret & 0x20) {
            int inner = opensslStructure(q, length, depth + 1);
            if (inner != 1) return inner;
        }
        p = q + length;
        len -= header + length;
    }
    return 1;
}

bool ourStructure(const CDataBlob& data) {
    try {
        CSequence top;
        if (top.decode(data) != 0 || top.isIncomplete()) return false;
        std::vector<Line> lines;
        walk(&top, 0, data.getData(), lines);
        return true;
    } catch (const Vsk::Utils::CError&) {
        return false;
    }
}

// One-byte changes of a certificate: what OpenSSL's reader refuses we refuse, and what we accept it
// accepts. We are stricter on contents (BOOLEAN, NULL, BIT STRING, OID, time and BMPString rules)
// and refuse high tag numbers, so a refusal of ours alone is no mismatch.
TEST_F(Asn1OpenSsl, MutationsAgreeWithAsn1GetObject) {
    CDataBlob cert = readFile(dir + "/rsa_cert.der");
    ASSERT_GT(cert.getSize(), 0u);
    size_t accepted = 0, refused = 0;
    for (size_t i = 0; i < cert.getSize(); ++i) {
        for (unsigned char delta : {0x01, 0x10, 0x80, 0xFF}) {
            CDataBlob mutated = cert.clone();
            mutated.getData()[i] ^= delta;
            int theirs = opensslStructure(mutated.getData(), static_cast<long>(mutated.getSize()), 0);
            if (theirs < 0) continue;
            // Value checks of the walk compare with OpenSSL's readers, which a mutation may break.
            bool ours = false;
            {
                ::testing::TestPartResultArray ignored;
                ::testing::ScopedFakeTestPartResultReporter quiet(
                    ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &ignored);
                ours = ourStructure(mutated);
            }
            if (theirs == 0) {
                EXPECT_FALSE(ours) << "byte " << i << " ^ " << int(delta);
                ++refused;
            } else if (ours) {
                ++accepted;
            }
        }
    }
    EXPECT_GT(accepted, 100u);
    EXPECT_GT(refused, 100u);
}

// Every prefix of a certificate: OpenSSL's header reader reports the object as too long exactly
// when we wait for more data.
TEST_F(Asn1OpenSsl, PrefixesAgreeWithAsn1GetObject) {
    CDataBlob cert = readFile(dir + "/rsa_cert.der");
    ASSERT_GT(cert.getSize(), 0u);
    for (size_t k = 1; k < cert.getSize(); k += 7) {
        SCOPED_TRACE(k);
        const unsigned char* p = cert.getData();
        long length = 0;
        int tag = 0, cls = 0;
        int ret = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(k));
        EXPECT_TRUE(ret & 0x80);
        CNode node;
        size_t left = node.decode(cert.getBlock(0, k));
        EXPECT_TRUE(node.isIncomplete() || left == k);
    }
}

}  // namespace
