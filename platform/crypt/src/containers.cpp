// Key containers of the built-in providers, kept as files in reader folders under the key roots:
// "<user state>/keys/<READER>/" and "<machine state>/keys/<READER>/". One file per container, named by
// a digest of its name, so any name that survives code page 1251 makes a valid file name. Names are
// unique per scope across readers and provider types, which keeps a plain name unambiguous.
//
// File (text, one field per line, base64 for binary values):
//   kestrovan-key-container 1
//   name=<UTF-8 name>
//   type=<provider type>
//   created=<seconds since 1970>
//   key<spec>.alg=<ALG_ID>, .keyParamset=, .hashParamset=, .exportable=0|1,
//   key<spec>.private=<stored form>, .public=<SubjectPublicKeyInfo>, .certificate=<DER>
// Writers hold an exclusive flock on "<root>/.lock", write "<reader>/.tmp-XXXXXX", sync it and rename it
// over the file, so a reader (another process included) sees the old file or the new one, never a
// part; a writer killed mid-write leaves only a temporary file, which the next writer removes.
#include "containerStore.h"
#include "cryptState.h"

#include <vsk/platform/diagnostics.h>
#include <vsk/platform/identity.h>
#include <vsk/platform/utf8.h>

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

namespace vsk::crypt {

using vsk::kernel::Utf16ToUtf8;
using vsk::kernel::Utf8ToUtf16;

namespace {

// Container names are handed out as code page 1251 texts and end up in key-provider properties:
// longer names are refused when the container is made (containerTest's bad-names table).
constexpr size_t MaxNameChars = 64;
// A container holds two keys and two certificates; anything larger is not one of our files.
constexpr off_t MaxContainerFileSize = 1 << 20;
constexpr char FileHeader[] = "kestrovan-key-container 1";
constexpr char TempPrefix[] = ".tmp-";

std::atomic<PasswordPrompt> passwordPrompt{nullptr};

std::string KeyRoot(bool machine, bool create) {
    std::string state = machine ? MachineStateRoot(create) : UserStateRoot(create);
    if (state.empty()) return {};
    std::string root = state + "/keys";
    if (create) mkdir(root.c_str(), 0700);
    return root;
}

const ReaderEntry* FindReader(const std::string& text1251) {
    for (const ReaderEntry& r : Readers)
        if (text1251 == r.name || text1251 == r.nickname) return &r;
    return nullptr;
}

std::string FileNameOf(const std::string& utf8Name) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(utf8Name.data()), utf8Name.size(), digest);
    static const char hex[] = "0123456789abcdef";
    std::string name;
    for (int i = 0; i < 16; ++i) {
        name += hex[digest[i] >> 4];
        name += hex[digest[i] & 15];
    }
    return name + ".key";
}

std::string UniqueNameOf(const char* reader, const std::string& name1251) {
    return std::string("\\\\.\\") + reader + "\\" + name1251;
}

// ---- Base64 (OpenSSL's block coder, one line) ----

std::string ToBase64(const unsigned char* data, size_t size) {
    if (!size) return {};
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    out.resize(static_cast<size_t>(std::max(n, 0)));
    return out;
}

template <class Bytes>
bool FromBase64(std::string_view text, Bytes& out) {
    out.clear();
    if (text.empty()) return true;
    if (text.size() % 4) return false;
    out.resize(text.size() / 4 * 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) return false;
    size_t size = static_cast<size_t>(n);
    // EVP_DecodeBlock counts the padding as data bytes.
    if (text.size() >= 1 && text[text.size() - 1] == '=') --size;
    if (text.size() >= 2 && text[text.size() - 2] == '=') --size;
    out.resize(size);
    return true;
}

// ---- The container file ----

struct ContainerFile {
    std::string name;  // UTF-8
    DWORD type = 0;
    int64_t created = 0;
    std::optional<StoredKey> keys[2];  // AT_KEYEXCHANGE, AT_SIGNATURE
};

