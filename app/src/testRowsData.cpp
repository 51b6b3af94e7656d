// The test's rows on data and keys: random test data, its encryption to the user's own certificate and
// its decryption, detached and attached signatures with their verification, and a temporary key
// container created with a key pair and deleted again.
#include "testDlg.h"

#include <vsk/pki/EncryptedData.h>
#include <vsk/pki/PkiHelpers.h>
#include <vsk/pki/Signature.h>
#include <vsk/pki/SignedData.h>
#include <vsk/utils/string.h>
#include <vsk/utils/system.h>

#include <cstdlib>
#include <ctime>

using Vsk::PKI::CCertificate;
using Vsk::PKI::CKeyContainer;
using Vsk::PKI::CSPInfo;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

// A token's generator and its on-board cryptography are slow: its test data stays this small (bytes).
constexpr uint64_t TokenDataCap = 10240;

const QString NotSigned = QStringLiteral(u"Данные не были подписаны!");

QString statusText(DWORD status) {
    return fromCp1251(Vsk::PKI::getVerifyStatusText(status));
}

}  // namespace

QString formatByteCount(uint64_t count) {
    return toQ(Vsk::Utils::GroupDigits(Vsk::Utils::ToWString(count), 3, u"'"));
}

uint64_t testDataSize(int draw, int32_t minKiB, int32_t maxKiB, bool token) {
    double size = (static_cast<double>(draw) * (maxKiB - minKiB) / 32767.0 + minKiB) * 1024.0;
    if (size < 0) size = 0;  // a negative range must not wrap around to a huge size
    const uint64_t bytes = static_cast<uint64_t>(size);
    return token && bytes > TokenDataCap ? TokenDataCap : bytes;
}

bool isBadSignatureStatus(DWORD status) {
    return (status >= 1 && status <= 3) || (status >= 201 && status <= 203);
}

bool CTest::runDataSteps(const Vsk::PKI::CSPInfoArray& providers) {
    m_provider = m_container.isNull() ? nullptr : m_container.get_CSPInfo();
    if (!m_container.isNull())
        m_providerName = toQ(m_container.get_ProvName());
    else if (!providers.isEmpty() && providers[0])
        m_providerName = toQ(providers[0]->m_name);
    else
        m_providerName.clear();
    m_data = CDataBlob();
    m_encrypted = CDataBlob();
    m_signature = CDataBlob();
    m_signSettings = Vsk::PKI::CSignSettings(static_cast<const Vsk::PKI::CSignSettings*>(nullptr));

    struct Step {
        int number;
        const char16_t* header;
        std::function<bool(QString&)> work;
    };
    const Step steps[] = {
        {5, u"<tr><td>5<td>Создание исходных данных<td>", [this](QString& r) { return createTestData(r); }},
        {6, u"<tr><td>6<td>Шифрование.", [this](QString& r) { return encryptTestData(r); }},
        {7, u"<tr><td>7<td>Расшифрование<td>", [this](QString& r) { return decryptTestData(r); }},
        {8, u"<tr><td>8<td>Формирование отсоединенной электронной подписи.",
         [this](QString& r) { return signDetached(r); }},
        {9, u"<tr><td>9<td>Проверка отсоединенной электронной подписи<td>",
         [this](QString& r) { return verifyDetached(r); }},
        {10, u"<tr><td>10<td>Формирование присоединенной электронной подписи.",
         [this](QString& r) { return signAttached(r); }},
        {11, u"<tr><td>11<td>Проверка присоединенной электронной подписи<td>",
         [this](QString& r) { return verifyAttached(r); }},
        {12, u"<tr><td>12<td>Создание ключевого контейнера и генерация ключей<td>",
         [this, &providers](QString& r) { return createTempKeyContainer(r, providers); }},
    };
    for (const Step& step : steps) {
        if (step.number == 12 && m_keyContainerMode) break;
        if (step.number == 11 && !m_container.isNull()) {
            // The password entered for steps 7 and 8 does not outlive the signing.
            CWString empty;
            m_container.put_KeysetPassword(empty);
        }
        logStep(step.number);
        runStep(step.number, QString::fromUtf16(step.header), step.work);
        if (afterRow()) return false;
    }
    return true;
}

bool CTest::askTokenPin(const CError& error) {
    if (!m_provider || !m_provider->isToken() || !isCredentialError(error)) return false;
    const Vsk::PKCS11::CToken& token = m_provider->getToken();
    const CWString info = CWString(u"\"") + token.getName() + u"\"";
    if (m_stepWatch) m_stepWatch->update();
    bool ok = false;
    Vsk::Utils::CAString pin;
    onGui([&] {
        CPINDlg dialog(info, this);
        if (dialog.exec() == IDOK) {
            pin = dialog.m_pin.getPassword();
            ok = true;
        }
    });
    if (m_stepWatch) m_stepWatch->restamp();
    if (!ok) return false;
    token.loginAnsi(pin);
    return true;
}

