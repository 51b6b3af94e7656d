// The certificate viewer: the certificate decoded with OpenSSL and shown as text in a modal dialog.
// OpenSSL comes first: the certificate stand-in then leaves OpenSSL's X509_NAME type alone.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <vsk/platform/cert.h>
#include <vsk/platform/cryptui.h>
#include <vsk/platform/kernel.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <memory>
#include <string>

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};

// Names as UTF-8 in one line; bytes above 0x7F are not escaped, so Cyrillic names stay readable.
constexpr unsigned long NameFlags = (XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT;

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

std::string thumbprint(X509* cert, const EVP_MD* md) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!X509_digest(cert, md, digest, &size)) return {};
    static const char Hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i) text += ' ';
        text += Hex[digest[i] >> 4];
        text += Hex[digest[i] & 15];
    }
    return text;
}

}  // namespace

std::u16string CertificateViewText(const BYTE* encoded, DWORD size) {
    if (!encoded || size == 0) return {};
    const unsigned char* p = encoded;
    std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &p, static_cast<long>(size)));
    if (!cert) return {};
    // A summary first, in the words of the program; OpenSSL's full dump (validity, serial number,
    // extensions, public key) follows it. OpenSSL writes UTF-8.
    auto dump = [](auto&& print) {
        std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
        if (!bio) return QString();
        print(bio.get());
        return QString::fromUtf8(bioText(bio.get()));
    };
    X509* x = cert.get();
    QString text;
    text += QStringLiteral("Кому выдан: ") +
            dump([&](BIO* b) { X509_NAME_print_ex(b, X509_get_subject_name(x), 0, NameFlags); });
    text += QStringLiteral("\nКем выдан: ") +
            dump([&](BIO* b) { X509_NAME_print_ex(b, X509_get_issuer_name(x), 0, NameFlags); });
    text += QStringLiteral("\nДействителен с: ") +
            dump([&](BIO* b) { ASN1_TIME_print(b, X509_get0_notBefore(x)); });
    text += QStringLiteral("\nДействителен по: ") +
            dump([&](BIO* b) { ASN1_TIME_print(b, X509_get0_notAfter(x)); });
    text += QStringLiteral("\nОтпечаток SHA-1: ") + QString::fromLatin1(thumbprint(x, EVP_sha1()).c_str());
    text +=
        QStringLiteral("\nОтпечаток SHA-256: ") + QString::fromLatin1(thumbprint(x, EVP_sha256()).c_str());
    text +=
        QStringLiteral("\n\n") + dump([&](BIO* b) { X509_print_ex(b, x, NameFlags, X509_FLAG_NO_SIGDUMP); });
    return text.toStdU16String();
}

BOOL CryptUIDlgViewCertificateW(const CRYPTUI_VIEWCERTIFICATE_STRUCTW* view, BOOL* propertiesChanged) {
    if (propertiesChanged) *propertiesChanged = FALSE;
    if (!view || view->dwSize != sizeof(CRYPTUI_VIEWCERTIFICATE_STRUCTW) || !view->pCertContext) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string text =
        CertificateViewText(view->pCertContext->pbCertEncoded, view->pCertContext->cbCertEncoded);
    if (text.empty()) {
        SetLastError(CRYPT_E_BAD_ENCODE_CODE);
        return FALSE;
    }
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    const QString title = view->szTitle ? QString::fromUtf16(view->szTitle) : QStringLiteral("Сертификат");
    RunOnGuiThread([&] {
        QDialog dialog(view->hwndParent);
        dialog.setObjectName(QStringLiteral("certificateViewer"));
        dialog.setWindowTitle(title);
        auto* layout = new QVBoxLayout(&dialog);
        auto* edit = new QPlainTextEdit(&dialog);
        edit->setReadOnly(true);
        edit->setLineWrapMode(QPlainTextEdit::NoWrap);
        edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        edit->setPlainText(QString::fromStdU16String(text));
        layout->addWidget(edit);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dialog);
        buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("ОК"));
        QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
        layout->addWidget(buttons);
        dialog.resize(640, 480);
        dialog.exec();
    });
    return TRUE;
}