SecretBytes Serialize(const ContainerFile& f) {
    SecretText text;
    auto line = [&](const std::string& key, std::string_view value) {
        text.append(key.data(), key.size());
        text += '=';
        text.append(value.data(), value.size());
        text += '\n';
    };
    text += FileHeader;
    text += '\n';
    line("name", f.name);
    line("type", std::to_string(f.type));
    line("created", std::to_string(f.created));
    for (int i = 0; i < 2; ++i) {
        if (!f.keys[i]) continue;
        const StoredKey& k = *f.keys[i];
        const std::string p = "key" + std::to_string(i + 1) + ".";
        line(p + "alg", std::to_string(k.kind.algId));
        line(p + "keyParamset", k.kind.keyParamset);
        line(p + "hashParamset", k.kind.hashParamset);
        line(p + "exportable", k.exportable ? "1" : "0");
        // The private key's base64 is secret when the key is not encrypted: built in wiped memory.
        SecretText encoded(4 * ((k.privateKey.size() + 2) / 3) + 1, '\0');
        int n = k.privateKey.empty()
                    ? 0
                    : EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), k.privateKey.data(),
                                      static_cast<int>(k.privateKey.size()));
        line(p + "private", std::string_view(encoded.data(), static_cast<size_t>(std::max(n, 0))));
        line(p + "public", ToBase64(k.publicKey.data(), k.publicKey.size()));
        line(p + "certificate", ToBase64(k.certificate.data(), k.certificate.size()));
    }
    return SecretBytes(text.begin(), text.end());
}

bool ParseNumber(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

bool Parse(const SecretBytes& data, ContainerFile& f) {
    std::string_view all(reinterpret_cast<const char*>(data.data()), data.size());
    size_t at = all.find('\n');
    if (at == std::string_view::npos || all.substr(0, at) != FileHeader) return false;
    ++at;
    bool haveName = false, haveType = false;
    while (at < all.size()) {
        size_t end = all.find('\n', at);
        if (end == std::string_view::npos) return false;  // every line ends with a newline
        std::string_view line = all.substr(at, end - at);
        at = end + 1;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) return false;
        std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
        uint64_t number = 0;
        if (key == "name") {
            f.name.assign(value);
            haveName = !value.empty();
        } else if (key == "type") {
            if (!ParseNumber(value, number) || number > 0xFFFFFFFFu) return false;
            f.type = static_cast<DWORD>(number);
            haveType = true;
        } else if (key == "created") {
            if (!ParseNumber(value, number)) return false;
            f.created = static_cast<int64_t>(number);
        } else if (key.size() > 5 && key.substr(0, 3) == "key" && (key[3] == '1' || key[3] == '2') &&
                   key[4] == '.') {
            auto& slot = f.keys[key[3] - '1'];
            if (!slot) slot.emplace();
            std::string_view field = key.substr(5);
            if (field == "alg") {
                if (!ParseNumber(value, number) || number > 0xFFFFFFFFu) return false;
                slot->kind.algId = static_cast<ALG_ID>(number);
            } else if (field == "keyParamset") {
                slot->kind.keyParamset.assign(value);
            } else if (field == "hashParamset") {
                slot->kind.hashParamset.assign(value);
            } else if (field == "exportable") {
                slot->exportable = value == "1";
            } else if (field == "private") {
                if (!FromBase64(value, slot->privateKey)) return false;
            } else if (field == "public") {
                if (!FromBase64(value, slot->publicKey)) return false;
            } else if (field == "certificate") {
                if (!FromBase64(value, slot->certificate)) return false;
            } else {
                return false;
            }
        } else {
            return false;
        }
    }
    for (auto& k : f.keys)
        if (k && (!k->kind.algId || k->privateKey.empty())) return false;
    return haveName && haveType;
}

// Reads a container file; false when it is missing or is not a whole container of ours.
bool ReadContainer(const std::string& path, ContainerFile& f, bool report = true) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= MaxContainerFileSize;
    SecretBytes data;
    if (ok) {
        data.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (ok && done < data.size()) {
            ssize_t n = read(fd, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                ok = false;
            else
                done += static_cast<size_t>(n);
        }
    }
    close(fd);
    ok = ok && Parse(data, f);
    if (!ok && report)
        ReportPlatformDiagnostic("key container: " + path + ": not a valid container file, skipped");
    return ok;
}

