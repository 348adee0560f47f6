// The system headers in the order Windows needs them (windows.h before the headers that build on
// it).
// clang-format off
#include "platform/desktop.h"

#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <string>
// clang-format on

namespace platform {
namespace {

// A standard handle that leads somewhere: set, and of a kind the system knows (a console, a
// pipe, a file, a device). A program of the GUI subsystem started from a console has none; one
// started with handles it may not inherit has stale values.
bool usable_std_handle(DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    ::SetLastError(NO_ERROR);
    return ::GetFileType(handle) != FILE_TYPE_UNKNOWN || ::GetLastError() == NO_ERROR;
}

struct StandardStream {
    DWORD which;
    int fd;
    std::FILE* file;
};

// Opens the console's input or output as the stream's descriptor and standard handle.
void open_on_console(const StandardStream& s) {
    const bool input = s.which == STD_INPUT_HANDLE;
    const HANDLE console =
        ::CreateFileW(input ? L"CONIN$" : L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) return;
    // From here the descriptor owns the handle.
    const int opened = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(console),
                                         (input ? _O_RDONLY : 0) | _O_TEXT);
    if (opened < 0) {
        ::CloseHandle(console);
        return;
    }
    const bool moved = opened == s.fd || ::_dup2(opened, s.fd) == 0;
    if (opened != s.fd) ::_close(opened);
    if (!moved) return;
#ifndef _UCRT
    // The C library marks a stream it found no handle for with descriptor -2, and Wine's
    // freopen refuses such a stream: it is pointed at the descriptor directly.
    if (::_fileno(s.file) < 0) s.file->_file = s.fd;
#endif
    ::SetStdHandle(s.which, reinterpret_cast<HANDLE>(::_get_osfhandle(s.fd)));
}

ConsoleStart connect_streams() {
    const StandardStream streams[] = {
        {STD_INPUT_HANDLE, 0, stdin},
        {STD_OUTPUT_HANDLE, 1, stdout},
        {STD_ERROR_HANDLE, 2, stderr},
    };
    bool usable[3]{}, any = false, all = true;
    for (int i = 0; i < 3; ++i) {
        usable[i] = usable_std_handle(streams[i].which);
        any = any || usable[i];
        all = all && usable[i];
    }
    // Pipes and files (a script, a test, a redirection) stay exactly as they came.
    if (all) return ConsoleStart::streams;
    // Already attached (Wine hands a GUI program its parent's console) counts as attached.
    if (!::AttachConsole(ATTACH_PARENT_PROCESS) && ::GetLastError() != ERROR_ACCESS_DENIED)
        return any ? ConsoleStart::streams : ConsoleStart::none;
    for (int i = 0; i < 3; ++i)
        if (!usable[i]) open_on_console(streams[i]);
    return ConsoleStart::parent_console;
}

ConsoleStart& console_start() {
    static ConsoleStart start = connect_streams();
    return start;
}

}  // namespace

ConsoleStart connect_console() {
    return console_start();
}

void release_console() {
    if (console_start() != ConsoleStart::parent_console) return;
    std::fflush(stdout);
    std::fflush(stderr);
    (void)::FreeConsole();  // the streams opened on it fail from now on, and say nothing
}

std::filesystem::path documents_folder() {
    PWSTR path = nullptr;
    std::filesystem::path folder;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Documents, KF_FLAG_DEFAULT, nullptr, &path)))
        folder = path;
    ::CoTaskMemFree(path);  // also after a failure, as the call wants
    return folder;
}

bool open_folder(const std::filesystem::path& folder) {
    // Explorer by its full name, so no explorer.exe in the current folder is started instead;
    // the handles of the new process are closed at once, as nothing waits for it.
    wchar_t windows[MAX_PATH];
    const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    const std::wstring explorer = std::wstring(windows, length) + L"\\explorer.exe";
    std::wstring quoted = folder.wstring();
    // A backslash before the closing quote would escape it ("C:\" is the root).
    if (!quoted.empty() && quoted.back() == L'\\') quoted += L'\\';
    std::wstring command = L"explorer.exe \"" + quoted + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(explorer.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process))
        return false;
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
}

}  // namespace platform