// Step 5.
bool CTest::createTestData(QString& result) {
    if (m_providerName.isEmpty()) {
        result = resultText(3);
        return false;
    }
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    // The draw keeps the classic 0 to 32767 range whatever the C library's RAND_MAX.
    const int r = std::rand() % 32768;
    const uint64_t bytes = testDataSize(r, m_testDataMin, m_testDataMax, m_provider && m_provider->isToken());
    m_data.setData(static_cast<size_t>(bytes), nullptr);
    Vsk::PKI::CCsp csp(true);
    if (m_provider) csp.putCSPInfo(m_provider);
    for (;;) {
        try {
            csp.GenRandom(m_data);
            break;
        } catch (const CError& error) {
            if (!askTokenPin(error)) throw;
        }
    }
    result = QStringLiteral(u"Успешно создано ") + formatByteCount(m_data.getSize()) +
             QStringLiteral(u" байт случайных чисел");
    return true;
}

// Step 6.
bool CTest::encryptTestData(QString& result) {
    if (m_certificate.isNull()) {
        result = resultText(4);
        return false;
    }
    Vsk::PKI::CEncryptSettings settings;
    Vsk::Utils::CArray<CCertificate> recipients;
    recipients.add(m_certificate);
    settings.putRecipientCertificates(recipients);
    settings.putProvider(m_provider);
    m_report += QStringLiteral(u"<br>Алгоритм шифрования: ") +
                htmlEscape(toQ(settings.get_EncryptAlgorithm(true))) + QStringLiteral(".<td>");
    m_nameCellOpen = false;
    for (;;) {
        try {
            Vsk::PKI::CEncryptedData message;
            message.EncryptSettings() = settings;
            message.EncryptStart();
            m_encrypted = message.EncryptBlock(m_data, true);
            break;
        } catch (const CError& error) {
            if (!askTokenPin(error)) throw;
        }
    }
    result = QStringLiteral(u"Успешно, размер зашифрованных данных: ") +
             formatByteCount(m_encrypted.getSize()) + QStringLiteral(u" байт");
    return true;
}

// Step 7.
bool CTest::decryptTestData(QString& result) {
    if (!m_encrypted.getSize()) {
        result = QStringLiteral(u"Данные не были зашифрованы!");
        return false;
    }
    if (m_container.isNull()) {
        result = resultText(4);
        return false;
    }
    Vsk::Utils::CStopwatch idle(Vsk::Utils::CStopwatch::ThreadCpu);
    Vsk::Utils::CStopwatch& stepWatch = m_stepWatch ? *m_stepWatch : idle;
    CDataBlob decrypted;
    for (;;) {
        try {
            Vsk::PKI::CDecryptSettings settings;
            settings.get_CommonSettings().put_Silent(true);
            settings.put_KeyContainer(&m_container);
            Vsk::PKI::CEncryptedData message;
            message.DecryptSettings() = settings;
            message.DecryptStart();
            decrypted = message.DecryptBlock(m_encrypted, true);
            break;
        } catch (const CError& error) {
            if (!askContainerPassword(error, m_container, m_certificate.isNull() ? nullptr : &m_certificate,
                                      stepWatch))
                throw;
        }
    }
    if (decrypted != m_data) {
        result = QStringLiteral(u"Расшифрованные данные НЕ совпали с исходными данными!");
        return false;
    }
    result = QStringLiteral(u"Успешно, расшифрованные данные совпали с исходными данными");
    return true;
}

// Step 8.
bool CTest::signDetached(QString& result) {
    m_signSettings = Vsk::PKI::CSignSettings();
    m_signature = CDataBlob();
    if (m_certificate.isNull() || m_container.isNull()) {
        result = resultText(4);
        return false;
    }
    Vsk::Utils::CStopwatch idle(Vsk::Utils::CStopwatch::ThreadCpu);
    Vsk::Utils::CStopwatch& stepWatch = m_stepWatch ? *m_stepWatch : idle;
    for (;;) {
        try {
            m_signSettings.put_Detached(true);
            m_signSettings.put_IncludeDateTime(true);
            m_signSettings.put_IncludeSignerCert(true);
            m_signSettings.put_SignerCert(&m_certificate);
            m_signSettings.put_KeyContainer(&m_container);
            m_signSettings.put_IncludeTimestamp(false);
            if (m_nameCellOpen) {
                m_report += QStringLiteral(u"<br>Алгоритм хэширования: ") +
                            htmlEscape(toQ(m_signSettings.get_HashAlgorithm(true))) + QStringLiteral(".<td>");
                m_nameCellOpen = false;
            }
            Vsk::PKI::CSignedData message;
            message.SignStart(m_signSettings);
            CDataBlob output;
            message.SignBlock(m_data, &output, true);
            m_signature = output;
            break;
        } catch (const CError& error) {
            if (!askContainerPassword(error, m_container, &m_certificate, stepWatch)) throw;
        }
    }
    result = QStringLiteral(u"Успешно, размер подписи: ") + formatByteCount(m_signature.getSize()) +
             QStringLiteral(u" байт");
    return true;
}

