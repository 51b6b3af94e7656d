#include <vsk/platform/kernel.h>

#include <sys/random.h>
#include <cerrno>

int rand_s(unsigned int* value) {
    int err = 0;
    if (!value) {
        err = EINVAL;
    } else {
        auto* bytes = reinterpret_cast<unsigned char*>(value);
        size_t got = 0;
        while (got < sizeof(*value)) {
            const ssize_t n = getrandom(bytes + got, sizeof(*value) - got, 0);
            if (n > 0) {
                got += static_cast<size_t>(n);
            } else if (n == 0 || errno != EINTR) {
                err = n == 0 ? EIO : errno;
                break;
            }
        }
    }
    if (err == 0) return 0;
    CrtErrno() = err;
    SetLastError(Win32FromErrno(err));
    return err;
}
