// A module whose setup call fails, as Kalmix.PRM's does when the host cannot
// give it a parameter record. Frames are left as they are.
#include "host/host_records.h"

extern "C" KALMIX_EXPORT std::int16_t KALMIX_CDECL xFilter(std::int16_t selector,
                                                          HostFrameRequest** /*request*/) {
    return selector == SELECTOR_SETUP ? -1 : 0;
}
