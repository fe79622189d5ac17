// The setup call and the About box.
#pragma once

#include <cstdint>

#include "host/host_records.h"
#include "platform/win_api.h"

namespace kalmix {

// The module's instance handle, recorded at module start.
extern HINSTANCE moduleInstance;

// Selector 1: About box, parameter record, parameter dialog. 0 or -1.
std::int16_t setupFilter(HostFrameRequest& request);

// True when the user accepted the box. A box that cannot be shown leaves the
// outcome of the previous showing (cancelled until one was accepted).
bool showAboutBox();

// The owner of every dialog and message box: the last active pop-up of the
// host's main window, or null when the host reports no main window.
HWND ownerWindow();

}  // namespace kalmix
