// The registry on SQLite. Each hive is one database with two tables:
//   keys(id, parent, name, fold)       one row per key; the hive's root is id 1
//   vals(key, name, fold, type, data)  one row per value
// Names are stored as UTF-16 bytes exactly as created; `fold` is the same name upper-cased unit by
// unit (big-endian), and the unique indexes on it make look-ups case-insensitive for every script
// (SQLite's own NOCASE folds ASCII only).
//
// Each process keeps one connection per hive, opened on first use. Every change runs in a
// BEGIN IMMEDIATE transaction, reads run in a read transaction, and WAL mode with a busy time-out
// lets several processes share a hive.
#include <vsk/platform/diagnostics.h>
#include <vsk/platform/identity.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/registry.h>

#include "registryInternal.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using Name = std::u16string;

constexpr int64_t kRootKey = 1;
constexpr int kBusyTimeoutMs = 10000;
constexpr LSTATUS kBadPathname = 161;  // ERROR_BAD_PATHNAME
constexpr LSTATUS kBusy = 170;         // ERROR_BUSY: the hive stayed locked past the time-out
// Marks a database as ours ("KREG") and gives its layout version.
constexpr int kApplicationId = 0x4B524547;
constexpr int kSchemaVersion = 1;

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | 0x10000 /*DELETE*/ |
                                0x40000 /*WRITE_DAC*/ | 0x80000 /*WRITE_OWNER*/;

// A failed SQLite call inside an operation; turned into a Win32 code at the operation's edge.
struct SqlFailure {
    int rc;
};
// A Win32 code raised from deep inside an operation.
struct Refusal {
    LSTATUS code;
};

struct Hive {
    Hive(bool isMachine, const char* name) : machine(isMachine), label(name) {}
    const bool machine;
    const char* label;
    std::mutex lock;
    sqlite3* db = nullptr;
    pid_t owner = 0;  // the process that opened `db`; a forked child must not use it
    std::string path;
    std::string lastReport;
    std::vector<std::string> pending;  // diagnostic lines not yet handed to the sink
};

Hive* hives() {
    // Never destroyed: open keys and connections may outlive static destruction.
    static Hive* all = new Hive[2]{Hive(false, "HKEY_CURRENT_USER"), Hive(true, "HKEY_LOCAL_MACHINE")};
    return all;
}

struct OpenKey {
    int hive;
    int64_t id;
    REGSAM access;
};

// Handle values are never reused, so a closed handle stays invalid after other keys are opened.
struct HandleTable {
    std::mutex lock;
    uintptr_t next = 0x1000;
    std::unordered_map<uintptr_t, OpenKey> live;
};

HandleTable& handles() {
    static HandleTable* table = new HandleTable;
    return *table;
}

void emit(const std::string& line) {
    ReportPlatformDiagnostic(line);
}

// Queues a line about a failure of the hive, once while the failure stays the same; inHive hands it
// on after leaving the hive's lock.
void report(Hive& h, const std::string& reason) {
    std::string line = std::string("registry ") + h.label + " (" + h.path + "): " + reason;
    if (line == h.lastReport) return;
    h.lastReport = line;
    h.pending.push_back(std::move(line));
}

LSTATUS codeOfSql(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return ERROR_SUCCESS;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_ERROR:  // our statements are fixed: a table or column is missing
            return ERROR_BADDB;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_NOMEM:
        case SQLITE_TOOBIG:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return kBusy;
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
}

// ---- Statements ----------------------------------------------------------------------------------

