// Modal dialogs as in-memory models of the module's templates, the Windows
// dialog and control calls on them, message boxes, and the installed user
// who acts on the dialogs.
#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/standin/internal.h"
#include "platform/standin/standin.h"
#include "resources/dialog_templates.h"

namespace standin::detail {

namespace {

namespace res = kalmix::resources;

constexpr std::uint32_t BUTTON_TYPE_MASK = 0x000F;
constexpr std::uint32_t BS_CHECKBOX = 0x0002;
constexpr WPARAM BN_CLICKED = 0;
// Windows' defaults for a new trackbar.
constexpr int TRACKBAR_DEFAULT_MAXIMUM = 100;

WPARAM makeWParam(int low, int high) {
    return static_cast<WPARAM>((static_cast<std::uint32_t>(low) & 0xFFFFu) |
                               ((static_cast<std::uint32_t>(high) & 0xFFFFu) << 16));
}

LPARAM asLParam(HWND window) { return reinterpret_cast<LPARAM>(window); }

// Message arguments carry 32-bit values, as on Windows.
int asInt(std::intptr_t value) { return static_cast<int>(static_cast<std::int32_t>(value)); }

struct Control {
    StandinWindow window;
    res::ControlClass controlClass;
    int id;
    std::uint32_t style;
    bool visible;
    bool enabled;
    std::string text;
    int rangeMinimum = 0;
    int rangeMaximum = TRACKBAR_DEFAULT_MAXIMUM;
    int position = 0;
    int ticFrequency = 1;
    int checkState = BST_UNCHECKED;

    std::uint32_t buttonType() const { return style & BUTTON_TYPE_MASK; }
    bool isTrackbar() const { return controlClass == res::ControlClass::Trackbar; }
    bool isCheckBox() const {
        return controlClass == res::ControlClass::Button &&
               (buttonType() == BS_CHECKBOX || buttonType() == res::BUTTON_AUTOCHECKBOX);
    }
    bool isClickable() const {
        return controlClass == res::ControlClass::Button && buttonType() != res::BUTTON_GROUPBOX;
    }
    void clampPosition() { position = std::clamp(position, rangeMinimum, rangeMaximum); }
};

// What the module can do to a control by message.
LRESULT controlMessage(Control& control, UINT message, WPARAM wParam, LPARAM lParam) {
    if (control.isTrackbar()) {
        switch (message) {
            case TBM_GETPOS:
                return control.position;
            case TBM_SETPOS:  // wParam: redraw, which the model has no use for
                control.position = asInt(lParam);
                control.clampPosition();
                return 0;
            case TBM_SETRANGEMIN:
                control.rangeMinimum = asInt(lParam);
                control.rangeMaximum = std::max(control.rangeMaximum, control.rangeMinimum);
                control.clampPosition();
                return 0;
            case TBM_SETRANGEMAX:
                control.rangeMaximum = asInt(lParam);
                control.rangeMinimum = std::min(control.rangeMinimum, control.rangeMaximum);
                control.clampPosition();
                return 0;
            case TBM_SETTICFREQ:
                control.ticFrequency = asInt(static_cast<std::intptr_t>(wParam));
                return 0;
            default:
                return 0;
        }
    }
    if (control.isCheckBox()) {
        switch (message) {
            case BM_GETCHECK:
                return control.checkState;
            case BM_SETCHECK:
                control.checkState = wParam == BST_UNCHECKED ? BST_UNCHECKED : BST_CHECKED;
                return 0;
            default:
                return 0;
        }
    }
    return 0;
}

}  // namespace

class DialogModel final : public Dialog {
public:
    DialogModel(const res::DialogTemplate& source, DLGPROC procedure)
        : source_(source), procedure_(procedure), window_{this, -1} {
        controls_.reserve(source.controls.size());  // never grows: HWNDs point into it
        for (const res::DialogControl& c : source.controls) {
            const int index = static_cast<int>(controls_.size());
            controls_.push_back(Control{StandinWindow{this, index}, c.controlClass, c.id, c.style,
                                        (c.style & res::WINDOW_VISIBLE) != 0,
                                        (c.style & res::WINDOW_DISABLED) == 0,
                                        c.controlClass == res::ControlClass::Edit ? "" : c.text});
        }
    }
    DialogModel(const DialogModel&) = delete;
    DialogModel& operator=(const DialogModel&) = delete;

    HWND handle() { return &window_; }
    bool owns(HWND window) const {
        if (window == &window_) return true;
        return std::any_of(controls_.begin(), controls_.end(),
                           [window](const Control& c) { return window == &c.window; });
    }
    Control* controlAt(int index) {
        return index >= 0 && index < static_cast<int>(controls_.size()) ? &controls_[static_cast<std::size_t>(index)]
                                                                         : nullptr;
    }
    Control* find(int id) {
        for (Control& c : controls_) {
            if (c.id == id) return &c;
        }
        return nullptr;
    }
    const Control* find(int id) const { return const_cast<DialogModel*>(this)->find(id); }

