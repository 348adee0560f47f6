#include "ui/dialog_template.h"

#include "core/version.h"

namespace ui {
namespace {

constexpr auto kEdit = ControlKind::edit;
constexpr auto kLabel = ControlKind::label;
constexpr auto kButton = ControlKind::push_button;
constexpr std::uint8_t kStop = kTabStop;

// clang-format off
constexpr ControlTemplate kMainControls[] = {
    {kTabControl,          ControlKind::tab_control, "",                 kStop,                    7,  7, 269,  79},
    {kLogPane,             ControlKind::log_pane,    "",                 kStop | kBorder,          7, 89, 269, 116},
    {kUpdateFirmware,      kButton,                  "Update Firmware",  kStop | kDefaultButton, 193, 13,  73,  14},
    {kAbout,               kButton,                  "About..",          kStop,                  193, 53,  73,  13},
    {kIPStartAddressEdit,  kEdit,                    "",                 kStop | kBorder,         72, 15,  92,  12},
    {kIPStartAddressLabel, kLabel,                   "IP Starting Pool", kPlain,                  17, 18,  50,   8},
    {kPoolSizeEdit,        kEdit,                    "",                 kStop | kBorder,         72, 28,  92,  12},
    {kPoolSizeLabel,       kLabel,                   "Size of Pool",     kPlain,                  17, 31,  38,   8},
    {kBootFileEdit,        kEdit,                    "",                 kStop | kBorder,         72, 41,  92,  12},
    {kBootFileLabel,       kLabel,                   "Boot File",        kPlain,                  17, 44,  28,   8},
    {kNetmaskEdit,         kEdit,                    "",                 kStop | kBorder,         72, 55,  92,  12},
    {kNetmaskLabel,        kLabel,                   "Mask",             kPlain,                  17, 57,  18,   8},
    {kLoginEdit,           kEdit,                    "",                 kStop | kBorder,         72, 15,  92,  12},
    {kLoginLabel,          kLabel,                   "Login",            kPlain,                  17, 18,  18,   8},
    {kPasswordEdit,        kEdit,                    "",                 kStop | kBorder,         72, 28,  92,  12},
    {kPasswordLabel,       kLabel,                   "Password",         kPlain,                  17, 31,  32,   8},
    {kIPAddressEdit,       kEdit,                    "",                 kStop | kBorder,         72, 41,  92,  12},
    {kIPAddressLabel,      kLabel,                   "IP Address",       kPlain,                  17, 45,  35,   8},
    {kUpdateWebPages,      kButton,                  "Update Web Pages", kStop,                  193, 33,  73,  14},
    {kHttpPortEdit,        kEdit,                    "",                 kStop | kBorder,         72, 55,  92,  12},
    {kHttpPortLabel,       kLabel,                   "HTTP port",        kPlain,                  17, 57,  34,   8},
};

constexpr ControlTemplate kAboutControls[] = {
    {kAboutPicture,        ControlKind::picture,     "",                    kBorder,                 7,  4,  26,  25},
    {kAboutVersion,        kLabel,                   "kestrom Version " KESTROM_VERSION, kPlain,                 44,  7,  75,   8},
    {kAboutMaker,          kLabel,                   "Zorva update tool",   kPlain,                 43, 15,  81,   8},
    {kAboutOk,             kButton,                  "OK",                  kStop | kDefaultButton,129,  9,  50,  14},
};
// clang-format on

constexpr int kFirmwareWeb[] = {
    kIPAddressLabel, kLoginLabel,   kPasswordLabel, kIPAddressEdit,
    kLoginEdit,      kPasswordEdit, kHttpPortEdit,  kHttpPortLabel,
};
constexpr int kDhcpSetup[] = {
    kPoolSizeLabel, kBootFileLabel, kIPStartAddressLabel, kNetmaskLabel,
    kNetmaskEdit,   kPoolSizeEdit,  kBootFileEdit,        kIPStartAddressEdit,
};

}  // namespace

const DialogTemplate kMainDialog{"kestrom", 283, 215, kMainControls};
const DialogTemplate kAboutDialog{"About...", 186, 36, kAboutControls};
const std::span<const int> kFirmwareWebPageControls{kFirmwareWeb};
const std::span<const int> kDhcpSetupPageControls{kDhcpSetup};

const ControlTemplate* find_control(const DialogTemplate& dialog, int id) {
    for (const ControlTemplate& c : dialog.controls)
        if (c.id == id) return &c;
    return nullptr;
}

}  // namespace ui