class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) {
        int rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
        if (rc != SQLITE_OK) throw SqlFailure{rc};
    }
    ~Stmt() { sqlite3_finalize(stmt_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& bind(int i, int64_t v) {
        check(sqlite3_bind_int64(stmt_, i, v));
        return *this;
    }
    Stmt& bind(int i, const void* data, size_t size) {
        // A null pointer would bind SQL NULL; an empty value is an empty blob.
        static const char empty = 0;
        check(sqlite3_bind_blob64(stmt_, i, size != 0 ? data : &empty, size, SQLITE_TRANSIENT));
        return *this;
    }
    Stmt& bind(int i, const Name& name) { return bind(i, name.data(), name.size() * sizeof(char16_t)); }
    Stmt& bind(int i, const std::string& bytes) { return bind(i, bytes.data(), bytes.size()); }

    // True while rows come; false at the end.
    bool step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw SqlFailure{rc};
    }
    void run() {
        while (step()) {
        }
    }

    int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string bytes(int col) const {
        const void* p = sqlite3_column_blob(stmt_, col);
        int n = sqlite3_column_bytes(stmt_, col);
        return p != nullptr ? std::string(static_cast<const char*>(p), static_cast<size_t>(n))
                            : std::string();
    }
    Name name(int col) const {
        std::string b = bytes(col);
        Name n(b.size() / sizeof(char16_t), u'\0');
        std::memcpy(n.data(), b.data(), n.size() * sizeof(char16_t));
        return n;
    }

private:
    void check(int rc) {
        if (rc != SQLITE_OK) throw SqlFailure{rc};
    }
    sqlite3_stmt* stmt_ = nullptr;
};

void exec(sqlite3* db, const char* sql) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) throw SqlFailure{rc};
}

// ---- Opening a hive ------------------------------------------------------------------------------

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    "  name BLOB NOT NULL,"
    "  fold BLOB NOT NULL,"
    "  UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    "  name BLOB NOT NULL,"
    "  fold BLOB NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, fold)) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES(1, NULL, x'', x'');";

void closeDb(Hive& h) {
    if (h.db != nullptr && h.owner == getpid()) sqlite3_close_v2(h.db);
    // A connection inherited through fork() is left alone: closing it here could remove the parent's
    // WAL files or locks.
    h.db = nullptr;
}

int64_t pragmaInt(sqlite3* db, const char* sql) {
    Stmt s(db, sql);
    return s.step() ? s.integer(0) : 0;
}

// Creates the database file with the hive's mode before SQLite sees it: the user's hive holds
// remembered passwords (0600); the machine's is readable by everyone (0644). SQLite gives the
// -wal and -shm files the same mode.
LSTATUS createFile(Hive& h) {
    mode_t mode = h.machine ? 0644 : 0600;
    int fd = open(h.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        if (errno == EEXIST) return ERROR_SUCCESS;
        int err = errno;
        report(h, std::string("cannot create the database: ") + std::strerror(err));
        return static_cast<LSTATUS>(Win32FromErrno(err));
    }
    int rc = fchmod(fd, mode);
    int err = errno;
    close(fd);
    if (rc != 0) {
        report(h, std::string("cannot set the database's mode: ") + std::strerror(err));
        return static_cast<LSTATUS>(Win32FromErrno(err));
    }
    return ERROR_SUCCESS;
}

// Runs `sql` (a journal-mode change, which takes no busy handler) until the other processes let it.
void execPatiently(sqlite3* db, const char* sql) {
    for (int waited = 0;; waited += 10) {
        int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) return;
        if ((rc & 0xFF) != SQLITE_BUSY || waited >= kBusyTimeoutMs) throw SqlFailure{rc};
        usleep(10000);
    }
}

