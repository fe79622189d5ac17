// Fuzzes sequences of calls through the module's one entry point, as a host
// makes them: setup calls with a user who moves any slider anywhere, ticks
// the box and presses OK or Cancel; execute calls at sizes that change
// between calls (supported ones and others); and unload and load, which
// saves the state file and starts the next load from it. Checks what hosts
// rely on: the return values, alpha taken from the source, a passed-through
// frame copied exactly, and a parameter record that stays in range.
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "host/host_records.h"
#include "host/state_file.h"
#include "params/filter_params.h"
#include "pipeline/frame_driver.h"
#include "platform/standin/standin.h"
#include "resources/resource_ids.h"

extern "C" std::int16_t xFilter(std::int16_t selector, HostFrameRequest** request);

namespace {

using kalmix::fuzz::check;
using kalmix::fuzz::Input;

constexpr int SLIDERS[] = {IDC_PRIMARY_SLIDER, IDC_UV_SLIDER, IDC_SECONDARY_SLIDER, IDC_TRANSITION_SLIDER};

// What a newly loaded module starts with, after the old one saved its state.
void unloadAndLoad() {
    kalmix::saveState();
    kalmix::sequenceActive = 0;
    kalmix::processedFrameCount = 0;
    kalmix::stateHeader = {};
    kalmix::workingParams = kalmix::DEFAULT_FILTER_PARAMS;
}

bool inRange(const kalmix::FilterParams& p) {
    return p.primaryLevel >= 0 && p.primaryLevel <= 10 && p.uvLevel >= 0 && p.uvLevel <= 10 &&
           p.secondaryLevel >= 0 && p.secondaryLevel <= 10 && p.transitionFrames >= 0 &&
           p.transitionFrames <= 7 && (p.enhancedSuppression == 0 || p.enhancedSuppression == 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kalmix::fuzz::privateWindowsDirectory();
    standin::setMessageSink([](const std::string&, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    standin::reset();
    standin::setMessageSink([](const std::string&, const std::string&) {});
    unloadAndLoad();
    char* record = nullptr;       // the host's parameter handle, once setup made one
    std::int32_t position = 0;
    const std::int32_t clipTotal = in.small();
    for (int call = 0; call < 12 && !in.empty(); ++call) {
        const std::uint8_t kind = in.byte();
        switch (kind % 4) {
            case 0: {  // setup
                std::vector<std::uint8_t> moves;
                for (int i = 0; i < 6; ++i) moves.push_back(in.byte());
                standin::setDialogUser([&moves](standin::Dialog& dialog) {
                    if (dialog.templateId() == IDD_ABOUT) {
                        (moves[0] & 1) != 0 ? dialog.click(IDOK) : dialog.close();
                        return;
                    }
                    for (int i = 0; i < 4; ++i) {
                        if ((moves[1] >> i & 1) != 0) dialog.dragSlider(SLIDERS[i], static_cast<std::int8_t>(moves[2 + i]));
                    }
                    if ((moves[1] & 0x10) != 0) dialog.click(IDC_ENHANCED_CHECK);
                    dialog.click((moves[1] & 0x20) != 0 ? IDCANCEL : IDOK);
                });
                if ((kind & 0x10) != 0) standin::failNextDialog();
                HostFrameRequest request{record == nullptr ? nullptr : &record, nullptr, nullptr, 0, 0};
                HostFrameRequest* pointer = &request;
                const std::int16_t result = xFilter(SELECTOR_SETUP, &pointer);
                check(result == 0 || result == -1);
                if (result == 0) {
                    check(request.paramsHandle != nullptr);
                    record = *request.paramsHandle;
                    kalmix::FilterParams values;
                    std::memcpy(&values, record, sizeof(values));
                    check(inRange(values));
                }
                standin::setDialogUser(nullptr);
                break;
            }
            case 1:  // unload and load; the host keeps its record
                unloadAndLoad();
                break;
            default: {  // execute at a size of its own
                const bool supported = (kind & 4) == 0;
                const std::int32_t width = supported ? 4 * (1 + in.byte() % 96) : 1 + in.byte() * 2;
                const std::int32_t height = supported ? 4 * (1 + in.byte() % 72) : 1 + in.byte();
                const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
                std::vector<std::uint8_t> source(bytes), destination(bytes, 0);
                std::uint32_t state = in.byte() * 2654435761u + 1u;
                for (std::uint8_t& value : source) {
                    state = state * 1664525u + 1013904223u;
                    value = static_cast<std::uint8_t>(state >> 24);
                }
                position += in.small();
                HostFrame sourceFrame{{0, 0, width, height}, {}, source.data()};
                HostFrame destinationFrame{{0, 0, width, height}, {}, destination.data()};
                HostFrame* sourcePtr = &sourceFrame;
                HostFrame* destinationPtr = &destinationFrame;
                HostFrameRequest request{record == nullptr ? nullptr : &record, &sourcePtr, &destinationPtr, position,
                                         clipTotal};
                HostFrameRequest* pointer = &request;
                check(xFilter(SELECTOR_EXECUTE, &pointer) == 0);
                if (width > 384 || height > 288 || width % 4 != 0 || height % 4 != 0) {
                    check(source == destination);
                } else {
                    for (std::size_t i = 3; i < bytes; i += 4) check(destination[i] == source[i]);
                }
                break;
            }
        }
    }
    check(xFilter(7, nullptr) == -1);  // an unknown selector is refused untouched
    return 0;
}