// Step 9: the window's verification settings; a bad signature fails the step, a doubtful chain only
// shows in the text (step 4 judges the certificate).
bool CTest::verifyDetached(QString& result) {
    if (!m_signature.getSize()) {
        result = NotSigned;
        return false;
    }
    Vsk::PKI::CSignedData message;
    message.ImportBlock(m_signature, nullptr, true);
    message.ImportBlockClearData(m_data, true);
    Vsk::PKI::CSignature* signature = message.GetSignature(0);
    if (!signature) {
        result = NotSigned;
        return false;
    }
    Vsk::PKI::CSignatureVerifySettings settings;
    if (!m_verifySettings.isNull()) settings.put_CertVerifySettings(&m_verifySettings);
    const DWORD status = signature->Verify(&settings);
    result = statusText(status);
    return !isBadSignatureStatus(status);
}

// Step 10.
bool CTest::signAttached(QString& result) {
    m_signature = CDataBlob();
    if (m_certificate.isNull() || m_container.isNull()) {
        result = resultText(4);
        return false;
    }
    if (m_signSettings.isNull()) m_signSettings = Vsk::PKI::CSignSettings();
    m_report += QStringLiteral(u"<br>Алгоритм хэширования: ") +
                htmlEscape(toQ(m_signSettings.get_HashAlgorithm(true))) + QStringLiteral(".<td>");
    m_nameCellOpen = false;
    m_signSettings.put_Detached(false);
    Vsk::PKI::CSignedData message;
    message.SignStart(m_signSettings);
    CDataBlob output;
    message.SignBlock(m_data, &output, true);
    m_signature = output;
    result = QStringLiteral(u"Успешно, размер подписанных данных: ") +
             formatByteCount(m_signature.getSize()) + QStringLiteral(u" байт");
    return true;
}

// Step 11: default verification settings; the content must come back unchanged.
bool CTest::verifyAttached(QString& result) {
    if (!m_signature.getSize()) {
        result = NotSigned;
        return false;
    }
    Vsk::PKI::CSignedData message;
    CDataBlob content;
    message.ImportBlock(m_signature, &content, true);
    if (content != m_data) {
        result = QStringLiteral(u"Данные из подписи НЕ совпали с исходными данными!");
        return false;
    }
    Vsk::PKI::CSignature* signature = message.GetSignature(0);
    if (!signature) {
        result = NotSigned;
        return false;
    }
    Vsk::PKI::CSignatureVerifySettings settings;
    const DWORD status = signature->Verify(&settings);
    result = statusText(status) + QStringLiteral(u", данные из подписи совпали с исходными данными");
    return !isBadSignatureStatus(status);
}

// Step 12. Without the run's key container the first GOST provider of step 3 makes the container.
bool CTest::createTempKeyContainer(QString& result, const Vsk::PKI::CSPInfoArray& providers) {
    if (providers.isEmpty()) {
        result = resultText(3);
        return false;
    }
    CSPInfo* provider = m_provider ? m_provider : providers[0].get();
    const Vsk::PKI::CReaderArray readers = provider->GetReaders(true);
    if (readers.isEmpty()) {
        result = QStringLiteral(u"Отсутствуют ключевые носители");
        return false;
    }
    size_t chosen = 0;
    for (size_t i = 0; i < readers.getCount(); ++i)
        if (readers[i].m_name == CWString(u"REGISTRY")) chosen = i;
    const Vsk::PKI::CReaderInfo& reader = readers[chosen];

    CKeyContainer temp(true);
    const CWString name = Vsk::Utils::CreateGuid();
    CWString password(u"mivo");
    temp.put_KeysetPassword(password);
    temp.put_ParentWnd(this);
    temp.get_CommonSettings().put_Silent(false);
    bool created = false;
    // The container carries a password everybody knows: once made, it must not stay on the medium,
    // whatever failed after its creation. Both the failure and a failed removal are reported.
    auto removeAfter = [&](const QString& failure) {
        if (!result.isEmpty()) result += QStringLiteral("\r\n");
        result += failure;
        if (!created) return;
        try {
            temp.Delete();
        } catch (const CError& error) {
            result += QStringLiteral("\r\n") + toQ(error.getText());
        } catch (...) {
            result += QStringLiteral(u"\r\nНеопознанная ошибка");
        }
    };
    try {
        temp.New(provider, reader.m_name, name, m_computer);
        created = true;
        temp.Generate(!m_container.isNull() && m_container.isExportable());
        result = toQ(name) + QStringLiteral(u" успешно создан в ") + toQ(reader.m_nickName);
        temp.Delete();
        created = false;
        result += QStringLiteral(u", успешно удален");
        return true;
    } catch (const CError& error) {
        removeAfter(toQ(error.getText()));
    } catch (...) {
        removeAfter(QStringLiteral(u"Неопознанная ошибка"));
    }
    return false;
}
