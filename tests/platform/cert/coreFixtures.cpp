#include "coreFixtures.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace CoreFixtures {

namespace {

const char* const kScript = R"(set -e
cd "$1"
q() { "$@" >/dev/null 2>&1; }
q openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -subj "/CN=Core Test CA/O=Kestrovan" -days 3650 -set_serial 1 -addext basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign,cRLSign -out ca.pem
q openssl req -x509 -newkey rsa:2048 -nodes -keyout ca2.key -subj "/CN=Other CA" -days 3650 -set_serial 2 -out ca2.pem
q openssl req -new -newkey rsa:2048 -nodes -keyout leaf.key -subj "/CN=Leaf/O=Kestrovan" -out leaf.csr
q openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial 0x1234 -days 365 -out leaf.pem
q openssl x509 -req -in leaf.csr -CA ca2.pem -CAkey ca2.key -set_serial 0x1234 -days 365 -out leaf2.pem
q openssl req -engine gost -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout g256.key -subj "/CN=GOST 256" -md_gost12_256 -days 365 -out g256.pem
q openssl req -engine gost -x509 -newkey gost2012_512 -pkeyopt paramset:A -nodes -keyout g512.key -subj "/CN=GOST 512" -md_gost12_512 -days 365 -out g512.pem
mkdir -p db; : > db/index.txt; echo 01 > db/crlnumber
cat > ca.cnf <<EOC
[ca]
default_ca = d
[d]
database = db/index.txt
crlnumber = db/crlnumber
default_md = sha256
certificate = ca.pem
private_key = ca.key
[delta]
2.5.29.27 = critical,DER:02:01:01
EOC
q openssl ca -config ca.cnf -revoke leaf.pem
q openssl ca -config ca.cnf -gencrl -crl_lastupdate 20250101000000Z -crl_nextupdate 20350101000000Z -out crl1.pem
q openssl ca -config ca.cnf -gencrl -crl_lastupdate 20250201000000Z -crl_nextupdate 20350101000000Z -out crl2.pem
q openssl ca -config ca.cnf -gencrl -crl_lastupdate 20250301000000Z -crl_nextupdate 20350101000000Z -crlexts delta -out delta.pem
for f in ca ca2 leaf leaf2 g256 g512; do openssl x509 -in $f.pem -outform DER -out $f.der; done
for f in crl1 crl2 delta; do openssl crl -in $f.pem -outform DER -out $f.der; done
)";

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("fixture command failed: " + command);
}

Bytes readDer(const std::string& path) {
    const std::string s = ReadFile(path);
    if (s.empty()) throw std::runtime_error("fixture missing: " + path);
    return Bytes(s.begin(), s.end());
}

std::string fixtureDir() {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/certcore-fixtures";
}

}  // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const Set& Get() {
    static std::once_flag once;
    static Set set;
    std::call_once(once, [] {
        set.dir = fixtureDir();
        std::filesystem::create_directories(set.dir);
        { std::ofstream(set.dir + "/gen.sh") << kScript; }
        run("bash '" + set.dir + "/gen.sh' '" + set.dir + "'");
        set.ca = readDer(set.dir + "/ca.der");
        set.otherCa = readDer(set.dir + "/ca2.der");
        set.leaf = readDer(set.dir + "/leaf.der");
        set.leafOther = readDer(set.dir + "/leaf2.der");
        set.gost256 = readDer(set.dir + "/g256.der");
        set.gost512 = readDer(set.dir + "/g512.der");
        set.crl1 = readDer(set.dir + "/crl1.der");
        set.crl2 = readDer(set.dir + "/crl2.der");
        set.delta = readDer(set.dir + "/delta.der");
    });
    return set;
}

std::vector<Bytes> Leaves(int first, int count) {
    const Set& s = Get();
    std::ostringstream script;
    script << "cd '" << s.dir << "' && for i in $(seq " << first << " " << first + count - 1 << "); do "
           << "openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial $i -days 365 -outform DER "
           << "-out many-$i.der >/dev/null 2>&1 || exit 1; done";
    run(script.str());
    std::vector<Bytes> out;
    for (int i = first; i < first + count; ++i)
        out.push_back(readDer(s.dir + "/many-" + std::to_string(i) + ".der"));
    return out;
}

Cert::Cert(const Bytes& der)
    : p(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                     static_cast<DWORD>(der.size()))) {}

Bytes Thumbprint(PCCERT_CONTEXT cert) {
    Bytes out(20);
    DWORD size = 20;
    if (!CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, out.data(), &size)) return {};
    return out;
}

Bytes Blob(const CRYPT_DATA_BLOB& b) {
    return Bytes(b.pbData, b.pbData + b.cbData);
}

int CountCertificates(HCERTSTORE store) {
    int n = 0;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c))) ++n;
    return n;
}

}  // namespace CoreFixtures
