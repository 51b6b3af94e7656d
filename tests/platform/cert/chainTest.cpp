// Chain building, revocation and chain policies, on hierarchies made at test time with openssl and
// the GOST engine (GOST R 34.10-2012 256 and 512, RSA-2048): root, intermediate (path length 0) and
// leaves of every kind of fault; `openssl verify -crl_check_all` says what it thinks of the same files.
#include <gtest/gtest.h>
#include <vsk/platform/diagnostics.h>
#include <vsk/platform/kernel.h>

#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "coreFixtures.h"
#include "httpTestServer.h"
#include "testSupport.h"

namespace {

using Bytes = std::vector<BYTE>;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// ---- Fixtures -----------------------------------------------------------------------------------------

// One hierarchy per key kind, in <folder>/<kind>: root, inter (path length 0, CDP root.crl), sub
// (a CA under inter, which inter's path length forbids), fake (a self-signed "Inter" with another
// key), leaves issued by inter (CDP inter.crl unless said otherwise) and CRLs. Leaves share one key.
const char* const kScript = R"SH(set -e
cd "$1"
K=$2
case $K in
  g256) ENG="-engine gost"; NEWKEY="-newkey gost2012_256 -pkeyopt paramset:A"; MD=md_gost12_256;;
  g512) ENG="-engine gost"; NEWKEY="-newkey gost2012_512 -pkeyopt paramset:A"; MD=md_gost12_512;;
  rsa) ENG=""; NEWKEY="-newkey rsa:2048"; MD=sha256;;
esac
q() { out=$("$@" 2>&1) || { echo "failed: $* : $out" >&2; exit 1; }; }
when() { date -u -d "$1" +%Y%m%d%H%M%SZ; }
hex() { printf %s "$1" | od -An -tx1 -v | tr -d ' \n' | sed 's/../&:/g;s/:$//'; }
URL=http://127.0.0.1:1/$K
mkdir -p $K && cd $K
cat > ext.cnf <<EOC
[root_req]
distinguished_name = dn
x509_extensions = root_ext
prompt = no
[dn]
CN = Root $K
[root_ext]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[fake_req]
distinguished_name = fake_dn
x509_extensions = root_ext
prompt = no
[fake_dn]
CN = Inter $K
[inter_ext]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:$URL/root.crl
[sub_ext]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:$URL/inter.crl
[leaf_ext]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:$URL/inter.crl
[deep_ext]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
crlDistributionPoints = URI:$URL/sub.crl
[nocdp_ext]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
[unknown_ext]
keyUsage = critical,digitalSignature
crlDistributionPoints = URI:$URL/inter.crl
1.2.3.4.5.6.7 = critical,DER:05:00
[russian_ext]
keyUsage = critical,digitalSignature
crlDistributionPoints = URI:$URL/inter.crl
1.2.643.100.111 = critical,ASN1:UTF8String:Sign tool
1.2.643.100.114 = critical,ASN1:INTEGER:0
[pkupold_ext]
keyUsage = critical,digitalSignature
crlDistributionPoints = URI:$URL/inter.crl
2.5.29.16 = DER:30:22:80:0f:$(hex 20200101000000Z):81:0f:$(hex 20210101000000Z)
[pkupnew_ext]
keyUsage = critical,digitalSignature
crlDistributionPoints = URI:$URL/inter.crl
2.5.29.16 = DER:30:11:80:0f:$(hex 20900101000000Z)
[nosign_ext]
keyUsage = critical,keyAgreement
crlDistributionPoints = URI:$URL/inter.crl
EOC
cadb() {
  mkdir -p db-$1; : > db-$1/index.txt; echo 1000 > db-$1/serial; echo 01 > db-$1/crlnumber
  cat > $1.cnf <<EOC
[ca]
default_ca = d
[d]
database = db-$1/index.txt
serial = db-$1/serial
crlnumber = db-$1/crlnumber
new_certs_dir = db-$1
certificate = $1.pem
private_key = $1.key
default_md = $MD
policy = any
unique_subject = no
email_in_dn = no
[any]
commonName = supplied
EOC
}
csr() { q openssl req $ENG -new $NEWKEY -nodes -keyout $1.key -subj "/CN=$2" -out $1.csr; }
leafcsr() { q openssl req $ENG -new -key leaf.key -subj "/CN=$2" -out $1.csr; }
issue() { q openssl ca $ENG -batch -config $2.cnf -extfile ext.cnf -extensions $3 -in $1.csr -out $1.pem -startdate $4 -enddate $5 -notext; }
NOW=$(when '-1 day'); END=$(when '+1 year')
q openssl req $ENG -x509 -new $NEWKEY -nodes -keyout root.key -config ext.cnf -section root_req -days 3650 -$MD -out root.pem
cadb root
csr inter "Inter $K"; issue inter root inter_ext $NOW $END
cadb inter
csr sub "Sub $K"; issue sub inter sub_ext $NOW $END
cadb sub
q openssl req $ENG -x509 -new $NEWKEY -nodes -keyout fake.key -config ext.cnf -section fake_req -days 3650 -$MD -out fake.pem
cadb fake
q openssl req $ENG -new $NEWKEY -nodes -keyout leaf.key -subj "/CN=unused" -out unused.csr
for l in good revoked badsig; do leafcsr $l "Leaf $l $K"; issue $l inter leaf_ext $NOW $END; done
leafcsr expired "Leaf expired $K"; issue expired inter leaf_ext 20200101000000Z 20210101000000Z
leafcsr notyet "Leaf notyet $K"; issue notyet inter leaf_ext 20900101000000Z 20910101000000Z
for e in nocdp unknown russian pkupold pkupnew nosign; do leafcsr $e "Leaf $e $K"; issue $e inter ${e}_ext $NOW $END; done
leafcsr deep "Leaf deep $K"; issue deep sub deep_ext $NOW $END
q openssl ca $ENG -config inter.cnf -revoke revoked.pem -crl_reason keyCompromise
CRLNOW=$(when '-1 hour'); CRLEND=$(when '+30 days')
q openssl ca $ENG -config inter.cnf -gencrl -crl_lastupdate $CRLNOW -crl_nextupdate $CRLEND -out inter.crl
q openssl ca $ENG -config inter.cnf -gencrl -crl_lastupdate 20200101000000Z -crl_nextupdate 20200201000000Z -out inter-stale.crl
q openssl ca $ENG -config inter.cnf -gencrl -crl_lastupdate $(when '+1 day') -crl_nextupdate $(when '+30 days') -out inter-future.crl
q openssl ca $ENG -config inter.cnf -gencrl -crl_lastupdate $(when '+2 minutes') -crl_nextupdate $(when '+30 days') -out inter-soon.crl
q openssl ca $ENG -config fake.cnf -gencrl -crl_lastupdate $CRLNOW -crl_nextupdate $CRLEND -out inter-other.crl
q openssl ca $ENG -config root.cnf -gencrl -crl_lastupdate $CRLNOW -crl_nextupdate $CRLEND -out root.crl
q openssl ca $ENG -config sub.cnf -gencrl -crl_lastupdate $CRLNOW -crl_nextupdate $CRLEND -out sub.crl
for f in *.pem; do q openssl x509 -in $f -outform DER -out ${f%.pem}.der; done
for f in *.crl; do q openssl crl -in $f -outform DER -out $f.der; done
# A signature byte flipped: the certificate's last octet is its signature's.
flip() {
  [ $1 = $2 ] || cp $1.der $2.der
  size=$(stat -c %s $2.der)
  last=$(od -An -tu1 -j $((size - 1)) $2.der | tr -d ' ')
  printf "$(printf '\\%03o' $((last ^ 1)))" | dd of=$2.der bs=1 seek=$((size - 1)) conv=notrunc status=none
  q openssl x509 -inform DER -in $2.der -out $2.pem
}
flip badsig badsig
flip inter interbad
)SH";

