// Opening the program's own files: regular files only, never waiting on a FIFO or device.
#include "files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FILE *platform_fopen_regular(const char *path, const char *mode) {
    if (!path || !mode || !mode[0]) {
        errno = EINVAL;
        return nullptr;
    }
    const bool plus = std::strchr(mode, '+') != nullptr;
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    switch (mode[0]) {
    case 'r': flags |= plus ? O_RDWR : O_RDONLY; break;
    case 'w': flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
    case 'a': flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default: errno = EINVAL; return nullptr;
    }
    // O_TRUNC only after the check: it must not empty something that is not ours to empty.
    const bool truncate = flags & O_TRUNC;
    int fd = open(path, flags & ~O_TRUNC, 0666);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int why = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = why;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (truncate && ftruncate(fd, 0) != 0) {
        close(fd);
        return nullptr;
    }
    FILE *f = fdopen(fd, mode);
    if (!f) close(fd);
    return f;
}
