#include <vsk/platform/kernel.h>

#include <unistd.h>

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
    pthread_mutex_destroy(&cs->mutex);
}

void EnterCriticalSection(CRITICAL_SECTION* cs) {
    pthread_mutex_lock(&cs->mutex);
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) {
    pthread_mutex_unlock(&cs->mutex);
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) {
    return pthread_mutex_trylock(&cs->mutex) == 0;
}

// Not cached: a child made by fork must see its own id.
namespace {
// Every lock and unlock asks for the thread id: keep it per thread instead of a system call each
// time. A forked child's thread starts with the id of the thread that forked, so it is forgotten.
thread_local DWORD t_threadId = 0;
void forgetThreadIdInChild() { t_threadId = 0; }
const int g_atForkRegistered = pthread_atfork(nullptr, nullptr, forgetThreadIdInChild);
}  // namespace

DWORD GetCurrentThreadId() {
    if (t_threadId == 0) t_threadId = static_cast<DWORD>(gettid());
    return t_threadId;
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}