const char* const kKinds[] = {"g256", "g512", "rsa"};

std::string fixtureRoot() {
    static std::once_flag once;
    static std::string folder;
    std::call_once(once, [] {
        folder = VskTest::TempDir() + "/chain-fixtures";
        // A copy of this executable started by a test finds them made.
        if (std::filesystem::exists(folder + "/ready")) return;
        std::filesystem::create_directories(folder);
        { std::ofstream(folder + "/gen.sh") << kScript; }
        // The three hierarchies are made side by side.
        std::string command;
        for (const char* kind : kKinds)
            command += "bash '" + folder + "/gen.sh' '" + folder + "' " + kind + " & ";
        command += "wait";
        for (const char* kind : kKinds) command += " && test -s '" + folder + "/" + kind + "/interbad.pem'";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("chain fixtures not made");
        std::ofstream(folder + "/ready") << "made\n";
    });
    return folder;
}

std::string path(const std::string& kind, const std::string& file) {
    return fixtureRoot() + "/" + kind + "/" + file;
}

Bytes readBytes(const std::string& file) {
    const std::string s = CoreFixtures::ReadFile(file);
    if (s.empty()) throw std::runtime_error("fixture missing: " + file);
    return Bytes(s.begin(), s.end());
}

Bytes certDer(const std::string& kind, const std::string& name) {
    return readBytes(path(kind, name + ".der"));
}
Bytes crlDer(const std::string& kind, const std::string& name) {
    return readBytes(path(kind, name + ".crl.der"));
}

std::u16string wide(const char* text) {
    return std::u16string(text, text + std::strlen(text));
}

void installCert(const char* store, const Bytes& der) {
    CoreFixtures::Store s(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, wide(store).c_str()));
    ASSERT_NE(s.h, nullptr);
    ASSERT_TRUE(CertAddEncodedCertificateToStore(s.h, kEncoding, der.data(), static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
}

void installCrl(const char* store, const Bytes& der) {
    CoreFixtures::Store s(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, wide(store).c_str()));
    ASSERT_NE(s.h, nullptr);
    ASSERT_TRUE(CertAddEncodedCRLToStore(s.h, kEncoding, der.data(), static_cast<DWORD>(der.size()),
                                         CERT_STORE_ADD_ALWAYS, nullptr));
}

// ---- Chains and policies ----------------------------------------------------------------------------

// The library's flags: chain without root, cached data only (revocation mode 3), the default; and the
// same with downloads allowed (mode 2).
constexpr DWORD kCacheOnly = CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY |
                             CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
constexpr DWORD kDefaultFlags = CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | kCacheOnly;
constexpr DWORD kOnlineFlags =
    CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
constexpr DWORD kOffline = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

struct Chain {
    PCCERT_CHAIN_CONTEXT p = nullptr;
    Chain() = default;
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;
    ~Chain() { CertFreeCertificateChain(p); }
    const CERT_SIMPLE_CHAIN& simple() const { return *p->rgpChain[0]; }
    const CERT_CHAIN_ELEMENT& element(size_t i) const { return *simple().rgpElement[i]; }
    DWORD bits(size_t i) const { return element(i).TrustStatus.dwErrorStatus; }
    std::vector<DWORD> allBits() const {
        std::vector<DWORD> out;
        for (DWORD i = 0; i < simple().cElement; ++i) out.push_back(bits(i));
        return out;
    }
};

CERT_CHAIN_PARA chainPara(DWORD timeoutMs = 5000) {
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.dwUrlRetrievalTimeout = timeoutMs;
    return para;
}

bool buildChain(Chain& chain, const Bytes& leaf, DWORD flags, const FILETIME* time = nullptr,
                HCERTSTORE extra = nullptr, DWORD timeoutMs = 5000) {
    CoreFixtures::Cert cert(leaf);
    if (!cert.p) return false;
    const CERT_CHAIN_PARA para = chainPara(timeoutMs);
    return CertGetCertificateChain(nullptr, cert.p, time, extra, &para, flags, nullptr, &chain.p);
}

struct PolicyOutcome {
    BOOL ran;
    DWORD error;
    LONG element;
    DWORD extra;
};

PolicyOutcome policy(const Chain& chain, LPCSTR oid, DWORD flags = 0x10000) {
    CERT_CHAIN_POLICY_PARA para{sizeof para, flags, nullptr};
    CPSIGNATURE_EXTRA_CERT_CHAIN_POLICY_STATUS extra{sizeof extra, 0xFFFFFFFF, nullptr};
    CERT_CHAIN_POLICY_STATUS status{sizeof status, 0xFFFFFFFF, -2, -2, &extra};
    const BOOL ran = CertVerifyCertificateChainPolicy(oid, chain.p, &para, &status);
    return {ran, status.dwError, status.lElementIndex, extra.dwError};
}

// What `openssl verify` says: 0 for OK, else the error number of its first complaint.
int opensslVerify(const std::string& kind, const std::string& arguments) {
    const std::string command = "cd '" + fixtureRoot() + "/" + kind + "' && openssl verify " +
                                (kind == "rsa" ? "" : "-engine gost ") + "-no-CApath " + arguments + " 2>&1";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
        pclose(pipe);
    }
    // "error 10 at 0 depth lookup: certificate has expired"
    for (size_t at = output.find("error "); at != std::string::npos; at = output.find("error ", at + 1)) {
        const size_t digits = at + 6;
        size_t end = digits;
        while (end < output.size() && std::isdigit(static_cast<unsigned char>(output[end]))) ++end;
        if (end > digits && output.compare(end, 4, " at ") == 0)
            return std::stoi(output.substr(digits, end - digits));
    }
    if (output.find(": OK") != std::string::npos) return 0;
    ADD_FAILURE() << "openssl verify said: " << output;
    return -1;
}

// Where the root goes.
enum class Root { Trusted, InCa };

struct Case {
    const char* name;
    const char* leaf;
    Root root;
    std::vector<const char*> ca;    // certificates in the user's CA store
    std::vector<const char*> crls;  // CRLs in the user's CA store
    DWORD flags;
    std::vector<DWORD> bits;  // per element
    DWORD policyError;
    LONG element;
    int openssl;  // `openssl verify -crl_check_all` error, 0 OK; -1 when it cannot say
};

const std::vector<const char*> kGoodCrls = {"root", "inter"};

