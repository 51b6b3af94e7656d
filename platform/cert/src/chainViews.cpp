// The system store views that chain building reads (ROOT, CA, MY, TRUST, DISALLOWED), kept open from
// one chain to the next while their folders are unchanged, and CRLs parsed for OpenSSL once.
//
// Opening a system store reads every element file of its folder; a user verifying the thousand
// certificates of a MY store would otherwise read that folder a thousand times. A view is read again
// when this process changed any system store since (SystemStoreGeneration) or when a folder's
// modification time moved (another process added, replaced or deleted an element: every change is a
// rename into the folder or an unlink in it). Folder times move with the file system's clock, a few
// milliseconds at a time: another process's change made within the same tick as the reading is seen
// with the next change.
#include "chainImpl.h"

#include <vsk/platform/identity.h>
#include <vsk/platform/utf8.h>

#include <openssl/err.h>
#include <openssl/pem.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace vsk::cert {

X509Ptr ToX509(const BYTE* der, size_t size) {
    const unsigned char* p = der;
    X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(size)));
    if (!x) ERR_clear_error();
    return x;
}

time_t TimeFromFileTime(const FILETIME& time) {
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    constexpr uint64_t kEpochTicks = 116444736000000000ULL;  // 1601-01-01 to 1970-01-01
    if (ticks < kEpochTicks) return -static_cast<time_t>((kEpochTicks - ticks) / 10000000ULL);
    return static_cast<time_t>((ticks - kEpochTicks) / 10000000ULL);
}

// ---- CRLs --------------------------------------------------------------------------------------------

namespace {

// A CRL is normally checked against its one issuer's key; a few more are kept for key roll-overs.
constexpr size_t kCheckedKeysKept = 8;

Bytes publicKeyDer(X509* cert) {
    unsigned char* der = nullptr;
    const int n = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
    Bytes out;
    if (n > 0) out.assign(der, der + n);
    OPENSSL_free(der);
    return out;
}

}  // namespace

bool ParsedCrl::SignedBy(X509* issuer) {
    Bytes key = publicKeyDer(issuer);
    if (key.empty()) return false;
    std::lock_guard guard(m_lock);
    for (const auto& [checkedKey, outcome] : m_checked)
        if (checkedKey == key) return outcome;
    EVP_PKEY* pkey = X509_get0_pubkey(issuer);
    const bool ok = pkey && X509_CRL_verify(m_crl.get(), pkey) == 1;
    ERR_clear_error();
    if (m_checked.size() >= kCheckedKeysKept) m_checked.erase(m_checked.begin());
    m_checked.emplace_back(std::move(key), ok);
    return ok;
}

ParsedCrlPtr ParseCrl(const BYTE* data, size_t size, bool allowPem) {
    const unsigned char* p = data;
    X509CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(size)));
    if (crl && p != data + size) crl.reset();  // something after the CRL: not a CRL file
    if (!crl && allowPem) {
        BIO* bio = BIO_new_mem_buf(data, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
        if (bio) crl.reset(PEM_read_bio_X509_CRL(bio, nullptr, nullptr, nullptr));
        BIO_free(bio);
    }
    ERR_clear_error();
    return crl ? std::make_shared<ParsedCrl>(std::move(crl)) : nullptr;
}

// ---- Views ------------------------------------------------------------------------------------------

bool View::Stamp::operator==(const Stamp& o) const {
    return generation == o.generation && dirTime.tv_sec == o.dirTime.tv_sec &&
           dirTime.tv_nsec == o.dirTime.tv_nsec && machineTime.tv_sec == o.machineTime.tv_sec &&
           machineTime.tv_nsec == o.machineTime.tv_nsec;
}

View::View(HCERTSTORE store, std::string dir, std::string machineDir)
    : m_store(store), m_dir(std::move(dir)), m_machineDir(std::move(machineDir)) {
    Store* s = AsStore(store);
    std::lock_guard guard(Lock());
    for (CertCtx* c : s->certs) m_subjects.emplace(NameKey(c->info.Subject), c);
    for (CrlCtx* c : s->crls)
        if (!c->isDelta) m_crls.emplace(NameKey(c->info.Issuer), c);
}

View::~View() {
    X509_STORE_free(m_anchors);
    for (auto& [ctx, x] : m_x509) X509_free(x);
    CertCloseStore(m_store, 0);
}

void View::Subjects(std::string_view name, std::vector<CertCtx*>& out) const {
    auto [first, last] = m_subjects.equal_range(name);
    for (auto it = first; it != last; ++it) out.push_back(it->second);
}

