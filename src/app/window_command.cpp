// `kestrom` with no sub-command: the window. Without a display there is no window to open; the
// user is pointed to the headless command instead of being left with a toolkit abort. Windows
// always has its desktop: there the native window opens, in the load folder when it was started
// from the desktop (app/load_folder.h).
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/commands.h"
#include "core/version.h"

#ifdef KESTROM_HAVE_UI
#include <QApplication>
#include <QtGlobal>

#include "ui/qt/kestrom_app.h"
#include "ui/qt/resources.h"
#endif
#ifdef KESTROM_HAVE_WIN32_UI
#include "app/load_folder.h"
#include "ui/win32/kestrom_app.h"
#endif

namespace app {

#ifdef KESTROM_HAVE_WIN32_UI
int run_window(int, char**) {
    // Started from the desktop, the window works in the load folder; from a console, where it is.
    choose_window_folder();
    platform::release_console();
    {
        ui::CKestromApp app;
        (void)app.InitInstance();  // always false: the application ends with the dialog
    }
    // A job or a transfer may still run: it ends with the process, and no static destructor
    // runs underneath it.
    std::fflush(stdout);
    std::_Exit(0);  // stdout is flushed; nothing else is waited for
}
#else
namespace {

constexpr const char* kNoDisplay =
    "kestrom: no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set);\n"
    "         to run the DHCP and TFTP services without a window, use 'kestrom serve'\n";

#ifdef KESTROM_HAVE_UI
constexpr const char* kDisplayFailed =
    "kestrom: the window could not be opened on this display;\n"
    "         to run the DHCP and TFTP services without a window, use 'kestrom serve'\n";

bool g_starting_gui = false;
QtMessageHandler g_previous_handler = nullptr;

// The toolkit ends the process when it cannot reach the display it was given; say what to do
// instead of leaving the user with its abort.
void start_up_message_handler(QtMsgType type, const QMessageLogContext& context,
                              const QString& message) {
    if (type == QtFatalMsg && g_starting_gui) {
        std::fprintf(stderr, "%s\n%s", qPrintable(message), kDisplayFailed);
        std::fflush(stderr);
        std::_Exit(1);
    }
    if (g_previous_handler) g_previous_handler(type, context, message);
}
#endif

bool has_env(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

int run_window(int argc, char** argv) {
    // QT_QPA_PLATFORM names a platform on purpose (offscreen, vnc): trust it.
    if (!has_env("DISPLAY") && !has_env("WAYLAND_DISPLAY") && !has_env("QT_QPA_PLATFORM")) {
        std::fputs(kNoDisplay, stderr);
        return 1;
    }
#ifdef KESTROM_HAVE_UI
    {
        g_previous_handler = qInstallMessageHandler(start_up_message_handler);
        g_starting_gui = true;
        QApplication application(argc, argv);
        g_starting_gui = false;
        QApplication::setApplicationName(QStringLiteral("kestrom"));
        QApplication::setApplicationVersion(QStringLiteral(KESTROM_VERSION));
        QGuiApplication::setDesktopFileName(QStringLiteral("kestrom"));
        QApplication::setWindowIcon(ui::application_icon());
        ui::CKestromApp app;
        (void)app.InitInstance();  // always false: the application ends with the dialog
    }
    // A job or a transfer may still run: it ends with the process, and no static destructor
    // runs underneath it.
    std::fflush(stdout);
    std::_Exit(0);  // stdout is flushed; nothing else is waited for
#else
    (void)argc;
    (void)argv;
    std::fputs("kestrom: this build has no window; use 'kestrom serve'\n", stderr);
    return 1;
#endif
}

#endif  // KESTROM_HAVE_WIN32_UI

}  // namespace app
