// The setup call: About box, the use's parameter record, the parameter dialog.
#include "host/setup.h"

#include <cstring>

#include "params/filter_params.h"
#include "params/parameter_dialog.h"
#include "pipeline/frame_driver.h"
#include "platform/preminfo.h"

namespace kalmix {

namespace {

// The host's block is copied rather than cast: it need not be aligned for
// FilterParams.
FilterParams loadRecord(HostHandle handle) {
    FilterParams record;
    std::memcpy(&record, *handle, sizeof(record));
    return record;
}

void storeWorkingValues(HostHandle handle) {
    FilterParams record;
    readFilterParams(record);
    std::memcpy(*handle, &record, sizeof(record));
}

}  // namespace

HWND ownerWindow() {
    HWND main = preminfoMainWindow();
    return main != nullptr ? GetLastActivePopup(main) : nullptr;
}

std::int16_t setupFilter(HostFrameRequest& request) {
    if (!showAboutBox()) return -1;
    // A handle whose block the host has let go counts as no handle.
    if (request.paramsHandle != nullptr && *request.paramsHandle != nullptr) {
        applyFilterParams(loadRecord(request.paramsHandle));
    } else {
        HostHandle handle = preminfoNewHandle(static_cast<std::int32_t>(sizeof(FilterParams)));
        if (handle == nullptr) return -1;
        request.paramsHandle = handle;
        // A new use starts from the working values: the defaults in a fresh module.
        storeWorkingValues(handle);
    }
    runParameterDialog();
    // Also after Cancel: the working values then still equal the record's.
    storeWorkingValues(request.paramsHandle);
    // The next frame starts afresh under the new parameters.
    sequenceActive = 0;
    return 0;
}

}  // namespace kalmix