const Case kCases[] = {
    {"valid three-level chain",
     "good",
     Root::Trusted,
     {"inter"},
     kGoodCrls,
     kDefaultFlags,
     {0, 0, 0},
     0,
     -1,
     0},
    {"valid, whole chain checked",
     "good",
     Root::Trusted,
     {"inter"},
     kGoodCrls,
     CERT_CHAIN_REVOCATION_CHECK_CHAIN | kCacheOnly,
     {0, 0, 0},
     0,
     -1,
     0},
    {"expired end certificate",
     "expired",
     Root::Trusted,
     {"inter"},
     kGoodCrls,
     kDefaultFlags,
     {CERT_TRUST_IS_NOT_TIME_VALID, 0, 0},
     CERT_E_EXPIRED,
     0,
     10},
    {"not yet valid",
     "notyet",
     Root::Trusted,
     {"inter"},
     kGoodCrls,
     kDefaultFlags,
     {CERT_TRUST_IS_NOT_TIME_VALID, 0, 0},
     CERT_E_EXPIRED,
     0,
     9},
    {"revoked by an installed CRL",
     "revoked",
     Root::Trusted,
     {"inter"},
     kGoodCrls,
     kDefaultFlags,
     {CERT_TRUST_IS_REVOKED, 0, 0},
     CRYPT_E_REVOKED,
     0,
     23},
    {"revoked, but revocation not asked for",
     "revoked",
     Root::Trusted,
     {"inter"},
     kGoodCrls,
     0,
     {0, 0, 0},
     0,
     -1,
     -1},
    {"revoked, end certificate checked",
     "revoked",
     Root::Trusted,
     {"inter"},
     kGoodCrls,
     CERT_CHAIN_REVOCATION_CHECK_END_CERT | kCacheOnly,
     {CERT_TRUST_IS_REVOKED, 0, 0},
     CRYPT_E_REVOKED,
     0,
     23},
    {"CRL stale",
     "good",
     Root::Trusted,
     {"inter"},
     {"root", "inter-stale"},
     kDefaultFlags,
     {kOffline, 0, 0},
     CRYPT_E_REVOCATION_OFFLINE,
     0,
     12},
    {"CRL signed by another key",
     "good",
     Root::Trusted,
     {"inter"},
     {"root", "inter-other"},
     kDefaultFlags,
     {kOffline, 0, 0},
     CRYPT_E_REVOCATION_OFFLINE,
     0,
     8},
    {"CRL issued tomorrow",
     "good",
     Root::Trusted,
     {"inter"},
     {"root", "inter-future"},
     kDefaultFlags,
     {kOffline, 0, 0},
     CRYPT_E_REVOCATION_OFFLINE,
     0,
     11},
    // Within the clocks' disagreement allowed (OpenSSL refuses it until its time has come).
    {"CRL issued in two minutes",
     "revoked",
     Root::Trusted,
     {"inter"},
     {"root", "inter-soon"},
     kDefaultFlags,
     {CERT_TRUST_IS_REVOKED, 0, 0},
     CRYPT_E_REVOKED,
     0,
     -1},
    {"no CRL, distribution point named",
     "good",
     Root::Trusted,
     {"inter"},
     {},
     kDefaultFlags,
     {kOffline, kOffline, 0},
     CRYPT_E_REVOCATION_OFFLINE,
     0,
     3},
    {"no CRL, no distribution point",
     "nocdp",
     Root::Trusted,
     {"inter"},
     {"root"},
     kDefaultFlags,
     {CERT_TRUST_REVOCATION_STATUS_UNKNOWN, 0, 0},
     CRYPT_E_NO_REVOCATION_CHECK,
     0,
     3},
    {"untrusted root",
     "good",
     Root::InCa,
     {"inter"},
     kGoodCrls,
     kDefaultFlags,
     {0, 0, CERT_TRUST_IS_UNTRUSTED_ROOT},
     CERT_E_UNTRUSTEDROOT,
     2,
     19},
    {"missing intermediate",
     "good",
     Root::Trusted,
     {},
     kGoodCrls,
     kDefaultFlags,
     {CERT_TRUST_IS_PARTIAL_CHAIN | kOffline},
     CERT_E_CHAINING,
     0,
     20},
    {"bad signature",
     "badsig",
     Root::Trusted,
     {"inter"},
     kGoodCrls,
     kDefaultFlags,
     {CERT_TRUST_IS_NOT_SIGNATURE_VALID, 0, 0},
     TRUST_E_CERT_SIGNATURE,
     0,
     7},
    // Seen after the good intermediate, whose signature is known good by then.
    {"intermediate with a bad signature",
     "good",
     Root::Trusted,
     {"interbad"},
     kGoodCrls,
     kDefaultFlags,
     {0, CERT_TRUST_IS_NOT_SIGNATURE_VALID, 0},
     TRUST_E_CERT_SIGNATURE,
     1,
     7},
    {"path length exceeded",
     "deep",
     Root::Trusted,
     {"inter", "sub"},
     {"root", "inter", "sub"},
     kDefaultFlags,
     {0, 0, CERT_TRUST_INVALID_BASIC_CONSTRAINTS, 0},
     TRUST_E_BASIC_CONSTRAINTS,
     2,
     25},
    {"unknown critical extension",
     "unknown",
     Root::Trusted,
     {"inter"},
     kGoodCrls,
     kDefaultFlags,
     {CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT, 0, 0},
     CERT_E_CRITICAL,
     0,
     34},
    // OpenSSL does not know these extensions; Russian qualified certificates carry them critical.
    {"known Russian critical extensions",
     "russian",
     Root::Trusted,
     {"inter"},
     kGoodCrls,
     kDefaultFlags,
     {0, 0, 0},
     0,
     -1,
     34},
};

std::string opensslArguments(const Case& c) {
    std::string args = c.root == Root::Trusted ? "-CAfile root.pem" : "-no-CAfile -untrusted root.pem";
    for (const char* ca : c.ca) args += std::string(" -untrusted ") + ca + ".pem";
    for (const char* crl : c.crls) args += std::string(" -CRLfile ") + crl + ".crl";
    return args + " -crl_check_all " + c.leaf + ".pem";
}

class ChainCases : public ::testing::TestWithParam<const char*> {};

