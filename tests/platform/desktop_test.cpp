#include "platform/desktop.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

#if !defined(_WIN32)
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#endif

namespace platform {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
TEST(DocumentsFolder, IsTheUsersFolderThatIsThere) {
    const fs::path documents = documents_folder();
    EXPECT_TRUE(documents.is_absolute()) << documents;
    EXPECT_TRUE(fs::is_directory(documents)) << documents;
}
#else
// Linux keeps the current folder for every start: there is no Documents folder to move to.
// "Open load folder" hands the folder to xdg-open, whatever its name, and leaves no child.
TEST(OpenFolder, HandsTheFolderToXdgOpenAndLeavesNoChild) {
    EXPECT_TRUE(documents_folder().empty());
    const test::TempDir dir;
    const fs::path folder = dir / "load folder \"x\" $HOME";
    fs::create_directories(folder);
    const fs::path opened = dir / "opened";
    const fs::path xdg_open =
        dir.write("bin/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + opened.string() + "'\n");
    fs::permissions(xdg_open, fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    struct Restore {
        std::string path;
        ~Restore() { ::setenv("PATH", path.c_str(), 1); }
    } restore{path ? path : ""};

    ::setenv("PATH", xdg_open.parent_path().c_str(), 1);  // no xdg-open but this one
    EXPECT_TRUE(open_folder(folder));
    int status = 0;
    EXPECT_EQ(-1, ::waitpid(-1, &status, WNOHANG)) << "a child is left to wait for";
    EXPECT_EQ(ECHILD, errno);
    EXPECT_TRUE(test::wait_until([&] { return test::read_file(opened) == folder.string(); },
                                 std::chrono::seconds(5)))
        << "xdg-open was given '" << test::read_file(opened) << "'";

    ::setenv("PATH", (dir / "nothing").c_str(), 1);
    EXPECT_FALSE(open_folder(folder)) << "without xdg-open nothing can show the folder";
}
#endif

}  // namespace
}  // namespace platform
