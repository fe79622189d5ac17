// Memory for the frames a loop reads into and filters into, allocated once.
//
// Each new page of memory costs a fault on first touch, and in the virtual
// machines this tool often runs in a fault costs some 13 us: the 216 pages of
// a 384x288 input and output were 3 ms of every run's start. Frames of 256 KB
// or more together are therefore laid out on 2 MB boundaries and offered to
// the kernel for huge pages, one fault per 2 MB where it grants them. Nothing
// is zeroed first: the reader fills a frame before anything reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kalmix::tool {

// Frames a reading or writing thread keeps in hand: as many as fit in 4 MB,
// from 2 to MAX_FRAMES_IN_HAND. 1 (no thread) for frames above 16 MB, which
// the loop only passes through and which would double its memory, and for a
// process that may run on one CPU only, where a thread would only add its
// wake-ups.
inline constexpr int MAX_FRAMES_IN_HAND = 8;
int framesInHand(std::size_t frameBytes);

class FrameMemory {
public:
    // count frames of frameBytes each, one after the other.
    FrameMemory(std::size_t frameBytes, int count);

    std::uint8_t* frame(int number) const { return bytes_.get() + static_cast<std::size_t>(number) * frameBytes_; }

private:
    struct Release {
        void operator()(std::uint8_t* bytes) const;
    };
    std::unique_ptr<std::uint8_t, Release> bytes_;
    std::size_t frameBytes_;
};

}  // namespace kalmix::tool
