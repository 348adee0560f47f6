#include "app/load_folder.h"

#include "tftp/tftp_packet.h"
#include "web/web_update.h"

namespace app {

namespace fs = std::filesystem;

bool uses_load_folder(platform::ConsoleStart console, const fs::path& start_folder) {
    if (console != platform::ConsoleStart::none) return false;
    // Started beside its files (kestrom.exe copied next to them, double-clicked): stay there.
    for (const fs::path& name : {fs::path(tftp::kServedFileName), fs::path(web::kListFileName),
                                 fs::path(web::kWebDirectory)}) {
        std::error_code ec;
        if (fs::exists(start_folder / name, ec)) return false;
    }
    return true;
}

bool enter_load_folder(const fs::path& documents, std::error_code* error) {
    const fs::path folder = documents / kLoadFolderName;
    error->clear();
    (void)fs::create_directory(folder, *error);  // false, and no error, when it is there
    if (*error) return false;
    fs::current_path(folder, *error);
    return !*error;
}

void choose_window_folder() {
    std::error_code ec;
    const fs::path here = fs::current_path(ec);
    if (ec || !uses_load_folder(platform::connect_console(), here)) return;
    const fs::path documents = platform::documents_folder();
    if (documents.empty()) return;
    (void)enter_load_folder(documents, &ec);  // failed: the window shows the folder it is in
}

}  // namespace app
