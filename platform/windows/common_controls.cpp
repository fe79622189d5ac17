// Registers the trackbar class at module load, before any dialog of the
// module is created: Windows only provides it after InitCommonControlsEx.
#include "platform/win_api.h"

namespace {

// A static object of the module: constructed when the DLL is loaded, like the
// module's application object. comctl32 is a static import, so it is
// initialised before this runs.
struct CommonControls {
    CommonControls() {
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
        InitCommonControlsEx(&controls);
    }
};

const CommonControls commonControls;

}  // namespace