TEST_P(ChainCases, StatusAndPolicyPerCase) {
    const std::string kind = GetParam();
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        VskTest::TestRoot root;
        installCert(c.root == Root::Trusted ? "ROOT" : "CA", certDer(kind, "root"));
        for (const char* ca : c.ca) installCert("CA", certDer(kind, ca));
        for (const char* crl : c.crls) installCrl("CA", crlDer(kind, crl));

        Chain chain;
        ASSERT_TRUE(buildChain(chain, certDer(kind, c.leaf), c.flags)) << GetLastError();
        EXPECT_EQ(chain.allBits(), c.bits);
        DWORD all = 0;
        for (DWORD b : c.bits) all |= b;
        EXPECT_EQ(chain.p->TrustStatus.dwErrorStatus, all);
        EXPECT_EQ(chain.simple().TrustStatus.dwErrorStatus, all);

        const PolicyOutcome base = policy(chain, CERT_CHAIN_POLICY_BASE);
        EXPECT_TRUE(base.ran);
        EXPECT_EQ(base.error, c.policyError);
        EXPECT_EQ(base.element, c.element);
        const PolicyOutcome gost = policy(chain, CPCERT_CHAIN_POLICY_SIGNATURE);
        EXPECT_TRUE(gost.ran);
        EXPECT_EQ(gost.error, c.policyError);
        EXPECT_EQ(gost.extra, 0u);

        if (c.openssl >= 0) {
            EXPECT_EQ(opensslVerify(kind, opensslArguments(c)), c.openssl);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ChainCases, ::testing::ValuesIn(kKinds));

class ChainKinds : public ::testing::TestWithParam<const char*> {
protected:
    void installHierarchy(bool crls = true) {
        installCert("ROOT", certDer(kind(), "root"));
        installCert("CA", certDer(kind(), "inter"));
        if (crls)
            for (const char* crl : kGoodCrls) installCrl("CA", crlDer(kind(), crl));
    }
    std::string kind() const { return GetParam(); }
    VskTest::TestRoot m_root;
};

INSTANTIATE_TEST_SUITE_P(Kinds, ChainKinds, ::testing::ValuesIn(kKinds));

TEST_P(ChainKinds, ElementsAreTheStoresContextsWithTheirRevocationResults) {
    installHierarchy();
    CoreFixtures::Cert leaf(certDer(kind(), "good"));
    const CERT_CHAIN_PARA para = chainPara();
    Chain chain;
    ASSERT_TRUE(CertGetCertificateChain(HCCE_CURRENT_USER, leaf.p, nullptr, nullptr, &para, kDefaultFlags,
                                        nullptr, &chain.p));
    ASSERT_EQ(chain.p->cChain, 1u);
    ASSERT_EQ(chain.simple().cElement, 3u);
    EXPECT_EQ(chain.element(0).pCertContext, leaf.p);
    EXPECT_EQ(CoreFixtures::Blob({chain.element(1).pCertContext->cbCertEncoded,
                                  chain.element(1).pCertContext->pbCertEncoded}),
              certDer(kind(), "inter"));
    // The root comes from the user's ROOT store: a system store element.
    DWORD access = 0, size = sizeof access;
    ASSERT_TRUE(CertGetCertificateContextProperty(chain.element(2).pCertContext, CERT_ACCESS_STATE_PROP_ID,
                                                  &access, &size));
    EXPECT_TRUE(access & CERT_ACCESS_STATE_SYSTEM_STORE_FLAG);
    EXPECT_EQ(chain.element(2).TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED,
              CERT_TRUST_IS_SELF_SIGNED);
    EXPECT_EQ(chain.element(0).TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED, 0u);
    // Revocation was checked below the root only.
    ASSERT_NE(chain.element(0).pRevocationInfo, nullptr);
    EXPECT_EQ(chain.element(0).pRevocationInfo->dwRevocationResult, 0u);
    ASSERT_NE(chain.element(1).pRevocationInfo, nullptr);
    EXPECT_EQ(chain.element(2).pRevocationInfo, nullptr);

    // A duplicate outlives the first reference, and the elements outlive the leaf's own context.
    PCCERT_CHAIN_CONTEXT copy = CertDuplicateCertificateChain(chain.p);
    EXPECT_EQ(copy, chain.p);
    CertFreeCertificateChain(chain.p);
    chain.p = copy;
    CertFreeCertificateContext(leaf.release());
    EXPECT_EQ(chain.element(0).pCertContext->pCertInfo->dwVersion, static_cast<DWORD>(CERT_V3));
}

struct ScopeRow {
    const char* name;
    DWORD flags;
    std::vector<DWORD> bits;
    std::vector<DWORD> results;  // dwRevocationResult per element, ~0 where not checked
};

constexpr DWORD kNone = ~0u;

// Only the intermediate's CRL is installed: the leaf's status is known, the intermediate's (CDP
// root.crl) is offline, and the root (no CDP) is unknown.
const ScopeRow kScopes[] = {
    {"no scope", kCacheOnly, {0, 0, 0}, {kNone, kNone, kNone}},
    {"end certificate", CERT_CHAIN_REVOCATION_CHECK_END_CERT | kCacheOnly, {0, 0, 0}, {0, kNone, kNone}},
    {"chain without root",
     CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | kCacheOnly,
     {0, kOffline, 0},
     {0, CRYPT_E_REVOCATION_OFFLINE, kNone}},
    {"whole chain",
     CERT_CHAIN_REVOCATION_CHECK_CHAIN | kCacheOnly,
     {0, kOffline, CERT_TRUST_REVOCATION_STATUS_UNKNOWN},
     {0, CRYPT_E_REVOCATION_OFFLINE, CRYPT_E_NO_REVOCATION_CHECK}},
    {"several scopes: the widest",
     CERT_CHAIN_REVOCATION_CHECK_END_CERT | CERT_CHAIN_REVOCATION_CHECK_CHAIN | kCacheOnly,
     {0, kOffline, CERT_TRUST_REVOCATION_STATUS_UNKNOWN},
     {0, CRYPT_E_REVOCATION_OFFLINE, CRYPT_E_NO_REVOCATION_CHECK}},
};

TEST_P(ChainKinds, RevocationScopeFollowsTheFlags) {
    installHierarchy(false);
    installCrl("CA", crlDer(kind(), "inter"));
    for (const ScopeRow& row : kScopes) {
        SCOPED_TRACE(row.name);
        Chain chain;
        ASSERT_TRUE(buildChain(chain, certDer(kind(), "good"), row.flags));
        EXPECT_EQ(chain.allBits(), row.bits);
        std::vector<DWORD> results;
        for (DWORD i = 0; i < chain.simple().cElement; ++i) {
            const CERT_REVOCATION_INFO* info = chain.element(i).pRevocationInfo;
            results.push_back(info ? info->dwRevocationResult : kNone);
        }
        EXPECT_EQ(results, row.results);
    }
}

struct IgnoreRow {
    const char* name;
    const char* leaf;
    DWORD chainFlags;
    DWORD policyFlags;
    DWORD error;
    LONG element;
};

// No CRL is installed: every element below the root is offline, the root (no CDP) unknown.
const IgnoreRow kIgnores[] = {
    {"expired", "expired", 0, 0, CERT_E_EXPIRED, 0},
    {"expired, time ignored", "expired", 0, CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG, 0, -1},
    {"offline end", "good", CERT_CHAIN_REVOCATION_CHECK_END_CERT | kCacheOnly, 0, CRYPT_E_REVOCATION_OFFLINE,
     0},
    {"offline end, ignored", "good", CERT_CHAIN_REVOCATION_CHECK_END_CERT | kCacheOnly,
     CERT_CHAIN_POLICY_IGNORE_END_REV_UNKNOWN_FLAG, 0, -1},
    {"end ignored, CA offline", "good", kDefaultFlags, CERT_CHAIN_POLICY_IGNORE_END_REV_UNKNOWN_FLAG,
     CRYPT_E_REVOCATION_OFFLINE, 1},
    {"end and CA ignored", "good", kDefaultFlags,
     CERT_CHAIN_POLICY_IGNORE_END_REV_UNKNOWN_FLAG | CERT_CHAIN_POLICY_IGNORE_CA_REV_UNKNOWN_FLAG, 0, -1},
    {"root unknown", "good", CERT_CHAIN_REVOCATION_CHECK_CHAIN | kCacheOnly,
     CERT_CHAIN_POLICY_IGNORE_END_REV_UNKNOWN_FLAG | CERT_CHAIN_POLICY_IGNORE_CA_REV_UNKNOWN_FLAG,
     CRYPT_E_NO_REVOCATION_CHECK, 2},
    {"all three ignored", "good", CERT_CHAIN_REVOCATION_CHECK_CHAIN | kCacheOnly,
     CERT_CHAIN_POLICY_IGNORE_END_REV_UNKNOWN_FLAG | CERT_CHAIN_POLICY_IGNORE_CA_REV_UNKNOWN_FLAG |
         CERT_CHAIN_POLICY_IGNORE_ROOT_REV_UNKNOWN_FLAG,
     0, -1},
    {"expired and offline: time first", "expired", kDefaultFlags, 0, CERT_E_EXPIRED, 0},
};

TEST_P(ChainKinds, PolicyIgnoreFlags) {
    installHierarchy(false);
    for (const IgnoreRow& row : kIgnores) {
        SCOPED_TRACE(row.name);
        Chain chain;
        ASSERT_TRUE(buildChain(chain, certDer(kind(), row.leaf), row.chainFlags));
        const PolicyOutcome outcome = policy(chain, CERT_CHAIN_POLICY_BASE, 0x10000 | row.policyFlags);
        EXPECT_EQ(outcome.error, row.error);
        EXPECT_EQ(outcome.element, row.element);
    }
}

TEST_P(ChainKinds, UntrustedRootIsAllowedOnRequest) {
    installCert("CA", certDer(kind(), "root"));
    installCert("CA", certDer(kind(), "inter"));
    Chain chain;
    ASSERT_TRUE(buildChain(chain, certDer(kind(), "good"), 0));
    EXPECT_EQ(policy(chain, CERT_CHAIN_POLICY_BASE).error, CERT_E_UNTRUSTEDROOT);
    EXPECT_EQ(policy(chain, CERT_CHAIN_POLICY_BASE, CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG).error, 0u);
}

struct SignatureRow {
    const char* leaf;
    DWORD policyFlags;
    DWORD extra;
};

const SignatureRow kSignatureChecks[] = {
    {"good", 0, 0},
    {"pkupold", 0, CPSIGNATURE_KEY_USAGE_EXPIRED},
    {"pkupnew", 0, CPSIGNATURE_KEY_USAGE_NOT_YET_VALID},
    {"pkupold", CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG, 0},
    {"nosign", 0, CPSIGNATURE_NO_DIGITAL_SIGNATURE},
};

TEST_P(ChainKinds, SignaturePolicyChecksTheEndCertificate) {
    installHierarchy();
    for (const SignatureRow& row : kSignatureChecks) {
        SCOPED_TRACE(std::string(row.leaf) + " " + std::to_string(row.policyFlags));
        Chain chain;
        ASSERT_TRUE(buildChain(chain, certDer(kind(), row.leaf), kDefaultFlags));
        const PolicyOutcome gost = policy(chain, CPCERT_CHAIN_POLICY_SIGNATURE, 0x10000 | row.policyFlags);
        EXPECT_TRUE(gost.ran);
        EXPECT_EQ(gost.error, 0u);
        EXPECT_EQ(gost.extra, row.extra);
        // The base policy knows nothing of them.
        EXPECT_EQ(policy(chain, CERT_CHAIN_POLICY_BASE, 0x10000 | row.policyFlags).error, 0u);
    }
    // A base fault leaves the extra status at 0.
    Chain expired;
    ASSERT_TRUE(buildChain(expired, certDer(kind(), "expired"), kDefaultFlags));
    const PolicyOutcome gost = policy(expired, CPCERT_CHAIN_POLICY_SIGNATURE);
    EXPECT_EQ(gost.error, CERT_E_EXPIRED);
    EXPECT_EQ(gost.extra, 0u);
}

FILETIME fileTime(time_t t) {
    const uint64_t ticks = (static_cast<uint64_t>(t) + 11644473600ULL) * 10000000ULL;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

TEST_P(ChainKinds, VerificationTimeDecidesValidityAndRevocation) {
    installHierarchy();
    const time_t now = std::time(nullptr);
    {
        // Two years on, the one-year leaf and intermediate have expired.
        const FILETIME later = fileTime(now + 2 * 365 * 86400);
        Chain chain;
        ASSERT_TRUE(buildChain(chain, certDer(kind(), "good"), 0, &later));
        EXPECT_EQ(chain.bits(0), CERT_TRUST_IS_NOT_TIME_VALID);
        EXPECT_EQ(chain.bits(1), CERT_TRUST_IS_NOT_TIME_VALID);
        EXPECT_EQ(chain.bits(2), 0u);
    }
    {
        // Before its revocation date (when the fixtures were made) the revoked leaf was good.
        const FILETIME before = fileTime(now - 3 * 3600);
        Chain chain;
        ASSERT_TRUE(buildChain(chain, certDer(kind(), "revoked"), kDefaultFlags, &before));
        EXPECT_EQ(chain.bits(0), 0u);
        const FILETIME after = fileTime(now + 3600);
        Chain revoked;
        ASSERT_TRUE(buildChain(revoked, certDer(kind(), "revoked"), kDefaultFlags, &after));
        EXPECT_EQ(revoked.bits(0), CERT_TRUST_IS_REVOKED);
    }
}

TEST_P(ChainKinds, IssuersAndCrlsComeFromTheExtraStore) {
    installCert("ROOT", certDer(kind(), "root"));
    CoreFixtures::Store extra(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    const Bytes inter = certDer(kind(), "inter");
    ASSERT_TRUE(CertAddEncodedCertificateToStore(
        extra.h, kEncoding, inter.data(), static_cast<DWORD>(inter.size()), CERT_STORE_ADD_NEW, nullptr));
    for (const char* name : kGoodCrls) {
        const Bytes crl = crlDer(kind(), name);
        ASSERT_TRUE(CertAddEncodedCRLToStore(extra.h, kEncoding, crl.data(), static_cast<DWORD>(crl.size()),
                                             CERT_STORE_ADD_NEW, nullptr));
    }
    Chain chain;
    ASSERT_TRUE(buildChain(chain, certDer(kind(), "revoked"), kDefaultFlags, nullptr, extra.h));
    EXPECT_EQ(chain.allBits(), (std::vector<DWORD>{CERT_TRUST_IS_REVOKED, 0, 0}));
}

TEST_P(ChainKinds, DisallowedCertificateIsExplicitlyDistrusted) {
    installHierarchy();
    installCert("DISALLOWED", certDer(kind(), "inter"));
    Chain chain;
    ASSERT_TRUE(buildChain(chain, certDer(kind(), "good"), kDefaultFlags));
    EXPECT_EQ(chain.allBits(), (std::vector<DWORD>{0, CERT_TRUST_IS_EXPLICIT_DISTRUST, 0}));
    const PolicyOutcome base = policy(chain, CERT_CHAIN_POLICY_BASE);
    EXPECT_EQ(base.error, CERT_E_EXPLICIT_DISTRUST);
    EXPECT_EQ(base.element, 1);
}

TEST_P(ChainKinds, RequestedUsageIsCheckedAgainstExtendedKeyUsage) {
    installHierarchy();
    // The leaves have no extended key usage: any usage is allowed.
    CoreFixtures::Cert leaf(certDer(kind(), "good"));
    LPSTR usages[] = {const_cast<LPSTR>("1.3.6.1.5.5.7.3.4")};
    CERT_CHAIN_PARA para = chainPara();
    para.RequestedUsage.Usage = {1, usages};
    Chain chain;
    ASSERT_TRUE(CertGetCertificateChain(nullptr, leaf.p, nullptr, nullptr, &para, 0, nullptr, &chain.p));
    EXPECT_EQ(chain.p->TrustStatus.dwErrorStatus, 0u);
}

Bytes pemToDer(const std::string& pem) {
    const std::string der =
        VskTest::TempDir() + "/usage-" + std::to_string(std::hash<std::string>()(pem)) + ".der";
    if (std::system(("openssl x509 -in '" + pem + "' -outform DER -out '" + der + "'").c_str()) != 0)
        throw std::runtime_error("no DER of " + pem);
    return readBytes(der);
}

struct UsageRow {
    const char* name;
    DWORD type;
    std::vector<const char*> usages;
    DWORD bits;
};

// The HTTP test servers' certificate allows server authentication only (1.3.6.1.5.5.7.3.1).
const UsageRow kUsages[] = {
    {"nothing asked", USAGE_MATCH_TYPE_AND, {}, 0},
    {"server authentication", USAGE_MATCH_TYPE_AND, {"1.3.6.1.5.5.7.3.1"}, 0},
    {"e-mail protection", USAGE_MATCH_TYPE_AND, {"1.3.6.1.5.5.7.3.4"}, CERT_TRUST_IS_NOT_VALID_FOR_USAGE},
    {"both",
     USAGE_MATCH_TYPE_AND,
     {"1.3.6.1.5.5.7.3.1", "1.3.6.1.5.5.7.3.4"},
     CERT_TRUST_IS_NOT_VALID_FOR_USAGE},
    {"either", USAGE_MATCH_TYPE_OR, {"1.3.6.1.5.5.7.3.4", "1.3.6.1.5.5.7.3.1"}, 0},
};

TEST(ChainUsage, RequestedUsageAgainstExtendedKeyUsage) {
    VskTest::TestRoot root;
    const VskTest::HttpTestCa& ca = VskTest::HttpTestCa::get();
    installCert("ROOT", pemToDer(ca.caFile()));
    CoreFixtures::Cert server(pemToDer(ca.server().cert));
    for (const UsageRow& row : kUsages) {
        SCOPED_TRACE(row.name);
        std::vector<LPSTR> usages;
        for (const char* usage : row.usages) usages.push_back(const_cast<LPSTR>(usage));
        CERT_CHAIN_PARA para = chainPara();
        para.RequestedUsage = {row.type, {static_cast<DWORD>(usages.size()), usages.data()}};
        Chain chain;
        ASSERT_TRUE(
            CertGetCertificateChain(nullptr, server.p, nullptr, nullptr, &para, 0, nullptr, &chain.p));
        EXPECT_EQ(chain.allBits(), (std::vector<DWORD>{row.bits, 0}));
        EXPECT_EQ(policy(chain, CERT_CHAIN_POLICY_BASE).error, row.bits ? CERT_E_WRONG_USAGE : 0u);
    }
}

// ---- Store changes ------------------------------------------------------------------------------------

TEST(ChainStores, ChangesToTheStoresAreSeenByTheNextChain) {
    VskTest::TestRoot root;
    installCert("ROOT", certDer("rsa", "root"));
    installCert("CA", certDer("rsa", "inter"));
    {
        Chain chain;
        ASSERT_TRUE(buildChain(chain, certDer("rsa", "revoked"), kDefaultFlags));
        EXPECT_EQ(chain.bits(0), kOffline);
    }
    installCrl("CA", crlDer("rsa", "inter"));
    {
        Chain chain;
        ASSERT_TRUE(buildChain(chain, certDer("rsa", "revoked"), kDefaultFlags));
        EXPECT_EQ(chain.bits(0), CERT_TRUST_IS_REVOKED);
    }
    // The root leaves ROOT: the chain is built up to it no more as a trusted one.
    CoreFixtures::Store rootStore(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"ROOT"));
    PCCERT_CONTEXT rootCert = CertEnumCertificatesInStore(rootStore.h, nullptr);
    ASSERT_NE(rootCert, nullptr);
    ASSERT_TRUE(CertDeleteCertificateFromStore(rootCert));
    {
        Chain chain;
        ASSERT_TRUE(buildChain(chain, certDer("rsa", "good"), 0));
        EXPECT_EQ(chain.p->TrustStatus.dwErrorStatus, CERT_TRUST_IS_PARTIAL_CHAIN);
    }
}

// Chains built on several threads while another one changes the CA store over and over: the views a
// chain reads stay whole while they are read again for the next one.
TEST(ChainStores, ChainsOnThreadsWhileTheStoresChange) {
    VskTest::TestRoot root;
    installCert("ROOT", certDer("g256", "root"));
    installCert("CA", certDer("g256", "inter"));
    installCrl("CA", crlDer("g256", "root"));
    const Bytes revoked = certDer("g256", "revoked");
    const Bytes crl = crlDer("g256", "inter");
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        CoreFixtures::Store ca(
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"CA"));
        while (!stop) {
            PCCRL_CONTEXT added = nullptr;
            if (CertAddEncodedCRLToStore(ca.h, kEncoding, crl.data(), static_cast<DWORD>(crl.size()),
                                         CERT_STORE_ADD_ALWAYS, &added))
                CertDeleteCRLFromStore(added);
        }
    });
    std::vector<std::thread> workers;
    std::atomic<int> unexpected{0};
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 15; ++i) {
                Chain chain;
                if (!buildChain(chain, revoked, kDefaultFlags) ||
                    (chain.bits(0) != CERT_TRUST_IS_REVOKED && chain.bits(0) != kOffline) ||
                    chain.bits(1) != 0)
                    ++unexpected;
            }
        });
    }
    for (std::thread& w : workers) w.join();
    stop = true;
    changer.join();
    EXPECT_EQ(unexpected.load(), 0);
}

