// Temporary output files and their rename into place.
#include "tools/kalmix/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "tools/kalmix/video_io.h"

namespace kalmix::tool {
namespace {

// Paths of the temporary files in flight, kept as fixed C strings so that a
// signal handler can unlink them without allocating.
constexpr std::size_t MAX_LIVE = 8;
constexpr std::size_t PATH_CAPACITY = 4096;
std::array<std::array<char, PATH_CAPACITY>, MAX_LIVE> livePaths{};

// The longest name a directory entry takes on the file systems in use.
constexpr std::size_t NAME_LIMIT = 255;
constexpr const char* TEMP_MARK = ".kalmix-";
constexpr const char* TEMP_END = ".part";
constexpr std::size_t RANDOM_LENGTH = 6;
constexpr int CREATE_ATTEMPTS = 100;
constexpr int MAX_LINK_HOPS = 40;  // as the kernel follows them

void track(const std::string& path) {
    if (path.size() >= PATH_CAPACITY) return;
    for (auto& slot : livePaths) {
        if (slot[0] == '\0') {
            std::memcpy(slot.data(), path.c_str(), path.size() + 1);
            return;
        }
    }
}

void untrack(const std::string& path) {
    for (auto& slot : livePaths) {
        if (path == slot.data()) slot[0] = '\0';
    }
}

std::string randomName() {
    static constexpr char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device source;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof(LETTERS) - 2);
    std::string name;
    for (std::size_t i = 0; i < RANDOM_LENGTH; ++i) name += LETTERS[pick(source)];
    return name;
}

// The final name's start, short enough that the temporary name fits in a
// directory entry, cut before a UTF-8 continuation byte rather than inside
// a character.
std::string shortenedBase(const std::string& base, std::size_t randomLength) {
    const std::size_t room = NAME_LIMIT - 1 - std::strlen(TEMP_MARK) - randomLength - std::strlen(TEMP_END);
    if (base.size() <= room) return base;
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) --cut;
    return base.substr(0, cut);
}

// rename() that fails with EEXIST instead of replacing a file at `to`. File
// systems without renameat2's RENAME_NOREPLACE get link() and unlink(); those
// without links too, a check just before the rename.
bool renameWithoutReplacing(const char* from, const char* to) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    if (::link(from, to) == 0) {
        ::unlink(from);
        return true;
    }
    if (errno == EEXIST) return false;
    struct stat info {};
    if (::lstat(to, &info) == 0) {
        errno = EEXIST;
        return false;
    }
    return std::rename(from, to) == 0;
}

// The name a chain of links ends at, followed hop by hop so that a link to
// nothing yet gives the name it would create. Empty where the output is to
// be written as it is: the system's links to descriptors already open
// (/dev/stdout, /proc/self/fd/N), a loop, a link that cannot be read.
std::string linkEnd(const std::string& path) {
    std::string at = path;
    for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
        if (at.rfind("/dev/", 0) == 0 || at.rfind("/proc/", 0) == 0) return "";
        struct stat info {};
        if (::lstat(at.c_str(), &info) != 0) return errno == ENOENT ? at : "";
        if (!S_ISLNK(info.st_mode)) return at;
        std::array<char, PATH_CAPACITY> text{};
        const ssize_t length = ::readlink(at.c_str(), text.data(), text.size() - 1);
        if (length <= 0) return "";
        std::string next(text.data(), static_cast<std::size_t>(length));
        if (next[0] != '/') {
            const std::size_t slash = at.rfind('/');
            if (slash != std::string::npos) next = at.substr(0, slash + 1) + next;
        }
        at = std::move(next);
    }
    return "";
}

[[noreturn]] void failOpen(const std::string& path) {
    throw ToolError("cannot write output '" + path + "': " + std::strerror(errno));
}

}  // namespace

void confirmReplacing(const std::string& found, Overwrite overwrite, bool terminalFree, bool them) {
    if (overwrite == Overwrite::Always) return;
    if (overwrite == Overwrite::Never) throw ToolError(found + "; not overwritten (-n)");
    if (!terminalFree || ::isatty(STDIN_FILENO) == 0) {
        throw ToolError(found + ": add -y to overwrite " + (them ? "them" : "it") + " (no terminal to ask on)");
    }
    std::fprintf(stderr, "kalmix: %s. Overwrite? [y/N] ", found.c_str());
    std::fflush(stderr);
    char answer[64] = {};
    if (std::fgets(answer, sizeof answer, stdin) == nullptr || (answer[0] != 'y' && answer[0] != 'Y')) {
        throw ToolError(found + "; not overwritten");
    }
}

