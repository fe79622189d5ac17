// The host contract of Kalmix.PRM: the one exported entry point and the host
// records it reads. Hosts include this header.
//
// Calls. xFilter(selector, request): selector 1 (setup) shows the About box and
// the parameter dialog and creates or updates the parameter record; selector 0
// (execute) filters one frame from source to destination. Any other selector
// returns -1. Calls come one at a time on the host's thread.
//
// Frames. 32-bit pixels, bytes blue, green, red, alpha; rows packed with no
// padding, so pixel (r, c) starts at byte (r * width + c) * 4. Width and height
// come from the source frame's bounds; the destination is taken to be the same
// size. Frames of at most 384 x 288 with both sides a multiple of 4 are
// filtered; any other frame is copied through. The host owns the records,
// the frames and the parameter record's memory; the module only reads the
// frames and reads or writes the parameter record.
//
// Layout. On a 32-bit build the byte offsets are fixed (asserted below):
// HostFrameRequest 0 paramsHandle, 4 sourceFrame, 8 destinationFrame,
// 12 framePosition, 16 clipTotal; HostFrame 0..12 bounds, 28 pixels. On 64-bit
// builds the same fields stand in the same order with native pointer sizes.
//
// Calling convention: xFilter and the two host support functions are __cdecl
// on 32-bit Windows, so the entry point is exported as the plain name "xFilter".
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define KALMIX_CDECL __cdecl
#else
#define KALMIX_CDECL
#endif

#if defined(KALMIX_BUILDING_MODULE)
#if defined(_WIN32)
#define KALMIX_EXPORT __declspec(dllexport)
#else
#define KALMIX_EXPORT __attribute__((visibility("default")))
#endif
#else
#define KALMIX_EXPORT
#endif

extern "C" {

// A relocatable memory handle: a pointer to a pointer to a block the host owns.
typedef char** HostHandle;

struct HostRect {
    std::int32_t left;
    std::int32_t top;
    std::int32_t right;
    std::int32_t bottom;
};

struct HostFrame {
    HostRect bounds;
    std::int32_t hostReserved[3];  // fields of the host's that the module never reads
    unsigned char* pixels;         // first pixel, blue-green-red-alpha
};

struct HostFrameRequest {
    HostHandle paramsHandle;       // the 20-byte parameter record; null before the first setup
    HostFrame** sourceFrame;
    HostFrame** destinationFrame;
    std::int32_t framePosition;    // position of this frame within the clip
    std::int32_t clipTotal;        // the clip's frame total; tells clips apart
};

enum : std::int16_t { SELECTOR_EXECUTE = 0, SELECTOR_SETUP = 1 };

KALMIX_EXPORT std::int16_t KALMIX_CDECL xFilter(std::int16_t selector, HostFrameRequest** request);

typedef std::int16_t(KALMIX_CDECL* XFilterFunction)(std::int16_t, HostFrameRequest**);

}  // extern "C"

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(HostFrameRequest, paramsHandle) == 0);
static_assert(offsetof(HostFrameRequest, sourceFrame) == 4);
static_assert(offsetof(HostFrameRequest, destinationFrame) == 8);
static_assert(offsetof(HostFrameRequest, framePosition) == 12);
static_assert(offsetof(HostFrameRequest, clipTotal) == 16);
static_assert(offsetof(HostFrame, bounds) == 0);
static_assert(offsetof(HostRect, right) == 8 && offsetof(HostRect, bottom) == 12);
static_assert(offsetof(HostFrame, pixels) == 28);
#endif