// The lock every writer of a key root takes; readers need none (files appear only by rename).
class RootLock {
public:
    explicit RootLock(const std::string& root) {
        const std::string path = root + "/.lock";
        m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            m_error = Win32FromErrno(errno);
            return;
        }
        while (flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                m_error = Win32FromErrno(errno);
                close(m_fd);
                m_fd = -1;
                return;
            }
        }
    }
    ~RootLock() {
        if (m_fd >= 0) close(m_fd);
    }
    RootLock(const RootLock&) = delete;
    RootLock& operator=(const RootLock&) = delete;
    DWORD error() const { return m_fd >= 0 ? 0 : m_error; }

private:
    int m_fd = -1;
    DWORD m_error = 0;
};

// Removes the temporary files of writers that died; called with the root's lock held.
void RemoveStaleTemporaries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = readdir(d))
        if (std::strncmp(e->d_name, TempPrefix, sizeof TempPrefix - 1) == 0) unlinkat(dirfd(d), e->d_name, 0);
    closedir(d);
}

// Writes the file whole (temporary file, sync, rename); called with the root's lock held.
DWORD WriteContainer(const std::string& dir, const std::string& fileName, const ContainerFile& f) {
    mkdir(dir.c_str(), 0700);
    RemoveStaleTemporaries(dir);
    std::string temp = dir + "/" + TempPrefix + "XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return Win32FromErrno(errno);
    SecretBytes data = Serialize(f);
    int err = fchmod(fd, 0600) == 0 ? 0 : errno;
    size_t done = 0;
    while (!err && done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            err = errno;
        else
            done += static_cast<size_t>(n);
    }
    if (!err && fsync(fd) != 0) err = errno;
    close(fd);
    if (!err && rename(temp.c_str(), (dir + "/" + fileName).c_str()) != 0) err = errno;
    if (err) {
        unlink(temp.c_str());
        return Win32FromErrno(err);
    }
    if (int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return 0;
}

// A container found in the readers of a scope.
struct Located {
    const ReaderEntry* reader = nullptr;
    std::string path;
    ContainerFile file;
};

// The container of that UTF-8 name in the scope, in any reader (`only` limits the search to one).
std::optional<Located> Locate(bool machine, const std::string& utf8Name, const ReaderEntry* only = nullptr) {
    std::string root = KeyRoot(machine, false);
    if (root.empty()) return std::nullopt;
    const std::string file = FileNameOf(utf8Name);
    for (const ReaderEntry& r : Readers) {
        if (only && only != &r) continue;
        Located l;
        l.reader = &r;
        l.path = root + "/" + r.name + "/" + file;
        if (ReadContainer(l.path, l.file) && l.file.name == utf8Name) return l;
    }
    return std::nullopt;
}

// A name as the caller gave it: plain, "\\.\<reader>\<name>" (the reader by nickname or name) or a
// unique name, which has the same form.
struct ParsedName {
    std::u16string name;
    const ReaderEntry* reader = nullptr;
    bool badReader = false;
};

ParsedName ParseName(const char16_t* text) {
    ParsedName p;
    std::u16string s(text ? text : u"");
    static const std::u16string prefix = u"\\\\.\\";
    if (s.rfind(prefix, 0) == 0) {
        std::u16string rest = s.substr(prefix.size());
        size_t slash = rest.find(u'\\');
        std::u16string reader = slash == std::u16string::npos ? rest : rest.substr(0, slash);
        p.name = slash == std::u16string::npos ? std::u16string() : rest.substr(slash + 1);
        p.reader = FindReader(To1251(reader));
        p.badReader = !p.reader;
    } else {
        p.name = std::move(s);
    }
    return p;
}

// Whether a new container may have this name: it must survive code page 1251 (the enumeration and
// PP_CONTAINER are 8-bit), be 1 to 64 characters, and hold no '\' and no control character.
bool ValidNewName(const std::u16string& name) {
    if (name.empty() || name.size() > MaxNameChars) return false;
    for (char16_t c : name)
        if (c < 0x20 || c == 0x7F || c == u'\\' || (c >= 0xD800 && c <= 0xDFFF)) return false;
    return From1251(To1251(name)) == name;
}

bool MayWrite(bool machine) {
    return !machine || IsProcessAdministrator();
}

Located Current(Context& ctx, DWORD& error) {
    Located l;
    bool machine = ctx.flags & CRYPT_MACHINE_KEYSET;
    const ReaderEntry* reader = FindReader(ctx.reader);
    std::string root = KeyRoot(machine, false);
    if (ctx.fileName.empty() || !reader || root.empty()) {
        error = NTE_BAD_KEYSET;
        return l;
    }
    l.reader = reader;
    l.path = root + "/" + reader->name + "/" + ctx.fileName;
    if (!ReadContainer(l.path, l.file)) error = NTE_BAD_KEYSET;
    return l;
}

bool HasProtectedKey(const ContainerFile& f, int* which = nullptr) {
    for (int i = 0; i < 2; ++i)
        if (f.keys[i] && IsEncryptedPrivateKey(f.keys[i]->privateKey)) {
            if (which) *which = i;
            return true;
        }
    return false;
}

// The container's password for decrypting or encrypting a key: the one set on the context, else the
// prompt's (non-silent contexts with a registered prompt). Checked against `check` when given.
bool ObtainPassword(Context& ctx, const SecretBytes* check, SecretText& password, DWORD& error) {
    {
        std::lock_guard lock(ctx.mutex);
        if (ctx.pinSet) {
            password = ctx.pin;
            return true;
        }
    }
    PasswordPrompt prompt = passwordPrompt.load();
    if ((ctx.flags & CRYPT_SILENT) || !prompt) {
        error = NTE_SILENT_CONTEXT;
        return false;
    }
    uintptr_t parent;
    {
        std::lock_guard lock(ctx.mutex);
        parent = ctx.clientWindow;
    }
    SecretText buffer(256, '\0');
    std::u16string name = From1251(ctx.container);
    if (!prompt(name.c_str(), parent, buffer.data(), static_cast<DWORD>(buffer.size()))) {
        error = ERROR_CANCELLED;
        return false;
    }
    buffer.resize(strnlen(buffer.data(), buffer.size()));
    if (check) {
        DWORD e = 0;
        if (!DecodePrivateKey(*check, &buffer, e)) {
            error = e;
            return false;
        }
    }
    std::lock_guard lock(ctx.mutex);
    ctx.pin = buffer;
    ctx.pinSet = true;
    password = std::move(buffer);
    return true;
}

}  // namespace

