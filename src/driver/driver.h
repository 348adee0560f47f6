// The tool's driver: start-up order, loading the settings, applying each edit of a setting at
// once (store, record, lease table), starting the two services and the two update triggers.
// It runs the same with or without a window: the front-end is an interface that the dialog and
// the headless command line both implement.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/settings.h"
#include "update/telnet_client.h"

namespace driver {

// What the driver needs from a front-end. Every call comes on the front-end's own thread.
class FrontEnd {
public:
    virtual ~FrontEnd() = default;
    // Takes the texts of all setting fields into the front-end's own copy. A window's log pane is
    // not taken: nothing reads it, and copying a log that grows for the life of the window on
    // every keystroke would only cost time.
    virtual void take_field_texts() = 0;
    // The front-end's copy of one field's text.
    virtual std::string field_text(core::Setting s) const = 0;
    // Sets the front-end's copy of one field's text (the load fills it before showing it).
    virtual void set_field_text(core::Setting s, std::string_view text) = 0;
    // Shows the copy in the edit fields; showing is not an edit.
    virtual void show_field_texts() = 0;
    // Empties the log pane (or whatever shows the log).
    virtual void clear_log() = 0;
};

// The front-end's copy of the field texts. As it is, it is the headless command line's whole
// front-end; the windows derive from it and override only what touches their controls (taking
// and showing the texts, clearing the log pane).
class TextFrontEnd : public FrontEnd {
public:
    void take_field_texts() override {}
    std::string field_text(core::Setting s) const override;
    void set_field_text(core::Setting s, std::string_view text) override;
    void show_field_texts() override {}
    void clear_log() override {}

private:
    std::array<std::string, core::kSettings.size()> texts_;
};

// The first lines of the two updates, wherever they are started from (the window's buttons, the
// console of `kestrom serve`, or `kestrom web` and `kestrom firmware`).
inline constexpr const char* kWebPagesStartLine = "ZorvaController Web Page Update Starting\n";
inline constexpr const char* kFirmwareStartLine = "ZorvaController Update Firmware starting...\n";

struct DriverOptions {
    std::uint16_t tftp_port = 69;
    std::uint16_t dhcp_server_port = 67;
    std::uint16_t dhcp_client_port = 68;
    // The TFTP home, written as the system writes paths: its log lines name ".\zorva.bin" on
    // Windows and "./zorva.bin" elsewhere.
#ifdef _WIN32
    std::string tftp_directory = ".\\";
#else
    std::string tftp_directory = "./";
#endif
    // How long "Update Firmware"'s job waits for the controller to answer its connect.
    std::chrono::milliseconds firmware_connect_timeout = update::kConnectTimeout;
};

class Driver {
public:
    explicit Driver(FrontEnd& front_end, DriverOptions options = {});
    ~Driver();  // stops the services
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Reads the eight settings into the front-end's texts and the record, then shows them.
    void load_settings();
    // One edit of one setting's field: store first, then the record, then (for five
    // settings) the lease table rebuild.
    void apply_setting_edit(core::Setting s, std::string_view text);
    // TFTP first, then DHCP; each at most once.
    void start_services();
    // "Update Web Pages" and "Update Firmware".
    void start_web_pages_update();
    void start_firmware_update();
    // Ends both services (a clean exit and tests; the product never needs it otherwise).
    void stop_services();
    // Waits up to `timeout` until both services answer, the DHCP service on the pool's network:
    // true then. False names, in *which, the first that doesn't ("TFTP", "DHCP"); its own log
    // line says why. For a load, which must not
    // tell a controller to update when nothing would serve its boot.
    bool wait_serving(std::chrono::milliseconds timeout, std::string* which) const;

private:
    struct Services;
    FrontEnd& front_end_;
    DriverOptions options_;
    std::unique_ptr<Services> services_;
};

// True while a TFTP transfer or an update job (firmware, web pages) runs: what closing the window
// would stop in the middle.
bool load_running();

// Waits until no web job started by a driver runs; false when one still runs after `timeout`.
// The product never waits for its jobs; tests do, so that no job outlives its test.
bool wait_for_web_jobs(std::chrono::milliseconds timeout);

}  // namespace driver
