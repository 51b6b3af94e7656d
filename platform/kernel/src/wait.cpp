#include "kernelObjects.h"

#include <vsk/platform/identity.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/wait.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

using namespace vsk::kernel;
using Clock = std::chrono::steady_clock;

namespace {

// How often a wait looks again at a named mutex that another process may release: flock cannot
// tell us, so the wait polls.
constexpr auto CrossProcessPoll = std::chrono::milliseconds(10);
// Lock file names stay well inside the 255 bytes a file name may have.
constexpr size_t MaxLockNameBytes = 200;

// One lock and one condition for the state of every mutex and thread; waits are rare and short.
std::mutex& stateLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
std::condition_variable& stateChanged() {
    static std::condition_variable* cv = new std::condition_variable;
    return *cv;
}

// A process-unique, never reused identity of the calling thread.
uint64_t selfId() {
    static std::atomic<uint64_t> next{1};
    thread_local const uint64_t id = next++;
    return id;
}

struct MutexObject;
void abandonOwnedLocked(std::vector<std::weak_ptr<MutexObject>>& owned);

// Mutexes the thread has acquired; when the thread ends, those it still owns become abandoned.
// Threads of CreateThread abandon them before their handle is signalled; this destructor covers
// threads started by other means.
struct OwnedMutexes {
    std::vector<std::weak_ptr<MutexObject>> list;
    ~OwnedMutexes();
};
thread_local OwnedMutexes t_owned;

struct MutexObject : KernelObject, std::enable_shared_from_this<MutexObject> {
    MutexObject(std::u16string n, int f) : KernelObject(ObjectKind::Mutex), name(std::move(n)), fd(f) {}
    ~MutexObject() override {
        if (fd >= 0) close(fd);
    }
    const std::u16string name;
    const int fd;  // the lock file of a named mutex, -1 for an unnamed one
    uint64_t owner = 0;
    unsigned depth = 0;
    bool abandoned = false;

    // Under the state lock. 1 acquired, 2 acquired an abandoned mutex, 0 not available now.
    int tryAcquire() {
        const uint64_t me = selfId();
        if (owner == me) {
            ++depth;
            return 1;
        }
        if (owner != 0) return 0;
        if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) return 0;
        owner = me;
        depth = 1;
        std::erase_if(t_owned.list, [](const std::weak_ptr<MutexObject>& w) {
            auto m = w.lock();
            return !m || m->owner != selfId();
        });
        t_owned.list.push_back(weak_from_this());
        if (abandoned) {
            abandoned = false;
            return 2;
        }
        return 1;
    }
    // Under the state lock; the caller owns it.
    void releaseOnce() {
        if (--depth == 0) {
            owner = 0;
            if (fd >= 0) flock(fd, LOCK_UN);
        }
    }
};

// Under the state lock; empties the list.
void abandonOwnedLocked(std::vector<std::weak_ptr<MutexObject>>& owned) {
    const uint64_t me = selfId();
    for (const auto& w : owned) {
        auto m = w.lock();
        if (!m || m->owner != me) continue;
        m->depth = 1;
        m->releaseOnce();
        m->abandoned = true;
    }
    owned.clear();
}

OwnedMutexes::~OwnedMutexes() {
    if (list.empty()) return;
    std::lock_guard guard(stateLock());
    abandonOwnedLocked(list);
    stateChanged().notify_all();
}

struct ThreadObject : KernelObject {
    ThreadObject() : KernelObject(ObjectKind::Thread) {}
    bool done = false;
    DWORD exitCode = STILL_ACTIVE;
    DWORD id = 0;
};

// Named mutexes of this process: one object per name.
std::map<std::u16string, std::weak_ptr<MutexObject>>& namedMutexes() {
    static auto* names = new std::map<std::u16string, std::weak_ptr<MutexObject>>;
    return *names;
}

