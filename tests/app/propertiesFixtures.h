// Fixtures of the properties and CRL-installation tests: a GOST authority made with openssl ca that
// issues certificates naming a CRL distribution point, revokes them and writes its CRL, and a
// helper that answers the modal dialogs a command opens.
#pragma once

#include "../pki/certificates/certificateFixtures.h"
#include "appTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace PropertiesFixtures {

inline std::string sh(const std::filesystem::path& path) {
    return CertFixture::quote(path.string());
}

// A GOST root and what it issues, in a folder of its own.
class Authority {
public:
    explicit Authority(const std::string& name) : m_dir(CertFixture::folder() / name) {
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        std::ofstream(m_dir / "index.txt").close();
        std::ofstream(m_dir / "serial") << "1000\n";
        std::ofstream(m_dir / "crlnumber") << "01\n";
        std::ofstream(m_dir / "ca.cnf")
            << "[ca]\ndefault_ca=d\n[d]\ndir=" << m_dir.string()
            << "\ndatabase=$dir/index.txt\nserial=$dir/serial\ncrlnumber=$dir/"
               "crlnumber\nnew_certs_dir=$dir\ndefault_md=md_gost12_256\n"
               "default_days=30\ndefault_crl_days=7\npolicy=p\nunique_subject=no\n"
               "[p]\ncommonName=supplied\n";
        run("openssl req -x509 -engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes -days 60 "
            "-keyout " +
            sh(m_dir / "root.key") + " -out " + sh(m_dir / "root.pem") + " -subj /CN=" + name + "-root");
    }

    // A leaf "CN=<name>" naming `crlUrl` as its distribution point (PEM file).
    std::filesystem::path issue(const std::string& name, const std::string& crlUrl) {
        std::ofstream(m_dir / "ca.cnf", std::ios::app)
            << "[ext_" << name << "]\nbasicConstraints=CA:FALSE\ncrlDistributionPoints=URI:" << crlUrl
            << "\n";
        run("openssl req -new -engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout " +
            sh(m_dir / (name + ".key")) + " -out " + sh(m_dir / (name + ".csr")) + " -subj /CN=" + name);
        run("openssl ca -batch -engine gost -notext -config " + sh(m_dir / "ca.cnf") + " -extensions ext_" +
            name + " -cert " + sh(m_dir / "root.pem") + " -keyfile " + sh(m_dir / "root.key") + " -in " +
            sh(m_dir / (name + ".csr")) + " -out " + sh(m_dir / (name + ".pem")));
        return m_dir / (name + ".pem");
    }

    void revoke(const std::filesystem::path& pem) {
        run("openssl ca -engine gost -config " + sh(m_dir / "ca.cnf") + " -cert " + sh(m_dir / "root.pem") +
            " -keyfile " + sh(m_dir / "root.key") + " -revoke " + sh(pem));
    }

    // The CRL as DER bytes.
    std::string crl() {
        run("openssl ca -engine gost -gencrl -config " + sh(m_dir / "ca.cnf") + " -cert " +
            sh(m_dir / "root.pem") + " -keyfile " + sh(m_dir / "root.key") + " -out " +
            sh(m_dir / "crl.pem"));
        run("openssl crl -in " + sh(m_dir / "crl.pem") + " -outform DER -out " + sh(m_dir / "crl.der"));
        std::ifstream in(m_dir / "crl.der", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    static void run(const std::string& command) {
        bool ok = false;
        CertFixture::run("(" + command + ") >/dev/null 2>&1", &ok);
        EXPECT_TRUE(ok) << command;
    }

    std::filesystem::path m_dir;
};

// Runs `action` while `answer` is handed the visible modal dialog at every tick (10 ms) until the
// action returns; the answer moves the dialog on (types, clicks, closes). Returns how many distinct
// dialogs were seen.
inline int WithModalDialogs(const std::function<void()>& action,
                            const std::function<void(QWidget*)>& answer) {
    std::vector<QWidget*> seen;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog || !dialog->isVisible()) return;
        if (std::find(seen.begin(), seen.end(), dialog) == seen.end()) seen.push_back(dialog);
        answer(dialog);
    });
    timer.start();
    action();
    timer.stop();
    return static_cast<int>(seen.size());
}

}  // namespace PropertiesFixtures
