// File access: the one opener of streams, and the temporary file that a
// finished stream replaces its target with.
#include "qel_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "qel/qel.h"
#include "qel_check.h"
#include "qel_heap.h"

extern "C" qel_err qel_file_open(FILE** filehandle, const char* filename, size_t n_fn, uint8_t write) noexcept {
    QEL_CHECK((NULL != filehandle) && (NULL != filename), "illegal parameters", QEL_ERR_INVALID);
    QEL_CHECK(n_fn > strnlen(filename, n_fn), "illegal file name size", QEL_ERR_SIZE);
    // Binary modes: a stream must come back byte for byte on every platform.
    *filehandle = std::fopen(filename, write ? "wb" : "rb");
    QEL_CHECK(*filehandle != NULL, "cannot open file", QEL_ERR_FILE);
    return QEL_SUCCESS;
}

namespace {

// Whether `filename` may be replaced by renaming a new file over it: a name
// not taken yet, or a regular file that a new file can stand in for whole.
// Not a symbolic link (which may lead through /proc to an open stream, as
// /dev/stdout does), nor a file with several links (which would part from
// the others); those, FIFOs and devices are written in place. Nor a file the
// process may not write: the rename would replace it all the same, where
// opening it is refused. *existing receives the file's status, its mode -1
// when there is no file.
bool replaceable(const char* filename, struct stat* existing) {
    if (lstat(filename, existing) != 0) {
        existing->st_mode = static_cast<mode_t>(-1);
        return errno == ENOENT;
    }
    return S_ISREG(existing->st_mode) && existing->st_nlink == 1 &&
           faccessat(AT_FDCWD, filename, W_OK, AT_EACCESS) == 0;
}

// Creates "<folder>/.<name>.<6 letters>" beside `target`. The creating open
// applies the umask to 0666 itself, so a new file gets the very mode a plain
// fopen would give it; an existing file's mode, owner and group are copied,
// and where they cannot be the new file is given up. Returns the open
// descriptor and sets *temporary, or returns -1 with errno set.
int create_temporary(const char* target, const struct stat& existing, char** temporary) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const char* slash = std::strrchr(target, '/');
    const size_t folder = slash != nullptr ? static_cast<size_t>(slash - target) + 1 : 0;
    const size_t length = std::strlen(target);
    char* name = static_cast<char*>(qel_calloc(length + 9, 1));  // '.', '.', 6 letters, terminator
    if (name == nullptr) return -1;
    std::memcpy(name, target, folder);
    name[folder] = '.';
    std::memcpy(name + folder + 1, target + folder, length - folder);
    char* suffix = name + length + 1;
    suffix[0] = '.';

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // Distinct per process, thread (the stack address) and moment; a name
    // taken already just means another try.
    uint64_t seed = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
                    (static_cast<uint64_t>(getpid()) << 40) ^ reinterpret_cast<uintptr_t>(&now);
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        uint64_t bits = seed >> 16;
        for (int i = 1; i <= 6; ++i, bits /= 62) suffix[i] = kLetters[bits % 62];
        fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd >= 0 && existing.st_mode != static_cast<mode_t>(-1)) {
        struct stat made;
        const bool same_owner = fstat(fd, &made) == 0 && made.st_uid == existing.st_uid &&
                                made.st_gid == existing.st_gid;
        if ((!same_owner && fchown(fd, existing.st_uid, existing.st_gid) != 0) ||
            fchmod(fd, existing.st_mode & 07777) != 0) {
            const int failure = errno;
            close(fd);
            unlink(name);
            errno = failure;
            fd = -1;
        }
    }
    if (fd < 0) {
        const int failure = errno;
        qel_free(name);
        errno = failure;
        return -1;
    }
    *temporary = name;
    return fd;
}

bool disk_full(int error) {
#ifdef EDQUOT
    if (error == EDQUOT) return true;
#endif
    return error == ENOSPC;
}

}  // namespace

extern "C" qel_err qel_file_open_replacing(FILE** filehandle, char** temporary, char** target,
                                           const char* filename, size_t n_fn) noexcept {
    // A name the plain open refuses is refused by it, with its own record.
    if (filehandle == nullptr || filename == nullptr || n_fn <= strnlen(filename, n_fn) ||
        temporary == nullptr || target == nullptr) {
        return qel_file_open(filehandle, filename, n_fn, 1);
    }
    *temporary = nullptr;
    *target = nullptr;
    struct stat existing;
    if (!replaceable(filename, &existing)) return qel_file_open(filehandle, filename, n_fn, 1);
    char* final_name = strdup(filename);
    char* name = nullptr;
    const int fd = final_name != nullptr ? create_temporary(final_name, existing, &name) : -1;
    FILE* file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        const int failure = errno;
        if (fd >= 0) {
            close(fd);
            unlink(name);
        }
        qel_free(name);
        qel_free(final_name);
        // Without room for a temporary file, writing in place would lose the
        // old contents too. Any other obstacle (a folder that may not be
        // written, a name too long for the suffix, an owner that cannot be
        // kept) leaves the plain open, which succeeds or fails as it always
        // did.
        QEL_CHECK(!disk_full(failure), "cannot open file", QEL_ERR_FILE, "*filehandle != NULL");
        return qel_file_open(filehandle, filename, n_fn, 1);
    }
    *filehandle = file;
    *temporary = name;
    *target = final_name;
    return QEL_SUCCESS;
}
