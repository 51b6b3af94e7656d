// Fixtures of the import, export and deletion tests: the file dialogs answered from a script (with the
// requests they were asked), certificates whose DER length gives a chosen Base64 shape, and the
// certificates a system store holds.
#pragma once

#include "appTestSupport.h"
#include "certListFixtures.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/Store.h>
#include <vsk/platform/commdlg.h>

#include <deque>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ImportExportFixtures {

// While it lives, the open and save dialogs answer from the script (a path, or nullopt for a cancel;
// a cancel when the script is empty) and remember what they were asked.
class FileDialogs {
public:
    FileDialogs() {
        SetFileDialogDriver([this](const FileDialogRequest& request) -> std::optional<std::u16string> {
            m_requests.push_back(request);
            if (m_answers.empty()) return std::nullopt;
            std::optional<std::u16string> answer = m_answers.front();
            m_answers.pop_front();
            return answer;
        });
    }
    ~FileDialogs() { SetFileDialogDriver({}); }
    FileDialogs(const FileDialogs&) = delete;
    FileDialogs& operator=(const FileDialogs&) = delete;

    void answer(std::optional<std::u16string> path) { m_answers.push_back(std::move(path)); }
    const std::vector<FileDialogRequest>& requests() const { return m_requests; }
    void clear() { m_requests.clear(); }

private:
    std::deque<std::optional<std::u16string>> m_answers;
    std::vector<FileDialogRequest> m_requests;
};

// A self-signed certificate whose DER length meets `wanted`: names of growing length are tried (the
// ECDSA signature's length also varies) until one fits.
inline ListFixture::Der CertificateWhere(const std::string& name, const std::function<bool(size_t)>& wanted) {
    for (int attempt = 0; attempt < 2000; ++attempt) {
        ListFixture::Der der =
            ListFixture::Make({name + std::string(static_cast<size_t>(attempt % 60), 'x')});
        if (wanted(der.size())) return der;
    }
    ADD_FAILURE() << "no certificate of the wanted length";
    return {};
}

inline Vsk::PKI::CCertificate Load(const ListFixture::Der& der) {
    Vsk::PKI::CCertificate certificate(true);
    certificate.LoadFromBlob(Vsk::Utils::CDataBlob(der.data(), der.size(), true));
    return certificate;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::u16string Wide(const std::string& path) {
    return VskTest::Utf16(path);
}

// The certificates of a system store of the user.
inline Vsk::Utils::CArray<Vsk::PKI::CCertificate> StoreCertificates(const WCHAR* name) {
    Vsk::PKI::CStore store(true);
    store.Open(name, STORE_LOCATION_USER);
    Vsk::Utils::CArray<Vsk::PKI::CCertificate> all;
    store.GetCertificates(&all);
    return all;
}

// The tree's item of a node.
inline QTreeWidgetItem* TreeItem(CKestrovanDlg& window, NodeId node) {
    for (QTreeWidgetItemIterator it(window.tree()); *it; ++it)
        if (CKestrovanDlg::nodeOf(*it) == node) return *it;
    ADD_FAILURE() << "no tree node " << node;
    return nullptr;
}

// Exactly these rows selected, the first of them current.
inline void SelectRows(CKestrovanDlg& window, const std::vector<int>& rows) {
    window.list()->clearSelection();
    if (!rows.empty())
        window.list()->setCurrentItem(window.listItem(rows.front()), 0, QItemSelectionModel::NoUpdate);
    for (int row : rows) window.listItem(row)->setSelected(true);
}

}  // namespace ImportExportFixtures