bool usableFolder(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

// The folder of the lock files; empty (with the last error set) when none can be had.
std::string lockFolder() {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/' && usableFolder(runtime)) return runtime;
    const std::string root = UserStateRoot(true);
    if (!root.empty()) {
        const std::string locks = root + "/locks";
        if ((mkdir(locks.c_str(), 0700) == 0 || errno == EEXIST) && usableFolder(locks)) return locks;
    }
    const std::string tmp = "/tmp/kestrovan-" + std::to_string(geteuid());
    if ((mkdir(tmp.c_str(), 0700) == 0 || errno == EEXIST) && usableFolder(tmp)) return tmp;
    SetLastError(ERROR_PATH_NOT_FOUND);
    return {};
}

// The lock file of a name: letters, digits, '.', '_' and '-' kept, every other byte as %XX.
std::string lockPath(const std::u16string& name) {
    const std::string folder = lockFolder();
    if (folder.empty()) return {};
    std::string file = "kestrovan-mutex-";
    for (unsigned char c : ToUtf8(name)) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
            c == '_' || c == '-') {
            file += static_cast<char>(c);
        } else {
            static const char hex[] = "0123456789ABCDEF";
            file += '%';
            file += hex[c >> 4];
            file += hex[c & 15];
        }
    }
    file += ".lock";
    if (file.size() > MaxLockNameBytes) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return {};
    }
    return folder + "/" + file;
}

std::u16string textOf(LPCWSTR name) {
    std::u16string text;
    for (size_t i = 0; name && name[i]; ++i) text += name[i];
    return text;
}

// A named object from the process's table or from its lock file; null with the last error set.
std::shared_ptr<MutexObject> namedMutex(const std::u16string& name, bool create) {
    auto& names = namedMutexes();
    auto it = names.find(name);
    if (it != names.end())
        if (auto existing = it->second.lock()) return existing;
    const std::string path = lockPath(name);
    if (path.empty()) return nullptr;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    if (fd < 0) {
        SetLastError(Win32FromErrno(errno));
        return nullptr;
    }
    auto object = std::make_shared<MutexObject>(name, fd);
    names[name] = object;
    return object;
}

struct Waitable {
    std::shared_ptr<KernelObject> object;
    MutexObject* mutex = nullptr;
    ThreadObject* thread = nullptr;
};

struct ThreadStart {
    std::shared_ptr<ThreadObject> object;
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
};

void* threadMain(void* argument) {
    std::unique_ptr<ThreadStart> s(static_cast<ThreadStart*>(argument));
    {
        std::lock_guard guard(stateLock());
        s->object->id = GetCurrentThreadId();
        stateChanged().notify_all();
    }
    const DWORD result = s->start(s->parameter);
    std::lock_guard guard(stateLock());
    // In the same step as the signal, so whoever sees the thread ended also sees its mutexes abandoned.
    abandonOwnedLocked(t_owned.list);
    s->object->exitCode = result;
    s->object->done = true;
    stateChanged().notify_all();
    return nullptr;
}

}  // namespace

HANDLE CreateMutexW(SECURITY_ATTRIBUTES* /*security*/, BOOL initialOwner, LPCWSTR name) {
    std::unique_lock guard(stateLock());
    std::shared_ptr<MutexObject> object;
    if (name && *name) {
        object = namedMutex(textOf(name), true);
        if (!object) return nullptr;
    } else {
        object = std::make_shared<MutexObject>(std::u16string(), -1);
    }
    // An initial owner only gets the mutex when nobody holds it, as when the name already existed.
    if (initialOwner) object->tryAcquire();
    guard.unlock();
    return InsertHandle(object, MUTEX_ALL_ACCESS);
}

HANDLE OpenMutexW(DWORD access, BOOL /*inheritHandle*/, LPCWSTR name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::unique_lock guard(stateLock());
    auto object = namedMutex(textOf(name), false);
    if (!object) return nullptr;
    guard.unlock();
    return InsertHandle(object, access);
}

