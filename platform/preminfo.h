// The host support library, PREMINFO. The module imports two of its
// functions by ordinal; the names here are ours.
#pragma once

#include <cstdint>

#include "host/host_records.h"
#include "platform/win_api.h"

extern "C" {

// Ordinal 235: the host's main window.
HWND KALMIX_CDECL preminfoMainWindow(void);
// Ordinal 378: a relocatable handle of `size` bytes the host owns, or null.
HostHandle KALMIX_CDECL preminfoNewHandle(std::int32_t size);

}
