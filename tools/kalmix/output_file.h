// An output file that appears only when complete: it is written under a
// temporary name beside its final place and renamed at the end; dropped
// unfinished, it leaves nothing behind.
#pragma once

#include <string>

namespace kalmix::tool {

class TempOutput {
public:
    // "-" stands for standard output, and an existing device or named pipe
    // is written in place: no temporary file, no rename.
    explicit TempOutput(std::string finalPath);
    ~TempOutput();  // removes the temporary file unless committed
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;

    bool isStdout() const { return finalPath_ == "-"; }
    const std::string& finalPath() const { return finalPath_; }
    const std::string& tempPath() const { return tempPath_; }
    // Renames the temporary file into place. Throws ToolError on failure.
    void commit();

private:
    std::string finalPath_;
    std::string tempPath_;
    bool committed_ = false;
    bool direct_ = false;
};

// Every temporary file in flight, for a signal handler to remove.
void removeTempOutputsNow() noexcept;

}  // namespace kalmix::tool
