#include "tools/kalmix/frame_memory.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#include <sys/mman.h>
#endif

namespace kalmix::tool {
namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
// From 64 pages on (about 0.8 ms of faults): below, a huge page would mostly
// hold nothing.
constexpr std::size_t HUGE_PAGE_FROM = std::size_t{256} << 10;
// Whole cache lines for the module's vector loads and stores.
constexpr std::size_t LINE = 64;

bool severalCpus() {
#if defined(__linux__)
    // The CPUs this process may run on (taskset, a container's share), not
    // those the machine has.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) return CPU_COUNT(&allowed) > 1;
#endif
    return std::thread::hardware_concurrency() != 1;
}

}  // namespace

FrameMemory::FrameMemory(std::size_t frameBytes, int count) : frameBytes_(frameBytes) {
    const std::size_t total = frameBytes * static_cast<std::size_t>(count);
    const std::size_t alignment = total >= HUGE_PAGE_FROM ? HUGE_PAGE : LINE;
    // aligned_alloc wants a multiple of the alignment; at least one byte.
    const std::size_t size = (total + alignment - 1) / alignment * alignment + (total == 0 ? alignment : 0);
    auto* bytes = static_cast<std::uint8_t*>(std::aligned_alloc(alignment, size));
    if (bytes == nullptr) throw std::bad_alloc();
    bytes_.reset(bytes);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only a hint: a kernel without huge pages leaves the memory as it is.
    if (alignment == HUGE_PAGE) ::madvise(bytes, size, MADV_HUGEPAGE);
#endif
}

int framesInHand(std::size_t frameBytes) {
    constexpr std::size_t IN_HAND_BYTES = std::size_t{4} << 20;
    constexpr std::size_t LARGEST_FRAME_IN_HAND = std::size_t{16} << 20;
    if (frameBytes > LARGEST_FRAME_IN_HAND || !severalCpus()) return 1;
    const std::size_t fit = IN_HAND_BYTES / std::max<std::size_t>(frameBytes, 1);
    return static_cast<int>(std::clamp<std::size_t>(fit, 2, MAX_FRAMES_IN_HAND));
}

void FrameMemory::Release::operator()(std::uint8_t* bytes) const { std::free(bytes); }

}  // namespace kalmix::tool
