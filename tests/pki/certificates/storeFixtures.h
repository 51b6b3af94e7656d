// Certificates and CRLs for the store, name and CRL tests, made once per test process with the
// `openssl` command (GOST engine for the GOST keys) in a folder under the test root's TMPDIR.
#pragma once

#include <vsk/utils/dataBlob.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace StoreFixtures {

inline std::string folder() {
    static const std::string path = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/store-fixtures";
        std::filesystem::create_directories(dir + "/db");
        return dir;
    }();
    return path;
}

// Runs a shell command in the fixture folder; false when it failed (its output is in cmd.log).
inline bool run(const std::string& command) {
    const std::string line = "cd '" + folder() + "' && (" + command + ") >>cmd.log 2>&1";
    return std::system(line.c_str()) == 0;
}

inline std::string readFile(const std::string& name) {
    std::ifstream in(folder() + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Vsk::Utils::CDataBlob blobOf(const std::string& bytes) {
    return Vsk::Utils::CDataBlob(bytes.data(), bytes.size(), true);
}

// Key algorithms of the fixtures.
enum class Key { Rsa, Gost256, Gost512 };

inline std::string newKeyArgs(Key key) {
    switch (key) {
        case Key::Rsa:
            return "-newkey rsa:2048";
        case Key::Gost256:
            return "-engine gost -newkey gost2012_256 -pkeyopt paramset:A";
        case Key::Gost512:
            return "-engine gost -newkey gost2012_512 -pkeyopt paramset:A";
    }
    return {};
}

// A certification authority with its own database, able to issue certificates and CRLs.
class Authority {
public:
    Authority(const std::string& name, Key key, const std::string& subject) : m_name(name), m_key(key) {
        const std::string db = "db/" + name;
        std::filesystem::create_directories(folder() + "/" + db);
        std::ofstream(folder() + "/" + name + ".cnf")
            << "[ca]\ndefault_ca = ca_section\n[ca_section]\ndatabase = ./" << db << "/index.txt\n"
            << "crlnumber = ./" << db << "/crlnumber\nnew_certs_dir = ./" << db << "\nserial = ./" << db
            << "/serial\ndefault_md = default\ndefault_crl_days = 30\ndefault_days = 30\n"
            << "policy = policy_any\nunique_subject = no\ncopy_extensions = copy\n"
            << "[policy_any]\ncountryName = optional\norganizationName = optional\nsurname = optional\n"
            << "givenName = optional\ncommonName = optional\n"
            << "[next_publish]\n1.3.6.1.4.1.311.21.4 = DER:17:0D:33:30:30:31:30:31:30:30:30:30:30:30:5A\n"
            << "[bad_next_publish]\n1.3.6.1.4.1.311.21.4 = DER:04:01:00\n[plain]\n";
        const std::string init =
            "touch " + db + "/index.txt && echo 01 > " + db + "/crlnumber && echo 1000 > " + db + "/serial";
        m_ok = run(init) &&
               run("openssl req -x509 " + newKeyArgs(key) + " -nodes -keyout " + name + ".key -out " + name +
                   ".pem -days 365 -subj '" + subject + "'") &&
               run("openssl x509 -in " + name + ".pem -outform DER -out " + name + ".der");
    }

    bool ok() const { return m_ok; }
    Vsk::Utils::CDataBlob der() const { return blobOf(readFile(m_name + ".der")); }

    // Issues a certificate for the subject with a key of its own; the DER bytes, empty on failure.
    Vsk::Utils::CDataBlob issue(const std::string& file, Key key, const std::string& subject,
                                const std::string& extraReqArgs = {}) {
        const bool done =
            run("openssl req " + newKeyArgs(key) + " -nodes -keyout " + file + ".key -out " + file +
                ".csr -subj '" + subject + "' " + extraReqArgs) &&
            run("openssl ca " + engine() + " -batch -config " + m_name + ".cnf -cert " + m_name +
                ".pem -keyfile " + m_name + ".key -in " + file + ".csr -out " + file + ".pem") &&
            run("openssl x509 -in " + file + ".pem -outform DER -out " + file + ".der");
        return done ? blobOf(readFile(file + ".der")) : Vsk::Utils::CDataBlob();
    }

    bool revoke(const std::string& file) {
        return run("openssl ca " + engine() + " -config " + m_name + ".cnf -cert " + m_name +
                   ".pem -keyfile " + m_name + ".key -revoke " + file + ".pem");
    }

    // A CRL in DER; `section` names the CRL extensions (plain, next_publish, bad_next_publish).
    Vsk::Utils::CDataBlob crl(const std::string& file, const std::string& section = "plain") {
        const bool done =
            run("openssl ca " + engine() + " -config " + m_name + ".cnf -cert " + m_name + ".pem -keyfile " +
                m_name + ".key -gencrl -crlexts " + section + " -out " + file + ".pem") &&
            run("openssl crl -in " + file + ".pem -outform DER -out " + file + ".der");
        return done ? blobOf(readFile(file + ".der")) : Vsk::Utils::CDataBlob();
    }

private:
    std::string engine() const { return m_key == Key::Rsa ? "" : "-engine gost"; }

    std::string m_name;
    Key m_key;
    bool m_ok = false;
};

// The fixtures shared by the tests, made on first use.
struct Set {
    Vsk::Utils::CDataBlob rsaRoot, gostRoot;
    Vsk::Utils::CDataBlob rsaUser, gost256User, gost512User, gostRevoked, otherIssuerSameSerial;
    Vsk::Utils::CDataBlob crl, crlNextPublish, crlBadNextPublish, crlLater;
    bool ok = false;
};

inline const Set& get() {
    static const Set set = [] {
        Set s;
        Authority rsa("rsaca", Key::Rsa, "/C=RU/O=Fixture RSA/CN=Fixture RSA Root");
        Authority gost("gostca", Key::Gost256, "/C=RU/O=Fixture GOST/CN=Fixture GOST Root");
        Authority other("otherca", Key::Gost256, "/C=RU/O=Other GOST/CN=Other GOST Root");
        if (!rsa.ok() || !gost.ok() || !other.ok()) return s;
        s.rsaRoot = rsa.der();
        s.gostRoot = gost.der();
        // Serial 1000 of the GOST authority: listed in its CRL.
        s.gostRevoked = gost.issue("revoked", Key::Gost256, "/C=RU/CN=Revoked User");
        // Serial 1000 of another authority: the same serial number, another issuer.
        s.otherIssuerSameSerial = other.issue("otheruser", Key::Gost256, "/C=RU/CN=Other User");
        s.gost256User =
            gost.issue("gost256", Key::Gost256, "/C=RU/O=Fixture GOST/SN=Ivanov/GN=Ivan/CN=Ivan Ivanov");
        s.gost512User = gost.issue("gost512", Key::Gost512, "/C=RU/CN=User 512");
        s.rsaUser = rsa.issue("rsauser", Key::Rsa, "/C=RU/O=Fixture RSA/CN=RSA User");
        if (!gost.revoke("revoked")) return s;
        s.crl = gost.crl("crl");
        s.crlNextPublish = gost.crl("crlnp", "next_publish");
        s.crlBadNextPublish = gost.crl("crlbad", "bad_next_publish");
        run("sleep 1");
        s.crlLater = gost.crl("crllater");
        s.ok = s.gostRevoked.getSize() && s.otherIssuerSameSerial.getSize() && s.gost256User.getSize() &&
               s.gost512User.getSize() && s.rsaUser.getSize() && s.crl.getSize() &&
               s.crlNextPublish.getSize() && s.crlBadNextPublish.getSize() && s.crlLater.getSize();
        return s;
    }();
    return set;
}

// `count` self-signed certificates with P-256 keys (quick to make), made once per count.
inline std::vector<Vsk::Utils::CDataBlob> many(size_t count) {
    static std::map<size_t, std::vector<Vsk::Utils::CDataBlob>> made;
    auto it = made.find(count);
    if (it != made.end()) return it->second;
    std::vector<Vsk::Utils::CDataBlob> out;
    const std::string prefix = "many" + std::to_string(count) + "_";
    const std::string loop =
        "for i in $(seq 1 " + std::to_string(count) +
        "); do openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + prefix +
        "$i.key -outform DER -out " + prefix + "$i.der -days 30 -subj \"/CN=Many $i\" || exit 1; done";
    if (run(loop))
        for (size_t i = 1; i <= count; ++i)
            out.push_back(blobOf(readFile(prefix + std::to_string(i) + ".der")));
    made[count] = out;
    return out;
}

}  // namespace StoreFixtures
