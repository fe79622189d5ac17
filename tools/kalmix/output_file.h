// An output file that appears only when complete: a plain file is written
// under a temporary name beside its final place and renamed at the end;
// dropped unfinished, it leaves nothing behind. A link stays a link: the
// plain file behind it (or the one it names, not there yet) is written the
// same way. Anything else the user names (a device, a FIFO, /dev/stdout,
// /proc/self/fd/N, a socket) is written in place and never replaced.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace kalmix::tool {

// What to do when the output is an existing regular file.
enum class Overwrite { Ask, Always, Never };

// ffmpeg's rule for outputs found existing: -y replaces, -n never does, and
// otherwise the user is asked on the terminal (standard input), where there
// is one to ask on. `found` says what exists ("output 'out.mkv' exists");
// `them` words the refusal for several files. Returns when they may be
// replaced; throws ToolError with one line when not.
void confirmReplacing(const std::string& found, Overwrite overwrite, bool terminalFree, bool them = false);

class TempOutput {
public:
    // The random part of a temporary name; tests supply their own.
    using NameSource = std::function<std::string()>;

    // "-" stands for standard output. Decides here, by lstat, whether the
    // path gets a temporary file; opens nothing yet.
    explicit TempOutput(std::string finalPath, NameSource names = {});
    ~TempOutput();  // removes the temporary file unless committed
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;

    bool isStdout() const { return finalPath_ == "-"; }
    const std::string& finalPath() const { return finalPath_; }
    // The name being written: the temporary file's once open() made it.
    const std::string& tempPath() const { return tempPath_; }
    // Opens the output for writing and hands the descriptor to the caller:
    // a new temporary file (created exclusively, never through a link) or
    // the named path itself. Throws ToolError on failure.
    int open();
    // The same as a stdio stream for binary writing.
    std::FILE* openStream();
    // Renames the temporary file into place. Throws ToolError on failure,
    // and when a file appeared at the final name after this object was made
    // (another run, another program) unless replaceAppearing() allowed it.
    void commit();
    // -y: a file that appears at the final name while the output is written
    // is replaced too. Otherwise only the file there at the start (the one
    // the user was asked about) may be.
    void replaceAppearing(bool allowed) { replaceAppearing_ = allowed; }

private:
    bool keepModeAndOwner(int fd) const;
    int openInPlace();

    std::string finalPath_;
    std::string tempPath_;
    std::string target_;  // what the temporary file is renamed to: the final path, or the end of its links
    bool throughLink_ = false;
    NameSource names_;
    bool replaces_ = false;  // a plain file (or none yet): temporary file and rename
    // The plain file being replaced: the new one takes its mode and owner.
    bool hadFile_ = false;
    unsigned mode_ = 0;
    unsigned owner_ = 0;
    unsigned group_ = 0;
    bool opened_ = false;
    bool committed_ = false;
    bool replaceAppearing_ = false;
};

// Every temporary file in flight, for a signal handler to remove.
void removeTempOutputsNow() noexcept;

}  // namespace kalmix::tool