PasswordPrompt CurrentPasswordPrompt() {
    return passwordPrompt.load();
}

DWORD OpenContainer(Context& ctx, const char16_t* text, DWORD flags) {
    const bool machine = flags & CRYPT_MACHINE_KEYSET;
    ParsedName p = ParseName(text);
    if (p.badReader) return NTE_BAD_KEYSET;
    if (flags & CRYPT_NEWKEYSET) {
        if (!ValidNewName(p.name)) return NTE_BAD_KEYSET_PARAM;
        if (!MayWrite(machine)) return NTE_PERM;
        std::string root = KeyRoot(machine, true);
        if (root.empty()) return GetLastError() ? GetLastError() : NTE_FAIL;
        const ReaderEntry* reader = p.reader ? p.reader : &Readers[0];
        RootLock lock(root);
        if (DWORD e = lock.error()) return e;
        const std::string utf8 = Utf16ToUtf8(p.name);
        if (Locate(machine, utf8)) return NTE_EXISTS;
        ContainerFile f;
        f.name = utf8;
        f.type = ctx.provider->type;
        f.created = static_cast<int64_t>(std::time(nullptr));
        ctx.fileName = FileNameOf(utf8);
        if (DWORD e = WriteContainer(root + "/" + reader->name, ctx.fileName, f)) return e;
        ctx.reader = reader->name;
        ctx.container = To1251(p.name);
        ctx.uniqueContainer = UniqueNameOf(reader->name, ctx.container);
        return 0;
    }
    if (p.name.empty()) return NTE_BAD_KEYSET;
    auto found = Locate(machine, Utf16ToUtf8(p.name), p.reader);
    if (!found || found->file.type != ctx.provider->type) return NTE_BAD_KEYSET;
    ctx.fileName = FileNameOf(found->file.name);
    ctx.reader = found->reader->name;
    ctx.container = To1251(p.name);
    ctx.uniqueContainer = UniqueNameOf(found->reader->name, ctx.container);
    return 0;
}

