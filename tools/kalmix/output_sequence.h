// An image sequence (f%04d.png) that appears only when complete: the muxer
// writes the numbered pictures into a private directory beside the final
// ones, and they are renamed into place at the end; dropped unfinished, none
// are left behind.
#pragma once

#include <string>

namespace kalmix::tool {

// True when the name holds a frame-number pattern such as %04d.
bool isSequencePattern(const std::string& path);
// The name of frame n of a pattern.
std::string sequenceName(const std::string& pattern, int n);

class TempSequence {
public:
    explicit TempSequence(std::string finalPattern);
    ~TempSequence();  // removes the temporary files unless committed
    TempSequence(const TempSequence&) = delete;
    TempSequence& operator=(const TempSequence&) = delete;

    const std::string& tempPattern() const { return tempPattern_; }
    // Renames every temporary file into place. Throws ToolError on failure.
    void commit();

private:
    std::string finalPattern_;
    std::string directory_;
    std::string tempPattern_;
    bool committed_ = false;
};

// Every temporary sequence in flight, for a signal handler to remove.
void removeTempSequencesNow() noexcept;

}  // namespace kalmix::tool
