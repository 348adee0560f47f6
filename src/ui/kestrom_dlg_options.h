// What the owner of the tool's window chooses when it makes one, the same for both front-ends:
// the application object passes the product's defaults, tests turn the services off and hook
// the edits, the report's file name, the folder shown and the question asked before closing.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "core/settings.h"
#include "driver/driver.h"

namespace ui {

// What Escape and the close box ask while a TFTP transfer or an update job runs (Yes closes).
inline constexpr const char* kStopLoadQuestion = "A load is running. Stop it and close kestrom?";

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
    // Shows the load folder for "Open load folder". Unset: the desktop's file manager.
    std::function<void(const std::filesystem::path& folder)> open_folder;
    // Asks kStopLoadQuestion (given as `question`) when the window is to close while a load runs;
    // true: stop it and close. Unset: the front-end's own Yes/No box, No as its default.
    std::function<bool(const std::string& question)> confirm_close;
};

}  // namespace ui
