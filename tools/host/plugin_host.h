// A host for Kalmix.PRM: loads the module as the video host would, keeps the
// call record, the frame records and the parameter handle, and makes setup
// and execute calls through the module's one entry point.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/host_records.h"
#include "params/filter_params.h"

namespace kalmix::host {

// What a user sets in the setup call. The About box is accepted; the primary
// and secondary sliders and the check box are set and OK pressed. The
// transition frames and the UV level are not changeable in the dialog, so the
// host writes them into the record it keeps.
struct UserSettings {
    int primaryLevel = 5;
    int secondaryLevel = 5;
    bool enhancedSuppression = true;
    int transitionFrames = 2;
    int uvLevel = 5;
};

// The module file: $KALMIX_MODULE when set, else the one this build made.
std::string defaultModulePath();

class PluginModule {
public:
    // dlopen; null with a message in error when the file or its entry point
    // cannot be loaded.
    static std::unique_ptr<PluginModule> load(const std::string& path, std::string& error);
    ~PluginModule();  // unloads: the module saves its state
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    // Selector 1 with whatever dialog user the stand-in has.
    std::int16_t setup();
    // Selector 1 acting as the user described, then the host-kept fields.
    std::int16_t setup(const UserSettings& settings);

    // Selector 0 on one frame of width x height BGRA pixels, rows packed.
    std::int16_t execute(const std::uint8_t* source, std::uint8_t* destination, std::int32_t width,
                         std::int32_t height, std::int32_t framePosition, std::int32_t clipTotal);
    // Selector 0 with explicit bounds, for frames whose bounds do not start at 0.
    std::int16_t execute(const HostRect& bounds, const std::uint8_t* source,
                         std::uint8_t* destination, std::int32_t framePosition,
                         std::int32_t clipTotal);

    std::int16_t call(std::int16_t selector);  // any selector, the record as it stands

    HostFrameRequest& request() { return request_; }
    // The record behind paramsHandle, or null before the first setup.
    FilterParams* params();
    // Replace the parameter handle with one of the host's own holding `values`.
    void setParams(const FilterParams& values);
    void clearParams();

    void unload();  // dlclose now; later calls fail
    bool loaded() const { return library_ != nullptr; }

private:
    PluginModule(void* library, XFilterFunction entry);
    void* library_;
    XFilterFunction entry_;
    HostFrame source_{};
    HostFrame destination_{};
    HostFrame* sourcePtr_ = &source_;
    HostFrame* destinationPtr_ = &destination_;
    HostFrameRequest request_{};
    HostFrameRequest* requestPtr_ = &request_;
    // A handle the host made itself (setParams); the module's own come from the stand-in.
    std::unique_ptr<char[]> ownBlock_;
    char* ownBlockPtr_ = nullptr;
};

}  // namespace kalmix::host