// Makes h.db usable. For a read, a hive whose file does not exist yet is empty: h.db stays null and
// the caller sees missing keys. For a write the folder and the file are made. A database that exists
// but cannot be read or is not a registry is an error, and the file is left as it is.
LSTATUS attach(Hive& h, bool forWrite) {
    if (h.db != nullptr && h.owner != getpid()) closeDb(h);
    if (h.db != nullptr) return ERROR_SUCCESS;

    std::string root = h.machine ? MachineStateRoot(forWrite) : UserStateRoot(forWrite);
    if (root.empty()) {
        if (!forWrite) return ERROR_SUCCESS;
        LSTATUS code = static_cast<LSTATUS>(GetLastError());
        h.path = h.machine ? "machine state folder" : "user state folder";
        report(h, "cannot make the state folder (code " + std::to_string(code) + ")");
        return code != 0 ? code : ERROR_PATH_NOT_FOUND;
    }
    h.path = root + "/registry.db";

    struct stat st {};
    if (stat(h.path.c_str(), &st) != 0) {
        int err = errno;
        if (err != ENOENT && err != ENOTDIR) {
            report(h, std::string("cannot reach the database: ") + std::strerror(err));
            return ERROR_REGISTRY_IO_FAILED;
        }
        if (!forWrite) return ERROR_SUCCESS;
        if (LSTATUS code = createFile(h)) return code;
    }

    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(h.path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        report(h, std::string("cannot open the database: ") + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
        sqlite3_close_v2(db);
        return ERROR_REGISTRY_IO_FAILED;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);

    LSTATUS code = ERROR_SUCCESS;
    std::string reason;
    try {
        bool writable = sqlite3_db_readonly(db, "main") == 0;
        int64_t tables = pragmaInt(db, "SELECT count(*) FROM sqlite_master");
        if (tables == 0 && !(forWrite && writable)) {
            // An empty file (created by a writer that has not finished yet): an empty hive to read,
            // but this process cannot set it up for writing.
            sqlite3_close_v2(db);
            if (!forWrite) return ERROR_SUCCESS;
            report(h, "the empty database is not writable");
            return ERROR_ACCESS_DENIED;
        }
        if (writable) {
            execPatiently(db, "PRAGMA journal_mode=WAL");
            // Readers without write access to the machine's folder need the -wal and -shm files to
            // stay in place when the last writer closes.
            int persist = h.machine ? 1 : 0;
            sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        }
        exec(db, "PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON");
        if (tables == 0) {
            exec(db, "BEGIN IMMEDIATE");
            try {
                if (pragmaInt(db, "SELECT count(*) FROM sqlite_master") == 0) {
                    exec(db, kSchema);
                    exec(db, ("PRAGMA application_id=" + std::to_string(kApplicationId) +
                              "; PRAGMA user_version=" + std::to_string(kSchemaVersion))
                                 .c_str());
                }
                exec(db, "COMMIT");
            } catch (...) {
                sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
        }
        if (pragmaInt(db, "PRAGMA application_id") != kApplicationId) {
            code = ERROR_BADDB;
            reason = "the file is not a registry database";
        } else if (pragmaInt(db, "PRAGMA user_version") != kSchemaVersion) {
            code = ERROR_BADDB;
            reason = "unknown registry database version";
        }
    } catch (const SqlFailure& f) {
        code = codeOfSql(f.rc);
        reason = sqlite3_errmsg(db);
    }
    if (code != ERROR_SUCCESS) {
        report(h, reason);
        sqlite3_close_v2(db);
        return code;
    }
    h.db = db;
    h.owner = getpid();
    return ERROR_SUCCESS;
}

// ---- Names and paths -----------------------------------------------------------------------------

Name fold(const Name& name) {
    Name f(name);
    for (char16_t& c : f) c = towupper16(c);
    return f;
}

// The folded name as the database keeps it: big-endian units, so that SQLite's byte order of blobs
// is the order of the characters and enumeration comes out alphabetical.
std::string foldKey(const Name& name) {
    std::string key;
    key.reserve(name.size() * 2);
    for (char16_t c : fold(name)) {
        key.push_back(static_cast<char>(c >> 8));
        key.push_back(static_cast<char>(c & 0xFF));
    }
    return key;
}

Name toName(LPCWSTR text) {
    return text != nullptr ? Name(text) : Name();
}

// Splits a key path at "\". A single trailing "\" is allowed; an empty name elsewhere is not.
bool splitPath(LPCWSTR path, std::vector<Name>& parts) {
    parts.clear();
    if (path == nullptr || *path == 0) return true;
    Name text(path);
    if (text.back() == u'\\') text.pop_back();
    size_t start = 0;
    for (;;) {
        size_t end = text.find(u'\\', start);
        Name part = text.substr(start, end == Name::npos ? Name::npos : end - start);
        if (part.empty()) return false;
        parts.push_back(std::move(part));
        if (end == Name::npos) return true;
        start = end + 1;
    }
}

// The 32-bit view of the machine's Software key lives under Software\WOW6432Node.
void applyView(const OpenKey& base, REGSAM access, std::vector<Name>& parts) {
    if (base.hive != 1 || base.id != kRootKey || !(access & KEY_WOW64_32KEY) || parts.empty()) return;
    if (fold(parts[0]) != u"SOFTWARE") return;
    if (parts.size() > 1 && fold(parts[1]) == u"WOW6432NODE") return;
    parts.insert(parts.begin() + 1, u"WOW6432Node");
}

// ---- Keys and values inside a transaction ---------------------------------------------------------

// 0 when the key has no such subkey. A hive without a database is empty.
int64_t findChild(sqlite3* db, int64_t parent, const Name& name) {
    if (db == nullptr) return 0;
    Stmt s(db, "SELECT id FROM keys WHERE parent=?1 AND fold=?2");
    s.bind(1, parent).bind(2, foldKey(name));
    return s.step() ? s.integer(0) : 0;
}

int64_t addChild(sqlite3* db, int64_t parent, const Name& name) {
    Stmt s(db, "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)");
    s.bind(1, parent).bind(2, name).bind(3, foldKey(name));
    s.run();
    return sqlite3_last_insert_rowid(db);
}

// Another handle or process may have deleted the key an open handle names.
void requireKey(sqlite3* db, int64_t id) {
    if (id == kRootKey) return;
    bool exists = false;
    if (db != nullptr) {
        Stmt s(db, "SELECT 1 FROM keys WHERE id=?1");
        s.bind(1, id);
        exists = s.step();
    }
    if (!exists) throw Refusal{static_cast<LSTATUS>(ERROR_KEY_DELETED)};
}

// Follows `parts` from `from`; 0 when a key on the way is missing.
int64_t walk(sqlite3* db, int64_t from, const std::vector<Name>& parts) {
    int64_t id = from;
    for (const Name& part : parts) {
        id = findChild(db, id, part);
        if (id == 0) return 0;
    }
    return id;
}

void putValue(sqlite3* db, int64_t key, const Name& name, DWORD type, const void* data, size_t size) {
    // An existing value keeps the spelling of its name.
    Stmt s(db,
           "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
           "ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data");
    s.bind(1, key).bind(2, name).bind(3, foldKey(name)).bind(4, type).bind(5, data, size);
    s.run();
}

// A key with its values and subkeys. The subkeys carry their own names: a vector may hold the
// still-incomplete Tree, a std::pair may not.
struct Tree {
    struct Value {
        Name name;
        DWORD type;
        std::string data;
    };
    Name name;  // empty for the key the copy starts from
    std::vector<Value> values;
    std::vector<Tree> keys;
};

Tree readTree(sqlite3* db, int64_t id) {
    Tree t;
    Stmt v(db, "SELECT name, type, data FROM vals WHERE key=?1");
    v.bind(1, id);
    while (v.step()) t.values.push_back({v.name(0), static_cast<DWORD>(v.integer(1)), v.bytes(2)});
    std::vector<std::pair<Name, int64_t>> children;
    Stmt k(db, "SELECT name, id FROM keys WHERE parent=?1");
    k.bind(1, id);
    while (k.step()) children.emplace_back(k.name(0), k.integer(1));
    for (auto& [name, child] : children) {
        t.keys.push_back(readTree(db, child));
        t.keys.back().name = std::move(name);
    }
    return t;
}

void writeTree(sqlite3* db, int64_t id, const Tree& t) {
    for (const Tree::Value& v : t.values) putValue(db, id, v.name, v.type, v.data.data(), v.data.size());
    for (const Tree& sub : t.keys) {
        int64_t child = findChild(db, id, sub.name);
        writeTree(db, child != 0 ? child : addChild(db, id, sub.name), sub);
    }
}

// ---- Operations ----------------------------------------------------------------------------------

// Hands a value to the caller: the type always, the size when asked, the bytes when they fit (else
// 234 with the size needed).
LSTATUS giveValue(DWORD storedType, const std::string& bytes, DWORD* type, BYTE* data, DWORD* size) {
    if (type != nullptr) *type = storedType;
    if (size == nullptr) return ERROR_SUCCESS;
    DWORD room = *size;
    *size = static_cast<DWORD>(bytes.size());
    if (data == nullptr) return ERROR_SUCCESS;
    if (room < bytes.size()) return ERROR_MORE_DATA;
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

bool resolve(HKEY key, OpenKey& out) {
    if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) {
        out = {key == HKEY_CURRENT_USER ? 0 : 1, kRootKey, KEY_ALL_ACCESS};
        return true;
    }
    HandleTable& t = handles();
    std::lock_guard<std::mutex> guard(t.lock);
    auto found = t.live.find(reinterpret_cast<uintptr_t>(key));
    if (found == t.live.end()) return false;
    out = found->second;
    return true;
}

HKEY newHandle(int hive, int64_t id, REGSAM access) {
    HandleTable& t = handles();
    std::lock_guard<std::mutex> guard(t.lock);
    const uintptr_t value = t.next;
    t.next += 4;
    t.live.emplace(value, OpenKey{hive, id, access});
    return reinterpret_cast<HKEY>(value);
}

bool deniedWrite(int hive) {
    return hive == 1 && !IsProcessAdministrator();
}

// Runs `body(db)` on the hive under its lock, inside a transaction: BEGIN IMMEDIATE for a write
// (taking the database's write lock at once, so the body never has to upgrade), a read transaction
// otherwise. For a read of a hive that has no database yet, `body` gets a null db.
template <class Body>
LSTATUS inHiveLocked(Hive& h, bool write, Body& body) {
    if (LSTATUS code = attach(h, write)) return code;
    sqlite3* db = h.db;
    LSTATUS code;
    try {
        if (db != nullptr) {
            exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN");
            code = body(db);
            exec(db, code == ERROR_SUCCESS ? "COMMIT" : "ROLLBACK");
        } else {
            code = body(db);
        }
        // The hive works again: its next failure is worth a line.
        h.lastReport.clear();
        return code;
    } catch (const Refusal& r) {
        code = r.code;
    } catch (const SqlFailure& f) {
        code = codeOfSql(f.rc);
        if (code != kBusy && code != ERROR_ACCESS_DENIED && db != nullptr) report(h, sqlite3_errmsg(db));
    } catch (const std::bad_alloc&) {
        code = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (db != nullptr && !sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    // A damaged or failing database is opened afresh next time.
    if (code == ERROR_BADDB || code == ERROR_REGISTRY_IO_FAILED) closeDb(h);
    return code;
}

template <class Body>
LSTATUS inHive(int hive, bool write, Body&& body) {
    Hive& h = hives()[hive];
    std::vector<std::string> lines;
    LSTATUS code;
    {
        std::lock_guard<std::mutex> guard(h.lock);
        code = inHiveLocked(h, write, body);
        lines.swap(h.pending);
    }
    // Outside the lock: the sink may be a log that reads its own settings from the registry.
    for (const std::string& line : lines) emit(line);
    return code;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    OpenKey base;
    if (!resolve(key, base)) return ERROR_INVALID_HANDLE;
    std::vector<Name> parts;
    if (!splitPath(subKey, parts)) return kBadPathname;
    if ((access & kWriteRights) && deniedWrite(base.hive)) return ERROR_ACCESS_DENIED;
    applyView(base, access, parts);
    int64_t found = 0;
    LSTATUS code = inHive(base.hive, false, [&](sqlite3* db) -> LSTATUS {
        requireKey(db, base.id);
        found = walk(db, base.id, parts);
        return found != 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    if (code == ERROR_SUCCESS) *result = newHandle(base.hive, found, access);
    return code;
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD options, REGSAM access,
                        SECURITY_ATTRIBUTES*, PHKEY result, DWORD* disposition) {
    if (result == nullptr || subKey == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (options != REG_OPTION_NON_VOLATILE) return ERROR_INVALID_PARAMETER;
    OpenKey base;
    if (!resolve(key, base)) return ERROR_INVALID_HANDLE;
    std::vector<Name> parts;
    if (!splitPath(subKey, parts)) return kBadPathname;
    bool denied = deniedWrite(base.hive);
    if ((access & kWriteRights) && denied) return ERROR_ACCESS_DENIED;
    applyView(base, access, parts);

    // Most calls find the key: look first without taking the write lock.
    int64_t found = 0;
    LSTATUS code = inHive(base.hive, false, [&](sqlite3* db) -> LSTATUS {
        requireKey(db, base.id);
        found = walk(db, base.id, parts);
        return ERROR_SUCCESS;
    });
    if (code != ERROR_SUCCESS) return code;
    DWORD how = REG_OPENED_EXISTING_KEY;
    if (found == 0) {
        if (denied) return ERROR_ACCESS_DENIED;
        code = inHive(base.hive, true, [&](sqlite3* db) -> LSTATUS {
            requireKey(db, base.id);
            int64_t id = base.id;
            for (const Name& part : parts) {
                int64_t child = findChild(db, id, part);
                if (child == 0) {
                    child = addChild(db, id, part);
                    how = REG_CREATED_NEW_KEY;
                }
                id = child;
            }
            found = id;
            return ERROR_SUCCESS;
        });
        if (code != ERROR_SUCCESS) return code;
    }
    *result = newHandle(base.hive, found, access);
    if (disposition != nullptr) *disposition = how;
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
    if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    HandleTable& t = handles();
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.live.erase(reinterpret_cast<uintptr_t>(key)) == 0) return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size) {
    OpenKey k;
    if (!resolve(key, k)) return ERROR_INVALID_HANDLE;
    if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
    if (!(k.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    return inHive(k.hive, false, [&](sqlite3* db) -> LSTATUS {
        requireKey(db, k.id);
        if (db == nullptr) return ERROR_FILE_NOT_FOUND;
        Stmt s(db, "SELECT type, data FROM vals WHERE key=?1 AND fold=?2");
        s.bind(1, k.id).bind(2, foldKey(toName(name)));
        if (!s.step()) return ERROR_FILE_NOT_FOUND;
        return giveValue(static_cast<DWORD>(s.integer(0)), s.bytes(1), type, data, size);
    });
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    OpenKey k;
    if (!resolve(key, k)) return ERROR_INVALID_HANDLE;
    if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
    if (!(k.access & KEY_SET_VALUE) || deniedWrite(k.hive)) return ERROR_ACCESS_DENIED;
    return inHive(k.hive, true, [&](sqlite3* db) -> LSTATUS {
        requireKey(db, k.id);
        putValue(db, k.id, toName(name), type, data, size);
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name) {
    OpenKey k;
    if (!resolve(key, k)) return ERROR_INVALID_HANDLE;
    if (!(k.access & KEY_SET_VALUE) || deniedWrite(k.hive)) return ERROR_ACCESS_DENIED;
    return inHive(k.hive, true, [&](sqlite3* db) -> LSTATUS {
        requireKey(db, k.id);
        Stmt s(db, "DELETE FROM vals WHERE key=?1 AND fold=?2");
        s.bind(1, k.id).bind(2, foldKey(toName(name)));
        s.run();
        return sqlite3_changes(db) != 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    OpenKey base;
    if (!resolve(key, base)) return ERROR_INVALID_HANDLE;
    std::vector<Name> parts;
    if (!splitPath(subKey, parts)) return kBadPathname;
    if (parts.empty()) return ERROR_INVALID_PARAMETER;
    if (deniedWrite(base.hive)) return ERROR_ACCESS_DENIED;
    return inHive(base.hive, true, [&](sqlite3* db) -> LSTATUS {
        requireKey(db, base.id);
        int64_t id = walk(db, base.id, parts);
        if (id == 0) return ERROR_FILE_NOT_FOUND;
        Stmt children(db, "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1");
        children.bind(1, id);
        if (children.step()) return ERROR_ACCESS_DENIED;
        Stmt s(db, "DELETE FROM keys WHERE id=?1");
        s.bind(1, id);
        s.run();
        return ERROR_SUCCESS;
    });
}

namespace {

// Copies an enumerated name into the caller's buffer with its NUL.
LSTATUS giveName(const Name& n, LPWSTR buffer, DWORD* chars) {
    if (*chars <= n.size()) return ERROR_MORE_DATA;
    std::memcpy(buffer, n.data(), n.size() * sizeof(char16_t));
    buffer[n.size()] = 0;
    *chars = static_cast<DWORD>(n.size());
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameChars, DWORD* reserved, LPWSTR keyClass,
                      DWORD* classChars, FILETIME* lastWriteTime) {
    OpenKey k;
    if (!resolve(key, k)) return ERROR_INVALID_HANDLE;
    if (name == nullptr || nameChars == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (!(k.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    return inHive(k.hive, false, [&](sqlite3* db) -> LSTATUS {
        requireKey(db, k.id);
        if (db == nullptr) return ERROR_NO_MORE_ITEMS;
        Stmt s(db, "SELECT name FROM keys WHERE parent=?1 ORDER BY fold LIMIT 1 OFFSET ?2");
        s.bind(1, k.id).bind(2, index);
        if (!s.step()) return ERROR_NO_MORE_ITEMS;
        if (LSTATUS code = giveName(s.name(0), name, nameChars)) return code;
        if (keyClass != nullptr && classChars != nullptr && *classChars > 0) keyClass[0] = 0;
        if (classChars != nullptr) *classChars = 0;
        if (lastWriteTime != nullptr) *lastWriteTime = FILETIME{0, 0};
        return ERROR_SUCCESS;
    });
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, DWORD* nameChars, DWORD* reserved, DWORD* type,
                      BYTE* data, DWORD* size) {
    OpenKey k;
    if (!resolve(key, k)) return ERROR_INVALID_HANDLE;
    if (name == nullptr || nameChars == nullptr || reserved != nullptr ||
        (data != nullptr && size == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (!(k.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    return inHive(k.hive, false, [&](sqlite3* db) -> LSTATUS {
        requireKey(db, k.id);
        if (db == nullptr) return ERROR_NO_MORE_ITEMS;
        Stmt s(db, "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY fold LIMIT 1 OFFSET ?2");
        s.bind(1, k.id).bind(2, index);
        if (!s.step()) return ERROR_NO_MORE_ITEMS;
        if (LSTATUS code = giveName(s.name(0), name, nameChars)) return code;
        return giveValue(static_cast<DWORD>(s.integer(1)), s.bytes(2), type, data, size);
    });
}

LONG RegEnableReflectionKey(HKEY key) {
    OpenKey k;
    return resolve(key, k) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS SHCopyKeyW(HKEY sourceKey, LPCWSTR sourcePath, HKEY target, DWORD) {
    OpenKey src, dst;
    if (!resolve(sourceKey, src) || !resolve(target, dst)) return ERROR_INVALID_HANDLE;
    std::vector<Name> parts;
    if (!splitPath(sourcePath, parts)) return kBadPathname;
    if (!(dst.access & KEY_SET_VALUE) || deniedWrite(dst.hive)) return ERROR_ACCESS_DENIED;

    Tree tree;
    auto readSource = [&](sqlite3* db) -> LSTATUS {
        requireKey(db, src.id);
        int64_t id = walk(db, src.id, parts);
        if (id == 0) return ERROR_FILE_NOT_FOUND;
        if (db != nullptr) tree = readTree(db, id);
        return ERROR_SUCCESS;
    };
    auto writeTarget = [&](sqlite3* db) -> LSTATUS {
        requireKey(db, dst.id);
        writeTree(db, dst.id, tree);
        return ERROR_SUCCESS;
    };
    if (src.hive == dst.hive) {
        // One transaction reads the source and writes the copy, so no change slips in between.
        return inHive(dst.hive, true, [&](sqlite3* db) -> LSTATUS {
            LSTATUS code = readSource(db);
            return code != ERROR_SUCCESS ? code : writeTarget(db);
        });
    }
    // Across hives the source is read under its own lock first; the two hive locks are never held
    // together.
    if (LSTATUS code = inHive(src.hive, false, readSource)) return code;
    return inHive(dst.hive, true, writeTarget);
}

namespace vsk::registry {

void CloseHives() {
    for (int i = 0; i < 2; ++i) {
        Hive& h = hives()[i];
        std::lock_guard<std::mutex> guard(h.lock);
        closeDb(h);
        h.path.clear();
        h.lastReport.clear();
        h.pending.clear();
    }
    HandleTable& t = handles();
    std::lock_guard<std::mutex> guard(t.lock);
    t.live.clear();
}

}  // namespace vsk::registry