DWORD DeleteContainer(const ProviderEntry& provider, const char16_t* text, DWORD flags) {
    const bool machine = flags & CRYPT_MACHINE_KEYSET;
    ParsedName p = ParseName(text);
    if (p.badReader || p.name.empty()) return NTE_BAD_KEYSET;
    std::string root = KeyRoot(machine, false);
    if (root.empty()) return NTE_BAD_KEYSET;
    auto found = Locate(machine, Utf16ToUtf8(p.name), p.reader);
    if (!found || found->file.type != provider.type) return NTE_BAD_KEYSET;
    if (!MayWrite(machine)) return NTE_PERM;
    RootLock lock(root);
    if (DWORD e = lock.error()) return e;
    if (unlink(found->path.c_str()) != 0) return errno == ENOENT ? NTE_BAD_KEYSET : Win32FromErrno(errno);
    return 0;
}

std::vector<std::pair<std::string, std::string>> ListContainers(const ProviderEntry& provider, bool machine) {
    std::vector<std::pair<std::string, std::string>> out;
    std::string root = KeyRoot(machine, false);
    if (root.empty()) return out;
    for (const ReaderEntry& r : Readers) {
        const std::string dir = root + "/" + r.name;
        std::vector<std::u16string> names;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string_view n(e->d_name);
                if (n.size() != 36 || n.substr(32) != ".key") continue;
                ContainerFile f;
                if (ReadContainer(dir + "/" + e->d_name, f) && f.type == provider.type &&
                    FileNameOf(f.name) == n)
                    names.push_back(Utf8ToUtf16(f.name));
            }
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        for (const auto& n : names) {
            std::string name1251 = To1251(n);
            out.emplace_back(name1251, UniqueNameOf(r.name, name1251));
        }
    }
    return out;
}

DWORD SetContainerPin(Context& ctx, const char* pin) {
    SecretText text(pin);
    if (!ctx.fileName.empty()) {
        DWORD error = 0;
        Located l = Current(ctx, error);
        int which = 0;
        if (!error && HasProtectedKey(l.file, &which)) {
            DWORD e = 0;
            Pkey key = DecodePrivateKey(l.file.keys[which]->privateKey, &text, e);
            if (!key) return e == NTE_BAD_KEYSET ? e : SCARD_W_WRONG_CHV;
            std::lock_guard lock(ctx.mutex);
            ctx.unlocked[which] = key;
        }
    }
    std::lock_guard lock(ctx.mutex);
    ctx.pin = std::move(text);
    ctx.pinSet = true;
    return 0;
}

bool ContainerKey(Context& ctx, DWORD spec, StoredKey& key, DWORD& error) {
    if (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) {
        error = NTE_BAD_KEY;
        return false;
    }
    if (ctx.container.empty()) {
        error = NTE_BAD_KEYSET;
        return false;
    }
    if (ctx.fileName.empty()) {  // a container of a test table holds no keys
        error = NTE_NO_KEY;
        return false;
    }
    error = 0;
    Located l = Current(ctx, error);
    if (error) return false;
    if (!l.file.keys[spec - 1]) {
        error = NTE_NO_KEY;
        return false;
    }
    key = std::move(*l.file.keys[spec - 1]);
    return true;
}