    LRESULT dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
        return procedure_ != nullptr ? procedure_(handle(), message, wParam, lParam) : FALSE;
    }
    void end(INT_PTR result) {
        ended_ = true;
        result_ = result;
    }

    INT_PTR runModal(LPARAM initParam, const DialogUser& user) {
        Control* focusCandidate = firstTabStop();
        const LRESULT focusDefault =
            dispatch(WM_INITDIALOG,
                     reinterpret_cast<WPARAM>(focusCandidate != nullptr ? &focusCandidate->window : nullptr),
                     initParam);
        if (focusDefault != FALSE && focusCandidate != nullptr) focused_ = focusCandidate->window.control;
        if (!ended_) {
            if (user) {
                user(*this);
            } else {
                pressDefaultButton();
            }
        }
        // The user walked away: the close box, and if even that is ignored,
        // the dialog ends as one that failed rather than hanging the host.
        if (!ended_) close();
        if (!ended_) end(-1);
        return result_;
    }

    int templateId() const override { return source_.id; }
    std::string caption() const override { return source_.caption; }
    bool hasControl(int id) const override { return find(id) != nullptr; }
    std::string text(int id) const override {
        const Control* c = find(id);
        return c != nullptr ? c->text : std::string();
    }
    bool isVisible(int id) const override {
        const Control* c = find(id);
        return c != nullptr && c->visible;
    }
    bool isEnabled(int id) const override {
        const Control* c = find(id);
        return c != nullptr && c->enabled;
    }
    int sliderPosition(int id) const override { return trackbarValue(id, &Control::position); }
    int sliderMinimum(int id) const override { return trackbarValue(id, &Control::rangeMinimum); }
    int sliderMaximum(int id) const override { return trackbarValue(id, &Control::rangeMaximum); }
    bool isChecked(int id) const override {
        const Control* c = find(id);
        return c != nullptr && c->isCheckBox() && c->checkState != BST_UNCHECKED;
    }
    int focusedControl() const override {
        const Control* c = const_cast<DialogModel*>(this)->controlAt(focused_);
        return c != nullptr ? c->id : 0;
    }

    bool dragSlider(int id, int position) override {
        Control* c = userControl(id);
        if (c == nullptr || !c->isTrackbar()) return false;
        focused_ = c->window.control;
        c->position = position;
        c->clampPosition();
        // A vertical trackbar reports the release of its thumb to its parent.
        dispatch(WM_VSCROLL, makeWParam(TB_THUMBPOSITION, c->position), asLParam(&c->window));
        if (!ended_) dispatch(WM_VSCROLL, makeWParam(TB_ENDTRACK, 0), asLParam(&c->window));
        return true;
    }
    bool click(int id) override {
        Control* c = userControl(id);
        if (c == nullptr || !c->isClickable()) return false;
        focused_ = c->window.control;
        if (c->buttonType() == res::BUTTON_AUTOCHECKBOX) {
            c->checkState = c->checkState == BST_UNCHECKED ? BST_CHECKED : BST_UNCHECKED;
        }
        dispatch(WM_COMMAND, makeWParam(c->id, BN_CLICKED), asLParam(&c->window));
        return true;
    }
    bool close() override {
        if (ended_) return false;
        // As Windows turns the close box into the Cancel command.
        Control* cancel = find(IDCANCEL);
        dispatch(WM_COMMAND, makeWParam(IDCANCEL, BN_CLICKED),
                 cancel != nullptr ? asLParam(&cancel->window) : 0);
        return true;
    }
    bool hasEnded() const override { return ended_; }
    INT_PTR endResult() const override { return ended_ ? result_ : 0; }

private:
    // A control the user can act on now.
    Control* userControl(int id) {
        if (ended_) return nullptr;
        Control* c = find(id);
        return c != nullptr && c->visible && c->enabled ? c : nullptr;
    }
    Control* firstTabStop() {
        for (Control& c : controls_) {
            if (c.visible && c.enabled && (c.style & res::WINDOW_TABSTOP) != 0) return &c;
        }
        return nullptr;
    }
    void pressDefaultButton() {
        for (const Control& c : controls_) {
            if (c.controlClass == res::ControlClass::Button && c.buttonType() == res::BUTTON_DEFPUSH) {
                click(c.id);
                return;
            }
        }
    }
    int trackbarValue(int id, int Control::*field) const {
        const Control* c = find(id);
        return c != nullptr && c->isTrackbar() ? c->*field : 0;
    }

    const res::DialogTemplate& source_;
    DLGPROC procedure_;
    StandinWindow window_;
    std::vector<Control> controls_;
    int focused_ = -1;
    bool ended_ = false;
    INT_PTR result_ = 0;
};

