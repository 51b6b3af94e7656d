// The process-wide certificate cache: for each thread, an ordered set of certificate objects. The
// library itself adds nothing; the program keeps the certificates of its lists here, the store's
// deletion drops a certificate before deleting it, and entries of threads that have ended are dropped
// whenever a certificate object takes a new context.
//
// The map and every set are guarded by the common lock. Each entry carries a copy of its certificate's
// ordering values, taken when it was added: the sets are ordered without touching any certificate's
// lock while the common lock is held (certificate operations take the common lock inside their own),
// and a certificate that changes later cannot disturb the order of a set that holds it.
#pragma once

#include <vsk/pki/Certificate.h>

#include <cstddef>

namespace Vsk::PKI {

class CCertCache {
public:
    // Adds the certificate to the calling thread's set; false when an equivalent one is there already.
    static bool add(const CCertificate& certificate);
    // Removes from the calling thread's set every certificate equivalent to one holding this context
    // under the certificate order; true when any was removed.
    static bool deleteInCache(PCCERT_CONTEXT context);
    // Empties the calling thread's set (made when missing) when the map has any entry.
    static void clearThreadCache();
    // Drops the entries of threads that have ended.
    static void freeNonUsedCache();

    // For tests and diagnostics: the number of threads with an entry, and the size of the calling
    // thread's set (0 without an entry; no entry is made).
    static size_t getThreadCount();
    static size_t getThreadCacheSize();
};

}  // namespace Vsk::PKI