std::string selfPath() {
    char p[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", p, sizeof p - 1);
    return n > 0 ? std::string(p, static_cast<size_t>(n)) : std::string();
}

// Runs one disabled test in a new process of this executable; true when it ran and passed.
bool runChild(const std::string& test, const std::string& environment) {
    const std::string command = environment + " '" + selfPath() +
                                "' --gtest_also_run_disabled_tests --gtest_filter=" + test + " 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return false;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int status = pclose(pipe);
    const bool passed = status == 0 && output.find("[  PASSED  ] 1 test.") != std::string::npos;
    if (!passed) ADD_FAILURE() << output;
    return passed;
}

// Another process's side: installs the CRL named by VSK_CHAIN_CHILD_CRL into the user's CA store.
TEST(ChainChild, DISABLED_InstallCrl) {
    const char* crl = std::getenv("VSK_CHAIN_CHILD_CRL");
    ASSERT_NE(crl, nullptr);
    setenv("KESTROVAN_USER_DIR", std::getenv("VSK_CHAIN_CHILD_USER_DIR"), 1);
    installCrl("CA", readBytes(crl));
}

TEST(ChainStores, AnotherProcesssChangeIsSeen) {
    VskTest::TestRoot root;
    installCert("ROOT", certDer("rsa", "root"));
    installCert("CA", certDer("rsa", "inter"));
    {
        Chain chain;
        ASSERT_TRUE(buildChain(chain, certDer("rsa", "revoked"), kDefaultFlags));
        EXPECT_EQ(chain.bits(0), kOffline);
    }
    // The folder's time must move on for the change to be told apart (file system clocks are coarse).
    usleep(20000);
    ASSERT_TRUE(runChild("ChainChild.DISABLED_InstallCrl",
                         "VSK_CHAIN_CHILD_CRL='" + path("rsa", "inter.crl.der") +
                             "' VSK_CHAIN_CHILD_USER_DIR='" + std::getenv("KESTROVAN_USER_DIR") + "'"));
    Chain chain;
    ASSERT_TRUE(buildChain(chain, certDer("rsa", "revoked"), kDefaultFlags));
    EXPECT_EQ(chain.bits(0), CERT_TRUST_IS_REVOKED);
}

// ---- Without the GOST engine ------------------------------------------------------------------------

// Run in a process where the engine cannot load: the GOST policy is not there, the base policy is.
TEST(ChainChild, DISABLED_NoEngine) {
    installCert("ROOT", certDer("rsa", "root"));
    installCert("CA", certDer("rsa", "inter"));
    Chain chain;
    ASSERT_TRUE(buildChain(chain, certDer("rsa", "good"), 0));
    EXPECT_FALSE(LoadGostEngine());
    CERT_CHAIN_POLICY_PARA para{sizeof para, 0x10000, nullptr};
    CERT_CHAIN_POLICY_STATUS status{sizeof status, 0, 0, 0, nullptr};
    SetLastError(0);
    EXPECT_FALSE(CertVerifyCertificateChainPolicy(CPCERT_CHAIN_POLICY_SIGNATURE, chain.p, &para, &status));
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
    EXPECT_TRUE(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain.p, &para, &status));
    EXPECT_EQ(status.dwError, 0u);
}