X509* View::X509Of(CertCtx* cert) {
    std::lock_guard guard(m_lock);
    auto it = m_x509.find(cert);
    if (it != m_x509.end()) return it->second;
    X509* x = ToX509(cert->state.der.data(), cert->state.der.size()).release();
    m_x509.emplace(cert, x);
    if (x) m_byX509.emplace(x, cert);
    return x;
}

CertCtx* View::ContextOf(const X509* cert) const {
    std::lock_guard guard(m_lock);
    auto it = m_byX509.find(cert);
    return it == m_byX509.end() ? nullptr : it->second;
}

void View::Crls(std::string_view name, std::vector<std::pair<CrlCtx*, ParsedCrlPtr>>& out) {
    auto [first, last] = m_crls.equal_range(name);
    if (first == last) return;
    std::lock_guard guard(m_lock);
    for (auto it = first; it != last; ++it) {
        CrlCtx* crl = it->second;
        auto parsed = m_parsed.find(crl);
        if (parsed == m_parsed.end())
            parsed =
                m_parsed.emplace(crl, ParseCrl(crl->state.der.data(), crl->state.der.size(), false)).first;
        if (parsed->second) out.emplace_back(crl, parsed->second);
    }
}

bool View::Holds(PCCERT_CONTEXT cert) const {
    auto [first, last] = m_subjects.equal_range(NameKey(cert->pCertInfo->Subject));
    for (auto it = first; it != last; ++it) {
        const Bytes& der = it->second->state.der;
        if (der.size() == cert->cbCertEncoded &&
            std::memcmp(der.data(), cert->pbCertEncoded, der.size()) == 0)
            return true;
    }
    return false;
}

X509_STORE* View::Anchors() {
    {
        std::lock_guard guard(m_lock);
        if (m_anchors) return m_anchors;
    }
    X509_STORE* anchors = X509_STORE_new();
    if (!anchors) return nullptr;
    for (auto& [name, cert] : m_subjects)
        if (X509* x = X509Of(cert)) X509_STORE_add_cert(anchors, x);
    ERR_clear_error();
    std::lock_guard guard(m_lock);
    if (m_anchors) {
        X509_STORE_free(anchors);  // another thread made them meanwhile
    } else {
        m_anchors = anchors;
    }
    return m_anchors;
}

namespace {

std::atomic<uint64_t> g_generation{0};

timespec folderTime(const std::string& dir) {
    struct stat st {};
    if (dir.empty() || stat(dir.c_str(), &st) != 0) return {};
    return st.st_mtim;
}

std::mutex g_viewsLock;
// Never destroyed: OpenSSL (and the GOST engine that the views' keys use) is torn down at exit
// before static objects are, so the views stay to the end of the process.
std::map<std::string, ViewPtr>& g_views = *new std::map<std::string, ViewPtr>;

ViewPtr currentView(bool machine, const char* name) {
    const std::string root = machine ? MachineStateRoot(false) : UserStateRoot(false);
    const std::string dir = root.empty() ? std::string() : root + "/stores/" + name;
    std::string machineDir;
    if (!machine && (std::strcmp(name, "ROOT") == 0 || std::strcmp(name, "CA") == 0)) {
        const std::string machineRoot = MachineStateRoot(false);
        if (!machineRoot.empty()) machineDir = machineRoot + "/stores/" + name;
    }
    // Taken before the folders are read: a change made while they are read is seen next time.
    View::Stamp stamp;
    stamp.generation = g_generation.load();
    stamp.dirTime = folderTime(dir);
    stamp.machineTime = folderTime(machineDir);

    const std::string key = std::string(machine ? "machine/" : "user/") + name;
    std::lock_guard guard(g_viewsLock);
    ViewPtr& slot = g_views[key];
    if (slot && slot->dir() == dir && slot->stamp == stamp) return slot;

    const std::u16string wide = vsk::kernel::Utf8ToUtf16(name);
    const DWORD location = machine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
    HCERTSTORE store = dir.empty() ? nullptr
                                   : CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                                   location | CERT_STORE_READONLY_FLAG, wide.c_str());
    // A store that cannot be opened (no home, the computer's store never made) holds nothing.
    if (!store) store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    slot = std::make_shared<View>(store, dir, machineDir);
    slot->stamp = stamp;
    return slot;
}

}  // namespace

uint64_t SystemStoreGeneration() {
    return g_generation.load();
}

void CountSystemStoreChange() {
    ++g_generation;
}

Views CurrentViews(bool machine) {
    Views v;
    v.root = currentView(machine, "ROOT");
    v.ca = currentView(machine, "CA");
    v.my = currentView(machine, "MY");
    v.trust = currentView(machine, "TRUST");
    v.disallowed = currentView(machine, "DISALLOWED");
    return v;
}

}  // namespace vsk::cert
