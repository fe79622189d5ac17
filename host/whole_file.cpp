// Writing a file whole: a temporary file of this save's own beside the
// target, moved over it only when complete and on disk. Hosts may run several
// processes against one Windows directory at once, and the directory may be
// shared with other users: no two saves share a temporary name, and nothing
// already standing at a name is opened.
#include "host/whole_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/win_api.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#endif

namespace kalmix {

namespace {

constexpr std::size_t NAME_CAPACITY = 512;
constexpr int CREATE_ATTEMPTS = 100;
constexpr const char* TEMPORARY_END = ".tmp";

#if defined(_WIN32)

int createTemporary(const char* path, char (&temporary)[NAME_CAPACITY]) {
    static unsigned serial = 0;
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        const int length = std::snprintf(temporary, NAME_CAPACITY, "%s.%lu-%lx-%u%s", path,
                                         static_cast<unsigned long>(GetCurrentProcessId()),
                                         static_cast<unsigned long>(GetTickCount()), ++serial, TEMPORARY_END);
        if (length <= 0 || static_cast<std::size_t>(length) >= NAME_CAPACITY) return -1;
        const int fd = _open(temporary, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool writeAll(int fd, const FilePart& part) {
    const auto* bytes = static_cast<const char*>(part.data);
    for (std::size_t done = 0; done < part.size;) {
        const int written = _write(fd, bytes + done, static_cast<unsigned>(part.size - done));
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

bool flushToDisk(int fd) { return _commit(fd) == 0; }
int closeFile(int fd) { return _close(fd); }
void removeFile(const char* path) { _unlink(path); }

bool moveOver(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

class QuietSignals {
public:
    QuietSignals() {}  // Windows ends a process without running anything of ours
};
void sweepAbandoned(const char*) {}

#else

// The temporary name: the target's, this process's id and a random part.
// The id lets a later save tell the leftovers of a killed process.
int createTemporary(const char* path, char (&temporary)[NAME_CAPACITY]) {
    static constexpr char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device source;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof(LETTERS) - 2);
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        char random[7] = {};
        for (int i = 0; i < 6; ++i) random[i] = LETTERS[pick(source)];
        const int length = std::snprintf(temporary, NAME_CAPACITY, "%s.%ld-%s%s", path,
                                         static_cast<long>(::getpid()), random, TEMPORARY_END);
        if (length <= 0 || static_cast<std::size_t>(length) >= NAME_CAPACITY) return -1;
        const int fd = ::open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool writeAll(int fd, const FilePart& part) {
    const auto* bytes = static_cast<const char*>(part.data);
    for (std::size_t done = 0; done < part.size;) {
        const ssize_t written = ::write(fd, bytes + done, part.size - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

bool flushToDisk(int fd) { return ::fsync(fd) == 0; }
int closeFile(int fd) { return ::close(fd); }
void removeFile(const char* path) { ::unlink(path); }

// The rename's own entry reaches the disk with its directory.
void flushDirectory(const char* path) {
    char directory[NAME_CAPACITY];
    std::snprintf(directory, sizeof(directory), "%s", path);
    char* slash = std::strrchr(directory, '/');
    if (slash == nullptr) return;
    slash[slash == directory ? 1 : 0] = '\0';
    const int fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool moveOver(const char* from, const char* to) {
    if (::rename(from, to) != 0) return false;
    flushDirectory(to);
    return true;
}

// An interrupt that arrives during the save waits until the temporary file
// is renamed or removed: a host that ends on Ctrl+C leaves nothing behind.
class QuietSignals {
public:
    QuietSignals() {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&blocked, s);
        pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~QuietSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    QuietSignals(const QuietSignals&) = delete;
    QuietSignals& operator=(const QuietSignals&) = delete;

private:
    sigset_t previous_;
};

// Removes the temporary files of saves whose process no longer exists
// (killed outright, or a machine that went down mid-save).
void sweepAbandoned(const char* path) {
    const char* slash = std::strrchr(path, '/');
    char directory[NAME_CAPACITY];
    std::snprintf(directory, sizeof(directory), "%.*s", slash == nullptr ? 1 : static_cast<int>(slash - path) + 1,
                  slash == nullptr ? "." : path);
    const char* base = slash == nullptr ? path : slash + 1;
    const std::size_t baseLength = std::strlen(base);
    DIR* listing = ::opendir(directory);
    if (listing == nullptr) return;
    const int directoryFd = ::dirfd(listing);
    while (const dirent* entry = ::readdir(listing)) {
        const char* name = entry->d_name;
        const std::size_t length = std::strlen(name);
        if (length <= baseLength + 1 + std::strlen(TEMPORARY_END) || std::strncmp(name, base, baseLength) != 0 ||
            name[baseLength] != '.' || std::strcmp(name + length - std::strlen(TEMPORARY_END), TEMPORARY_END) != 0) {
            continue;
        }
        char* end = nullptr;
        const long owner = std::strtol(name + baseLength + 1, &end, 10);
        if (end == name + baseLength + 1 || *end != '-' || owner <= 0 || owner == ::getpid()) continue;
        if (::kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH) ::unlinkat(directoryFd, name, 0);
    }
    ::closedir(listing);
}

#endif

}  // namespace

WholeFileResult writeWholeFile(const char* path, const FilePart* parts, std::size_t count) {
    QuietSignals quiet;
    sweepAbandoned(path);
    char temporary[NAME_CAPACITY];
    const int fd = createTemporary(path, temporary);
    if (fd < 0) return WholeFileResult::CannotCreate;
    bool written = true;
    for (std::size_t i = 0; i < count && written; ++i) written = writeAll(fd, parts[i]);
    written = written && flushToDisk(fd);
    written = (closeFile(fd) == 0) && written;
    if (!written || !moveOver(temporary, path)) {
        removeFile(temporary);
        return WholeFileResult::CannotWrite;
    }
    return WholeFileResult::Written;
}

}  // namespace kalmix