TEST(ChainPolicy, SignaturePolicyNeedsTheEngine) {
    fixtureRoot();  // made here, with the engine: the child only reads the files
    VskTest::TestRoot root;
    EXPECT_TRUE(runChild("ChainChild.DISABLED_NoEngine", "OPENSSL_ENGINES=/nonexistent"));
}

// ---- Distribution points and the URL cache ------------------------------------------------------

using VskTest::HttpTestResponse;
using VskTest::HttpTestServer;

struct MadeLeaf {
    Bytes cert;
    Bytes crl;           // the intermediate's CRL made with it (DER)
    std::string crlPem;  // the same in PEM
    std::string pem;     // file of the certificate
};

// A leaf of `kind`'s intermediate made now with these distribution points, and a fresh CRL of the
// intermediate that lists it when `revoked`.
MadeLeaf makeLeaf(const std::string& kind, const std::string& name, const std::vector<std::string>& urls,
                  bool revoked) {
    std::string cdp;
    for (const std::string& url : urls) cdp += (cdp.empty() ? "URI:" : ",URI:") + url;
    std::ofstream(path(kind, name + ".ext"))
        << "[x]\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
        << (cdp.empty() ? "" : "crlDistributionPoints=" + cdp + "\n");
    const std::string eng = kind == "rsa" ? "" : "-engine gost ";
    std::string script = "set -e\ncd '" + fixtureRoot() + "/" + kind + "'\nq() { \"$@\" >/dev/null 2>&1; }\n";
    script += "q openssl req " + eng + "-new -key leaf.key -subj '/CN=" + name + "' -out " + name + ".csr\n";
    script += "q openssl ca " + eng + "-batch -config inter.cnf -extfile " + name +
              ".ext -extensions x -in " + name + ".csr -out " + name + ".pem -days 30 -notext\n";
    if (revoked) script += "q openssl ca " + eng + "-config inter.cnf -revoke " + name + ".pem\n";
    script += "q openssl ca " + eng + "-config inter.cnf -gencrl -crldays 30 -out " + name + ".crl\n";
    script += "q openssl x509 -in " + name + ".pem -outform DER -out " + name + ".der\n";
    script += "q openssl crl -in " + name + ".crl -outform DER -out " + name + ".crl.der\n";
    const std::string file = path(kind, name + ".sh");
    std::ofstream(file) << script;
    if (std::system(("bash '" + file + "'").c_str()) != 0)
        throw std::runtime_error("leaf " + name + " not made");
    return {certDer(kind, name), crlDer(kind, name), CoreFixtures::ReadFile(path(kind, name + ".crl")),
            path(kind, name + ".pem")};
}

