#include "platform/desktop.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>

extern char** environ;

namespace platform {

ConsoleStart connect_console() {
    return ConsoleStart::streams;  // a program here always has the streams it was given
}

void release_console() {}

std::filesystem::path documents_folder() {
    return {};
}

bool open_folder(const std::filesystem::path& folder) {
    // A shell starts xdg-open in the background and ends at once: it is waited for here, and
    // xdg-open (and the file manager it starts) goes to the init process, which reaps it.
    const char* script =
        "command -v xdg-open >/dev/null 2>&1 || exit 127\n"
        "xdg-open \"$1\" </dev/null >/dev/null 2>&1 &";
    const std::string path = folder.string();
    char* const argv[] = {const_cast<char*>("sh"),         const_cast<char*>("-c"),
                          const_cast<char*>(script),       const_cast<char*>("sh"),
                          const_cast<char*>(path.c_str()), nullptr};
    pid_t shell = 0;
    if (::posix_spawn(&shell, "/bin/sh", nullptr, nullptr, argv, environ) != 0) return false;
    int status = 0;
    while (::waitpid(shell, &status, 0) < 0)
        if (errno != EINTR) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace platform
