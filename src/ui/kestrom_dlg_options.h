// What the owner of the tool's window chooses when it makes one, the same for both front-ends:
// the application object passes the product's defaults, tests turn the services off and hook
// the edits and the report's file name.
#pragma once

#include <functional>
#include <string>

#include "core/settings.h"
#include "driver/driver.h"

namespace ui {

struct KestromDlgOptions {
    driver::DriverOptions driver;
    // The product starts the TFTP and DHCP services at the end of the initialisation; tests
    // that only look at the window leave them off.
    bool start_services = true;
    // Called after each field edit has been applied, with the setting and the field's text
    // (tests count edits with it).
    std::function<void(core::Setting, const std::string&)> on_setting_edit;
    // Asks where "Save load report..." writes; an empty name cancels. Unset: the front-end's
    // own save dialog.
    std::function<std::string()> report_file_name;
};

}  // namespace ui