TempOutput::TempOutput(std::string finalPath, NameSource names)
    : finalPath_(std::move(finalPath)), tempPath_(finalPath_), target_(finalPath_), names_(std::move(names)) {
    if (isStdout()) return;
    if (!names_) names_ = randomName;
    // lstat, not stat: a link stays a link. Only a plain file, or none yet,
    // is replaced by rename; behind a link too, so that a failed run leaves
    // the file there whole rather than cut short. Anything else (a device,
    // a FIFO, a descriptor's link) is written in place.
    struct stat info {};
    bool exists = ::lstat(finalPath_.c_str(), &info) == 0;
    if (exists && S_ISLNK(info.st_mode)) {
        if (std::string end = linkEnd(finalPath_); !end.empty()) {
            throughLink_ = true;
            target_ = std::move(end);
            exists = ::lstat(target_.c_str(), &info) == 0;
        }
    }
    replaces_ = !exists || S_ISREG(info.st_mode);
    if (exists && S_ISREG(info.st_mode)) {
        hadFile_ = true;
        mode_ = info.st_mode & 07777;
        owner_ = info.st_uid;
        group_ = info.st_gid;
    }
}

TempOutput::~TempOutput() {
    if (replaces_ && opened_ && !committed_) {
        ::unlink(tempPath_.c_str());
        untrack(tempPath_);
    }
}

int TempOutput::open() {
    if (isStdout()) return ::dup(STDOUT_FILENO);
    if (!replaces_) return openInPlace();
    // Beside the output (the file behind a link), so the rename stays within
    // one file system; the final extension is kept out of the name's end so
    // nothing mistakes the partial file for a finished one. The name is random and created
    // exclusively: whatever stands at a name already, a planted link
    // included, is left alone and another name is tried.
    const std::size_t slash = target_.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        const std::string random = names_();
        const std::string candidate = dir + "." + shortenedBase(base, random.size()) + TEMP_MARK + random + TEMP_END;
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            tempPath_ = candidate;
            track(tempPath_);
            opened_ = true;
            if (hadFile_) keepModeAndOwner(fd);
            return fd;
        }
        if (errno == EEXIST) continue;
        // A link may lead to a file this user may write in a directory they
        // may not add to: that file is written in place, as it always was.
        if (throughLink_ && (errno == EACCES || errno == EPERM)) {
            replaces_ = false;
            return openInPlace();
        }
        failOpen(finalPath_);
    }
    failOpen(finalPath_);
}

int TempOutput::openInPlace() {
    const int fd = ::open(finalPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) failOpen(finalPath_);
    opened_ = true;
    return fd;
}

// A replaced file keeps who may read it: a private file must not come back
// readable by everyone. The owner is kept where this user may give it (root,
// or a group of theirs), then the mode, as a change of owner clears set-id
// bits. Best effort: a file system without owners or modes has none to keep.
bool TempOutput::keepModeAndOwner(int fd) const {
    const bool owned = ::fchown(fd, owner_, group_) == 0 || ::fchown(fd, static_cast<uid_t>(-1), group_) == 0;
    return ::fchmod(fd, mode_) == 0 && owned;
}

std::FILE* TempOutput::openStream() {
    const int fd = open();
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
        failOpen(finalPath_);
    }
    return file;
}

void TempOutput::commit() {
    if (!replaces_ || !opened_ || committed_) return;
    const bool mayReplace = hadFile_ || replaceAppearing_;
    if (mayReplace ? std::rename(tempPath_.c_str(), target_.c_str()) != 0
                   : !renameWithoutReplacing(tempPath_.c_str(), target_.c_str())) {
        if (!mayReplace && errno == EEXIST) {
            throw ToolError("output '" + finalPath_ + "' appeared while it was being written; not overwritten (-y)");
        }
        throw ToolError("cannot write output '" + finalPath_ + "': " + std::strerror(errno));
    }
    committed_ = true;
    untrack(tempPath_);
}

void removeTempOutputsNow() noexcept {
    for (auto& slot : livePaths) {
        if (slot[0] != '\0') ::unlink(slot.data());
    }
}

}  // namespace kalmix::tool