HttpTestResponse crlResponse(const Bytes& der) {
    HttpTestResponse response;
    response.headers = {{"Content-Type", "application/pkix-crl"}};
    response.body.assign(der.begin(), der.end());
    return response;
}

size_t cachedFiles() {
    const std::string folder = std::string(std::getenv("XDG_CACHE_HOME")) + "/kestrovan/crlcache";
    size_t n = 0;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
        if (entry.path().extension() == ".crl") ++n;
    return n;
}

// The developer-log lines of the platform while it lives.
class Diagnostics {
public:
    Diagnostics() {
        lines().clear();
        SetPlatformDiagnosticSink([](const char* line) {
            std::lock_guard guard(lock());
            lines().emplace_back(line);
        });
    }
    ~Diagnostics() { SetPlatformDiagnosticSink(nullptr); }
    std::string all() const {
        std::lock_guard guard(lock());
        std::string out;
        for (const std::string& line : lines()) out += line + "\n";
        return out;
    }

private:
    static std::vector<std::string>& lines() {
        static std::vector<std::string> l;
        return l;
    }
    static std::mutex& lock() {
        static std::mutex m;
        return m;
    }
};

TEST_P(ChainKinds, RevokedWithTheCrlOnlyAtItsDistributionPoint) {
    installCert("ROOT", certDer(kind(), "root"));
    installCert("CA", certDer(kind(), "inter"));
    installCrl("CA", crlDer(kind(), "root"));
    auto server = HttpTestServer::plain();
    const MadeLeaf leaf = makeLeaf(kind(), "cdp-revoked", {server->url("/inter.crl")}, true);
    server->setResponse("/inter.crl", crlResponse(leaf.crl));

    Chain cacheOnly;
    ASSERT_TRUE(buildChain(cacheOnly, leaf.cert, kDefaultFlags));
    EXPECT_EQ(cacheOnly.allBits(), (std::vector<DWORD>{kOffline, 0, 0}));
    EXPECT_EQ(server->requestCount(), 0u);

    Chain chain;
    ASSERT_TRUE(buildChain(chain, leaf.cert, kOnlineFlags));
    EXPECT_EQ(chain.allBits(), (std::vector<DWORD>{CERT_TRUST_IS_REVOKED, 0, 0}));
    EXPECT_EQ(policy(chain, CERT_CHAIN_POLICY_BASE).error, CRYPT_E_REVOKED);
    EXPECT_EQ(server->requestCount("/inter.crl"), 1u);
    EXPECT_EQ(cachedFiles(), 1u);
    // OpenSSL, given the CRL that was downloaded, agrees.
    EXPECT_EQ(
        opensslVerify(kind(),
                      "-CAfile root.pem -untrusted inter.pem -CRLfile root.crl -CRLfile cdp-revoked.crl "
                      "-crl_check_all cdp-revoked.pem"),
        23);
}

TEST(ChainDownload, SecondVerificationUsesTheCache) {
    VskTest::TestRoot root;
    installCert("ROOT", certDer("g256", "root"));
    installCert("CA", certDer("g256", "inter"));
    installCrl("CA", crlDer("g256", "root"));
    auto server = HttpTestServer::plain();
    const MadeLeaf leaf = makeLeaf("g256", "cdp-cached", {server->url("/inter.crl")}, false);
    // Served as PEM: taken as well, and kept in DER.
    HttpTestResponse pem;
    pem.body = leaf.crlPem;
    server->setResponse("/inter.crl", pem);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Chain chain;
        ASSERT_TRUE(buildChain(chain, leaf.cert, kOnlineFlags));
        EXPECT_EQ(chain.allBits(), (std::vector<DWORD>{0, 0, 0}));
        EXPECT_EQ(server->requestCount(), 1u);
    }
    EXPECT_EQ(cachedFiles(), 1u);
    // Cache-only retrieval reads the cache too.
    Chain cached;
    ASSERT_TRUE(buildChain(cached, leaf.cert, kDefaultFlags));
    EXPECT_EQ(cached.allBits(), (std::vector<DWORD>{0, 0, 0}));
    EXPECT_EQ(server->requestCount(), 1u);
    // Another leaf of the same issuer and distribution point finds the CRL in the cache as well.
    const MadeLeaf other = makeLeaf("g256", "cdp-cached2", {server->url("/inter.crl")}, false);
    Chain second;
    ASSERT_TRUE(buildChain(second, other.cert, kOnlineFlags));
    EXPECT_EQ(server->requestCount(), 1u);
}

TEST(ChainDownload, CacheOnlyMakesNoRequest) {
    VskTest::TestRoot root;
    installCert("ROOT", certDer("g256", "root"));
    installCert("CA", certDer("g256", "inter"));
    installCrl("CA", crlDer("g256", "root"));
    auto server = HttpTestServer::plain();
    const MadeLeaf leaf = makeLeaf("g256", "cdp-cacheonly", {server->url("/inter.crl")}, false);
    server->setResponse("/inter.crl", crlResponse(leaf.crl));
    const DWORD flags[] = {kDefaultFlags,
                           CERT_CHAIN_REVOCATION_CHECK_END_CERT | CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY,
                           CERT_CHAIN_REVOCATION_CHECK_END_CERT | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL};
    for (DWORD f : flags) {
        SCOPED_TRACE(f);
        Chain chain;
        ASSERT_TRUE(buildChain(chain, leaf.cert, f));
        EXPECT_EQ(chain.bits(0), kOffline);
    }
    EXPECT_EQ(server->requestCount(), 0u);
    EXPECT_EQ(cachedFiles(), 0u);
}