Pkey UnlockKey(Context& ctx, DWORD spec, DWORD& error) {
    if (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) {
        error = NTE_BAD_KEY;
        return nullptr;
    }
    {
        std::lock_guard lock(ctx.mutex);
        if (ctx.unlocked[spec - 1]) return ctx.unlocked[spec - 1];
    }
    StoredKey stored;
    if (!ContainerKey(ctx, spec, stored, error)) return nullptr;
    Pkey key;
    if (IsEncryptedPrivateKey(stored.privateKey)) {
        SecretText password;
        if (!ObtainPassword(ctx, &stored.privateKey, password, error)) return nullptr;
        key = DecodePrivateKey(stored.privateKey, &password, error);
    } else {
        key = DecodePrivateKey(stored.privateKey, nullptr, error);
    }
    if (!key) return nullptr;
    std::lock_guard lock(ctx.mutex);
    ctx.unlocked[spec - 1] = key;
    return key;
}

// The key root that a write to the context's container goes to; empty, with `error` set, when there is
// none or it may not be written (`noFileError` for a context whose container has no file).
static std::string WritableRoot(const Context& ctx, DWORD noFileError, DWORD& error) {
    const bool machine = ctx.flags & CRYPT_MACHINE_KEYSET;
    if (ctx.fileName.empty()) {
        error = ctx.container.empty() ? NTE_BAD_KEYSET : noFileError;
        return {};
    }
    if (!MayWrite(machine)) {
        error = NTE_PERM;
        return {};
    }
    std::string root = KeyRoot(machine, true);
    if (root.empty()) error = NTE_BAD_KEYSET;
    return root;
}

bool PutKey(Context& ctx, DWORD spec, const Pkey& key, const KeyKind& kind, bool exportable, DWORD& error) {
    if ((spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) || !key) {
        error = NTE_BAD_KEY;
        return false;
    }
    const std::string root = WritableRoot(ctx, NTE_PERM, error);
    if (root.empty()) return false;
    // The password: that of the container's protected keys; for the first key the PIN set on the
    // context (an empty PIN means none); an unprotected container stays unprotected.
    error = 0;
    Located before = Current(ctx, error);
    if (error) return false;
    int which = 0;
    SecretText password;
    bool protect = false;
    if (HasProtectedKey(before.file, &which)) {
        if (!ObtainPassword(ctx, &before.file.keys[which]->privateKey, password, error)) return false;
        protect = true;
    } else if (!before.file.keys[0] && !before.file.keys[1]) {
        std::lock_guard lock(ctx.mutex);
        protect = ctx.pinSet && !ctx.pin.empty();
        if (protect) password = ctx.pin;
    }
    StoredKey stored;
    stored.kind = kind;
    stored.exportable = exportable;
    stored.privateKey = EncodePrivateKey(key.get(), protect ? &password : nullptr, error);
    if (stored.privateKey.empty()) return false;
    stored.publicKey = PublicKeyInfoDer(key.get());
    RootLock lock(root);
    if ((error = lock.error()) != 0) return false;
    Located l = Current(ctx, error);  // again under the lock: another writer may have changed it
    if (error) return false;
    l.file.keys[spec - 1] = std::move(stored);
    if ((error = WriteContainer(root + "/" + l.reader->name, ctx.fileName, l.file)) != 0) return false;
    std::lock_guard guard(ctx.mutex);
    ctx.unlocked[spec - 1] = key;
    return true;
}

bool PutCertificate(Context& ctx, DWORD spec, const std::vector<BYTE>& der, DWORD& error) {
    if (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) {
        error = NTE_BAD_KEY;
        return false;
    }
    const std::string root = WritableRoot(ctx, NTE_NO_KEY, error);
    if (root.empty()) return false;
    RootLock lock(root);
    if ((error = lock.error()) != 0) return false;
    error = 0;
    Located l = Current(ctx, error);
    if (error) return false;
    if (!l.file.keys[spec - 1]) {
        error = NTE_NO_KEY;
        return false;
    }
    l.file.keys[spec - 1]->certificate = der;
    error = WriteContainer(root + "/" + l.reader->name, ctx.fileName, l.file);
    return error == 0;
}

}  // namespace vsk::crypt

void SetPasswordPrompt(PasswordPrompt prompt) {
    vsk::crypt::passwordPrompt.store(prompt);
}