BOOL ReleaseMutex(HANDLE handle) {
    DWORD access = 0;
    auto mutex = Lookup<MutexObject>(handle, ObjectKind::Mutex, &access);
    if (!mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(access & MUTEX_MODIFY_STATE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::lock_guard guard(stateLock());
    if (mutex->owner != selfId()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    mutex->releaseOnce();
    stateChanged().notify_all();
    return TRUE;
}

HANDLE CreateThread(SECURITY_ATTRIBUTES* /*security*/, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, DWORD* threadId) {
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (flags & CREATE_SUSPENDED) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto object = std::make_shared<ThreadObject>();
    auto* s = new ThreadStart{object, start, parameter};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize)
        pthread_attr_setstacksize(&attributes,
                                  std::max<SIZE_T>(stackSize, static_cast<SIZE_T>(PTHREAD_STACK_MIN)));
    pthread_t thread;
    const int err = pthread_create(&thread, &attributes, threadMain, s);
    pthread_attr_destroy(&attributes);
    if (err != 0) {
        delete s;
        SetLastError(Win32FromErrno(err));
        return nullptr;
    }
    {
        std::unique_lock guard(stateLock());
        stateChanged().wait(guard, [&] { return object->id != 0; });
        if (threadId) *threadId = object->id;
    }
    return InsertHandle(object, THREAD_ALL_ACCESS);
}

BOOL GetExitCodeThread(HANDLE handle, DWORD* exitCode) {
    auto thread = Lookup<ThreadObject>(handle, ObjectKind::Thread);
    if (!thread || !exitCode) {
        SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard guard(stateLock());
    *exitCode = thread->exitCode;
    return TRUE;
}

BOOL GetThreadTimes(HANDLE handle, FILETIME* creation, FILETIME* exit, FILETIME* kernel, FILETIME* user) {
    if (handle != GetCurrentThread()) {
        auto thread = Lookup<ThreadObject>(handle, ObjectKind::Thread);
        if (!thread) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        std::lock_guard guard(stateLock());
        if (thread->done || thread->id != GetCurrentThreadId()) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
    }
    struct rusage usage {};
    if (getrusage(RUSAGE_THREAD, &usage) != 0) {
        SetLastError(Win32FromErrno(errno));
        return FALSE;
    }
    auto ticks = [](const struct timeval& t) {
        return U64ToFileTime((static_cast<uint64_t>(t.tv_sec) * 1000000 + static_cast<uint64_t>(t.tv_usec)) *
                             10);
    };
    if (creation) *creation = FILETIME{0, 0};
    if (exit) *exit = FILETIME{0, 0};
    if (kernel) *kernel = ticks(usage.ru_stime);
    if (user) *user = ticks(usage.ru_utime);
    return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<Waitable> items(count);
    bool crossProcess = false;
    for (DWORD i = 0; i < count; ++i) {
        DWORD access = 0;
        items[i].object = LookupAnyHandle(handles[i], &access);
        auto& object = items[i].object;
        if (object && object->kind == ObjectKind::Mutex) {
            items[i].mutex = static_cast<MutexObject*>(object.get());
            crossProcess |= items[i].mutex->fd >= 0;
        } else if (object && object->kind == ObjectKind::Thread) {
            items[i].thread = static_cast<ThreadObject*>(object.get());
        } else {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (!(access & SYNCHRONIZE)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return WAIT_FAILED;
        }
        for (DWORD j = 0; j < i; ++j) {
            if (items[j].object == object) {  // a mutex named twice would be taken twice
                SetLastError(ERROR_INVALID_PARAMETER);
                return WAIT_FAILED;
            }
        }
    }
    const bool forever = milliseconds == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);

    std::unique_lock guard(stateLock());
    for (;;) {
        if (!waitAll) {
            for (DWORD i = 0; i < count; ++i) {
                if (items[i].thread && items[i].thread->done) return WAIT_OBJECT_0 + i;
                if (items[i].mutex) {
                    const int got = items[i].mutex->tryAcquire();
                    if (got) return (got == 2 ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
                }
            }
        } else {
            bool all = true;
            for (const auto& item : items) all &= !item.thread || item.thread->done;
            // Mutexes are taken together or not at all.
            std::vector<std::pair<DWORD, int>> taken;
            for (DWORD i = 0; all && i < count; ++i) {
                if (!items[i].mutex) continue;
                const int got = items[i].mutex->tryAcquire();
                if (!got)
                    all = false;
                else
                    taken.emplace_back(i, got);
            }
            if (all) {
                for (const auto& [i, got] : taken)
                    if (got == 2) return WAIT_ABANDONED_0 + i;
                return WAIT_OBJECT_0;
            }
            for (const auto& [i, got] : taken) {
                items[i].mutex->releaseOnce();
                if (got == 2) items[i].mutex->abandoned = true;
            }
        }
        const auto now = Clock::now();
        if (!forever && now >= deadline) return WAIT_TIMEOUT;
        auto until = forever ? now + std::chrono::hours(24) : deadline;
        if (crossProcess && until > now + CrossProcessPoll) until = now + CrossProcessPoll;
        stateChanged().wait_until(guard, until);
    }
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;) pause();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