TEST(ChainDownload, TimeOutIsHonoured) {
    VskTest::TestRoot root;
    installCert("ROOT", certDer("g256", "root"));
    installCert("CA", certDer("g256", "inter"));
    installCrl("CA", crlDer("g256", "root"));
    auto silent = HttpTestServer::silent();
    constexpr DWORD kTimeoutMs = 600;
    using Clock = std::chrono::steady_clock;
    struct Row {
        const char* name;
        const char* leaf;
        DWORD flags;
        int budgets;  // time-outs the two silent addresses may cost together
    } rows[] = {
        {"accumulative: one budget for the chain", "cdp-silent1", kOnlineFlags, 1},
        {"per address", "cdp-silent2", CERT_CHAIN_REVOCATION_CHECK_END_CERT, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Addresses of its own: a failed one is not asked again for a while.
        const std::string path = std::string("/") + row.leaf;
        const MadeLeaf leaf =
            makeLeaf("g256", row.leaf, {silent->url(path + "a.crl"), silent->url(path + "b.crl")}, false);
        Diagnostics diagnostics;
        const auto start = Clock::now();
        Chain chain;
        ASSERT_TRUE(buildChain(chain, leaf.cert, row.flags, nullptr, nullptr, kTimeoutMs));
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_EQ(chain.bits(0), kOffline);
        EXPECT_GE(spent, kTimeoutMs * row.budgets - 100);
        // Generous for loaded machines, far below what an unbounded wait would take.
        EXPECT_LT(spent, kTimeoutMs * row.budgets + 5000);
        EXPECT_EQ(diagnostics.all().find("no time left") != std::string::npos, row.budgets == 1)
            << diagnostics.all();
    }
}

TEST(ChainDownload, FailedDownloadsAreReportedAndNotCached) {
    VskTest::TestRoot root;
    installCert("ROOT", certDer("g256", "root"));
    installCert("CA", certDer("g256", "inter"));
    installCrl("CA", crlDer("g256", "root"));
    auto server = HttpTestServer::plain();
    HttpTestResponse huge;
    huge.headers = {{"Content-Length", std::to_string(300ull * 1024 * 1024)}};
    huge.body = std::string(1 << 20, 'x');
    huge.repeat = 300;
    server->setResponse("/huge.crl", huge);
    server->setResponse("/other.crl", crlResponse(crlDer("g256", "inter-other")));
    HttpTestResponse garbage;
    garbage.body = "not a CRL";
    server->setResponse("/garbage.crl", garbage);
    // The address with a password is not served (404).
    const std::string withPassword = "http://user:secret@" + server->address() + "/private.crl";
    const MadeLeaf leaf = makeLeaf(
        "g256", "cdp-failing",
        {server->url("/huge.crl"), server->url("/other.crl"), server->url("/garbage.crl"), withPassword},
        false);
    Diagnostics diagnostics;
    const auto start = std::chrono::steady_clock::now();
    Chain chain;
    ASSERT_TRUE(buildChain(chain, leaf.cert, kOnlineFlags));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(chain.bits(0), kOffline);
    EXPECT_EQ(server->requestCount(), 4u);
    EXPECT_EQ(cachedFiles(), 0u);
    const std::string log = diagnostics.all();
    EXPECT_NE(log.find("huge.crl: larger than 268435456 bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("other.crl: not a CRL of the certificate's issuer"), std::string::npos) << log;
    EXPECT_NE(log.find("garbage.crl: not a CRL"), std::string::npos) << log;
    EXPECT_NE(log.find("http://user:***@" + server->address() + "/private.crl: HTTP status 404"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("secret"), std::string::npos) << log;

    // Within a minute the failed addresses are not asked again.
    const auto again = std::chrono::steady_clock::now();
    Chain second;
    ASSERT_TRUE(buildChain(second, leaf.cert, kOnlineFlags));
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(500));
    EXPECT_EQ(second.bits(0), kOffline);
    EXPECT_EQ(server->requestCount(), 4u);
}

// ---- Limits ---------------------------------------------------------------------------------------------

// A root, 34 CAs one under the other and a leaf (one EC key: quick to make), deeper than chains are
// built.
TEST(ChainLimits, ChainDeeperThanTheLimitIsPartial) {
    VskTest::TestRoot root;
    const std::string folder = VskTest::TempDir() + "/chain-deep";
    std::filesystem::create_directories(folder);
    const char* script = R"SH(set -e
cd "$1"
q() { "$@" >/dev/null 2>&1; }
q openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out k.key
q openssl req -x509 -new -key k.key -subj /CN=Level0 -days 30 -addext basicConstraints=critical,CA:TRUE -outform DER -out c0.der
for i in $(seq 1 35); do
  q openssl req -x509 -new -key k.key -subj /CN=Level$i -CA c$((i - 1)).der -CAkey k.key -days 30 -addext basicConstraints=critical,CA:TRUE -outform DER -out c$i.der
done
)SH";
    std::ofstream(folder + "/make.sh") << script;
    ASSERT_EQ(std::system(("bash '" + folder + "/make.sh' '" + folder + "'").c_str()), 0);
    installCert("ROOT", readBytes(folder + "/c0.der"));
    for (int i = 1; i < 35; ++i) installCert("CA", readBytes(folder + "/c" + std::to_string(i) + ".der"));
    Chain chain;
    ASSERT_TRUE(buildChain(chain, readBytes(folder + "/c35.der"), 0));
    // The leaf and the 32 levels of issuers looked for: the rest is missing.
    ASSERT_EQ(chain.simple().cElement, 33u);
    EXPECT_EQ(chain.p->TrustStatus.dwErrorStatus, CERT_TRUST_IS_PARTIAL_CHAIN);
    EXPECT_EQ(chain.bits(32), CERT_TRUST_IS_PARTIAL_CHAIN);
    EXPECT_EQ(policy(chain, CERT_CHAIN_POLICY_BASE).error, CERT_E_CHAINING);
    // Within the limit the same hierarchy is good.
    Chain shorter;
    ASSERT_TRUE(buildChain(shorter, readBytes(folder + "/c20.der"), 0));
    EXPECT_EQ(shorter.simple().cElement, 21u);
    EXPECT_EQ(shorter.p->TrustStatus.dwErrorStatus, 0u);
}

// ---- Arguments -----------------------------------------------------------------------------------------

TEST(ChainArguments, RefusedWithoutAChain) {
    VskTest::TestRoot root;
    CoreFixtures::Cert leaf(certDer("rsa", "good"));
    CERT_CHAIN_PARA para = chainPara();
    PCCERT_CHAIN_CONTEXT chain = reinterpret_cast<PCCERT_CHAIN_CONTEXT>(1);
    struct Row {
        const char* name;
        HCERTCHAINENGINE engine;
        PCCERT_CONTEXT cert;
        CERT_CHAIN_PARA* para;
    } rows[] = {
        {"no certificate", nullptr, nullptr, &para},
        {"no parameters", nullptr, leaf.p, nullptr},
        {"unknown engine", reinterpret_cast<HCERTCHAINENGINE>(7), leaf.p, &para},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetLastError(0);
        EXPECT_FALSE(
            CertGetCertificateChain(row.engine, row.cert, nullptr, nullptr, row.para, 0, nullptr, &chain));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
        EXPECT_EQ(chain, nullptr);
    }
    para.cbSize = 4;
    EXPECT_FALSE(CertGetCertificateChain(nullptr, leaf.p, nullptr, nullptr, &para, 0, nullptr, &chain));
    CertFreeCertificateChain(nullptr);

    para = chainPara();
    Chain built;
    ASSERT_TRUE(
        CertGetCertificateChain(HCCE_LOCAL_MACHINE, leaf.p, nullptr, nullptr, &para, 0, nullptr, &built.p));
    // Nothing in the computer's stores: the leaf alone.
    EXPECT_EQ(built.p->TrustStatus.dwErrorStatus, CERT_TRUST_IS_PARTIAL_CHAIN);
    SetLastError(0);
    EXPECT_FALSE(policy(built, "1.2.3.4").ran);
    EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
    CERT_CHAIN_POLICY_STATUS status{8, 0, 0, 0, nullptr};
    EXPECT_FALSE(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, built.p, nullptr, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    status.cbSize = sizeof status;
    EXPECT_TRUE(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, built.p, nullptr, &status));
    EXPECT_EQ(status.dwError, CERT_E_CHAINING);
    EXPECT_EQ(CertDuplicateCertificateChain(nullptr), nullptr);
}

}  // namespace
