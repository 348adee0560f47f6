// Where kestrom works and how it names the files there: the load folder that a start from the
// desktop moves to, and the paths of the TFTP lines, written as the system writes paths.
#include "app/load_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "driver/driver.h"
#include "test_support.h"
#include "tftp/tftp_options.h"
#include "tftp/tftp_transfer.h"

namespace {

namespace fs = std::filesystem;
using platform::ConsoleStart;

TEST(LoadFolder, OnlyADesktopStartAwayFromTheFilesMovesThere) {
    struct Case {
        const char* what;
        ConsoleStart console;
        const char* present;  // a file or folder in the start folder, or nothing
        bool moves;
    };
    const Case cases[] = {
        {"from the desktop, in an empty folder", ConsoleStart::none, nullptr, true},
        {"from the desktop, beside zorva.bin", ConsoleStart::none, "zorva.bin", false},
        {"from the desktop, beside kestrom.ini", ConsoleStart::none, "kestrom.ini", false},
        {"from the desktop, beside www", ConsoleStart::none, "www/index.htm", false},
        {"from a console", ConsoleStart::parent_console, nullptr, false},
        {"with streams of its own", ConsoleStart::streams, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const test::TempDir start;
        if (c.present) start.write(c.present, "x");
        EXPECT_EQ(c.moves, app::uses_load_folder(c.console, start.path()));
    }
}

TEST(LoadFolder, IsMadeAtTheFirstStartAndEnteredAtEveryStart) {
    const test::TempDir documents;
    const test::CurrentDir back_afterwards(documents.path());
    const fs::path folder = documents / app::kLoadFolderName;
    for (const char* start : {"first", "second"}) {
        SCOPED_TRACE(start);
        fs::current_path(documents.path());
        std::error_code error;
        EXPECT_TRUE(app::enter_load_folder(documents.path(), &error)) << error.message();
        EXPECT_TRUE(fs::is_directory(folder));
        EXPECT_TRUE(fs::equivalent(fs::current_path(), folder));
    }

    // A file of that name in the way: the start stays where it was, and says why.
    const test::TempDir blocked;
    blocked.write(app::kLoadFolderName, "not a folder");
    fs::current_path(blocked.path());
    std::error_code error;
    EXPECT_FALSE(app::enter_load_folder(blocked.path(), &error));
    EXPECT_TRUE(error);
    EXPECT_TRUE(fs::equivalent(fs::current_path(), blocked.path()));
}

// The TFTP lines name the served file by the path the service opens: the window's and serve's
// home, as the system writes paths.
TEST(UserPaths, TheTftpLinesNameTheServedFileAsTheSystemWritesPaths) {
#ifdef _WIN32
    const std::string expected = ".\\zorva.bin";
#else
    const std::string expected = "./zorva.bin";
#endif
    const std::string home = driver::DriverOptions{}.tftp_directory;
    tftp::TftpServerConfig config;
    config.homeDirectory.fill('\0');
    home.copy(config.homeDirectory.data(), config.homeDirectory.size() - 1);
    tftp::TftpTransfer transfer;
    ASSERT_TRUE(tftp::compose_path(transfer, config));
    EXPECT_EQ(expected, transfer.path_text());
}

}  // namespace
