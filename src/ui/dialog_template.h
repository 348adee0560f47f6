// The dialog templates of the window and its about box: every control's id, kind, text, style
// and place in dialog units, in template order (which is also the keyboard tab order). Both
// front-ends build their dialogs from these tables and from nothing else: the Qt dialog on Linux
// and the native dialog on Windows, which turns them into an in-memory dialog template.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ui {

// Control ids of the two templates.
enum ControlId : int {
    kUpdateWebPages = 3,
    kIPStartAddressEdit = 1001,
    kPoolSizeEdit = 1002,
    kBootFileEdit = 1003,
    kNetmaskEdit = 1004,
    kLoginEdit = 1005,
    kTabControl = 1006,
    kLogPane = 1007,
    kPoolSizeLabel = 1008,
    kIPStartAddressLabel = 1009,
    kBootFileLabel = 1010,
    kNetmaskLabel = 1011,
    kLoginLabel = 1012,
    kPasswordEdit = 1013,
    kPasswordLabel = 1014,
    kIPAddressEdit = 1015,
    kIPAddressLabel = 1016,
    kUpdateFirmware = 1017,
    kAbout = 1018,
    kHttpPortEdit = 1019,
    kHttpPortLabel = 1020,
    // The about box.
    kAboutOk = 1,
    kAboutPicture = 1019,
    kAboutVersion = 1100,
    kAboutMaker = 1101,
};

enum class ControlKind : std::uint8_t { tab_control, log_pane, push_button, edit, label, picture };

// Styles beyond what the kind implies.
enum ControlStyle : std::uint8_t {
    kPlain = 0,
    kDefaultButton = 1 << 0,  // the button Enter presses
    kTabStop = 1 << 1,        // reached with the Tab key
    kBorder = 1 << 2,         // a frame around the control
};

struct ControlTemplate {
    int id;
    ControlKind kind;
    std::string_view text;  // as shown; empty for controls whose text the program sets
    std::uint8_t style;
    int x, y, width, height;  // dialog units
};

struct DialogTemplate {
    std::string_view caption;
    int width, height;  // client area, dialog units
    std::span<const ControlTemplate> controls;
};

// Template 102, the window, and template 103, its about box.
extern const DialogTemplate kMainDialog;
extern const DialogTemplate kAboutDialog;

// The controls of the two tab pages, in the order they are attached to them.
extern const std::span<const int> kFirmwareWebPageControls;  // page 0 "Firmware/Web Update"
extern const std::span<const int> kDhcpSetupPageControls;    // page 1 "DHCP Setup"

// The control with an id, or nullptr.
const ControlTemplate* find_control(const DialogTemplate& dialog, int id);

}  // namespace ui