namespace {

struct DialogState {
    DialogUser user;
    MessageSink messageSink;
    bool failNextDialog = false;
    std::vector<DialogModel*> open;  // innermost last
};

// Never destroyed: a module unloaded at process exit may still show a message.
DialogState& state() {
    static DialogState* const instance = new DialogState;
    return *instance;
}

DialogModel* dialogOwning(HWND window) {
    if (window == nullptr) return nullptr;
    for (DialogModel* dialog : state().open) {
        if (dialog->owns(window)) return dialog;
    }
    return nullptr;
}

DialogModel* dialogAt(HWND window) {
    DialogModel* dialog = dialogOwning(window);
    return dialog != nullptr && window->control < 0 ? dialog : nullptr;
}

Control* controlAt(HWND window) {
    DialogModel* dialog = dialogOwning(window);
    return dialog != nullptr ? dialog->controlAt(window->control) : nullptr;
}

bool isWindow(HWND window) { return window == hostWindow() || dialogOwning(window) != nullptr; }

// The template as the resource loader would find it in the module: an
// integer resource of a loaded image.
const res::DialogTemplate* loadTemplate(HINSTANCE instance, LPCSTR name) {
    if (instance == nullptr) return nullptr;
    Dl_info image{};
    if (dladdr(reinterpret_cast<const void*>(instance), &image) == 0 ||
        image.dli_fbase != reinterpret_cast<void*>(instance)) {
        return nullptr;
    }
    const auto id = reinterpret_cast<std::uintptr_t>(name);
    if (id > 0xFFFF) return nullptr;  // named templates: the module has none
    return res::findDialog(static_cast<int>(id));
}

void printMessage(const std::string& caption, const std::string& text) {
    std::string line = caption + ": " + text;
    std::erase(line, '\r');
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

void resetDialogs() {
    DialogState& s = state();
    s.user = nullptr;
    s.messageSink = nullptr;
    s.failNextDialog = false;
}

}  // namespace standin::detail

namespace standin {

void setDialogUser(DialogUser user) { detail::state().user = std::move(user); }
void failNextDialog() { detail::state().failNextDialog = true; }
void setMessageSink(MessageSink sink) { detail::state().messageSink = std::move(sink); }

}  // namespace standin

extern "C" {

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC procedure,
                        LPARAM initParam) {
    using namespace standin::detail;
    DialogState& s = state();
    if (owner != nullptr && !isWindow(owner)) return 0;  // as Windows: bad owner gives 0
    if (std::exchange(s.failNextDialog, false)) return -1;
    const kalmix::resources::DialogTemplate* source = loadTemplate(instance, templateName);
    if (source == nullptr) return -1;
    DialogModel dialog(*source, procedure);
    s.open.push_back(&dialog);
    // A copy: the user may install another while acting.
    const standin::DialogUser user = s.user;
    const INT_PTR result = dialog.runModal(initParam, user);
    s.open.erase(std::find(s.open.begin(), s.open.end(), &dialog));
    return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    standin::detail::DialogModel* model = standin::detail::dialogAt(dialog);
    if (model == nullptr) return FALSE;
    model->end(result);
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
    standin::detail::DialogModel* model = standin::detail::dialogAt(dialog);
    if (model == nullptr) return nullptr;
    standin::detail::Control* control = model->find(id);
    return control != nullptr ? &control->window : nullptr;
}

int GetDlgCtrlID(HWND control) {
    const standin::detail::Control* c = standin::detail::controlAt(control);
    return c != nullptr ? c->id : 0;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    using namespace standin::detail;
    if (DialogModel* dialog = dialogAt(window)) return dialog->dispatch(message, wParam, lParam);
    if (Control* control = controlAt(window)) return controlMessage(*control, message, wParam, lParam);
    return 0;
}

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND control = GetDlgItem(dialog, id);
    return control != nullptr ? SendMessageA(control, message, wParam, lParam) : 0;
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
    HWND window = GetDlgItem(dialog, id);
    standin::detail::Control* control = standin::detail::controlAt(window);
    if (control == nullptr) return FALSE;
    control->text = text != nullptr ? text : "";
    return TRUE;
}

// The model has no pop-ups of its own over a window.
HWND GetLastActivePopup(HWND window) { return window; }

int MessageBoxA(HWND /*owner*/, LPCSTR text, LPCSTR caption, UINT /*type*/) {
    const std::string captionText = caption != nullptr ? caption : "Error";  // Windows' default
    const std::string bodyText = text != nullptr ? text : "";
    const standin::MessageSink sink = standin::detail::state().messageSink;
    if (sink) {
        sink(captionText, bodyText);
    } else {
        standin::detail::printMessage(captionText, bodyText);
    }
    return IDOK;
}

}  // extern "C"
