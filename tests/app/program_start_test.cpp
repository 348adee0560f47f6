// kestrom.exe and kestrom.com started as Windows starts them: kestrom.exe is a GUI program (the
// Start menu and Explorer open its window with no console window behind it), kestrom.com the same
// program as a console program. Both print through the streams they are given, and a kestrom.exe
// started from a console without streams prints to that console.
// The system headers in the order Windows needs them (windows.h before the headers that build
// on it).
// clang-format off
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/version.h"
// clang-format on

namespace {

class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : h_(h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    HANDLE* out() { return &h_; }
    void reset() {
        if (h_ && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_;
};

// The programs are built beside the test.
std::wstring built(const wchar_t* name) {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path(self, n);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

// The Subsystem field of the program's PE header (2: GUI, 3: console); -1 when unreadable.
int subsystem_of(const std::wstring& program) {
    std::ifstream in(std::filesystem::path(program), std::ios::binary);
    std::vector<char> head(4096);
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    const auto u32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(head[at + i]);
        return v;
    };
    if (in.gcount() < 0x40 || head[0] != 'M' || head[1] != 'Z') return -1;
    const std::size_t pe = u32(0x3C);
    // "PE\0\0", the 20-byte file header, then the optional header with Subsystem at 68.
    if (pe + 24 + 70 > static_cast<std::size_t>(in.gcount()) || u32(pe) != 0x00004550) return -1;
    return static_cast<unsigned char>(head[pe + 24 + 68]) |
           static_cast<unsigned char>(head[pe + 24 + 69]) << 8;
}

struct Outcome {
    DWORD status = 0xFFFFFFFF;
    std::string out, err;
};

// What the pipe holds now. Not read up to its end: a process the program started (Wine's desktop
// process, for a GUI program) may hold a copy of its end open after the program has gone.
std::string read_waiting(HANDLE pipe) {
    std::string text;
    char buffer[4096];
    DWORD waiting = 0, n = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0 &&
           ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0)
        text.append(buffer, n);
    return text;
}

// Runs the program as a script does: its output into pipes, no input. Waits at most 30 s.
Outcome run_with_pipes(const std::wstring& program, const std::wstring& args) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    Handle out_read, out_write, err_read, err_write;
    Handle nothing(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                               OPEN_EXISTING, 0, nullptr));
    Outcome r;
    if (!CreatePipe(out_read.out(), out_write.out(), &inherited, 0) ||
        !CreatePipe(err_read.out(), err_write.out(), &inherited, 0))
        return r;
    SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing.get();
    startup.hStdOutput = out_write.get();
    startup.hStdError = err_write.get();
    std::wstring command = L"\"" + program + L"\" " + args;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process))
        return r;
    const Handle process_handle(process.hProcess), thread(process.hThread);
    // The texts are far smaller than a pipe's buffer: the program never waits for this reader.
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &r.status);
    r.out = read_waiting(out_read.get());
    r.err = read_waiting(err_read.get());
    return r;
}

TEST(ProgramStart, TheGuiProgramAndItsConsoleTwinAnswerThroughTheirStreamsWithTheirStatus) {
    struct Case {
        const wchar_t* name;
        int subsystem;
    };
    const Case cases[] = {
        {L"kestrom.exe", IMAGE_SUBSYSTEM_WINDOWS_GUI},
        {L"kestrom.com", IMAGE_SUBSYSTEM_WINDOWS_CUI},
    };
    for (const Case& c : cases) {
        const std::wstring program = built(c.name);
        SCOPED_TRACE(std::string(program.begin(), program.end()));
        EXPECT_EQ(c.subsystem, subsystem_of(program))
            << "2: a GUI program (no console window from the Start menu), 3: a console program";

        const Outcome help = run_with_pipes(program, L"--help");
        EXPECT_EQ(0u, help.status);
        // Paths as Windows writes them.
        EXPECT_NE(std::string::npos, help.out.find("listed in .\\kestrom.ini from .\\www\\\r\n"))
            << help.out;
        const Outcome unknown = run_with_pipes(program, L"frobnicate");
        EXPECT_EQ(2u, unknown.status);
        EXPECT_EQ("", unknown.out);
        EXPECT_EQ("kestrom: unknown command 'frobnicate'; see 'kestrom --help'\r\n", unknown.err);
    }
}

// cmd.exe starts a GUI program without streams: kestrom.exe then takes the console it was started
// from, and what it prints shows there.
TEST(ProgramStart, WithoutStreamsTheGuiProgramPrintsToTheConsoleItWasStartedFrom) {
    // A console of this test's own, whose screen can be read back; the test's own streams stay.
    const HANDLE streams[] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                              GetStdHandle(STD_ERROR_HANDLE)};
    FreeConsole();
    ASSERT_TRUE(AllocConsole()) << "error " << GetLastError();
    struct Restore {
        const HANDLE* streams;
        ~Restore() {
            FreeConsole();
            SetStdHandle(STD_INPUT_HANDLE, streams[0]);
            SetStdHandle(STD_OUTPUT_HANDLE, streams[1]);
            SetStdHandle(STD_ERROR_HANDLE, streams[2]);
        }
    } restore{streams};
    const Handle screen(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
    CONSOLE_SCREEN_BUFFER_INFO before{};
    ASSERT_TRUE(GetConsoleScreenBufferInfo(screen.get(), &before)) << "error " << GetLastError();

    const std::wstring program = built(L"kestrom.exe");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // and none of them
    startup.hStdInput = startup.hStdOutput = startup.hStdError = INVALID_HANDLE_VALUE;
    std::wstring command = L"\"" + program + L"\" --version";
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process))
        << "error " << GetLastError();
    const Handle process_handle(process.hProcess), thread(process.hThread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 30000));
    DWORD status = 0xFFFFFFFF;
    GetExitCodeProcess(process.hProcess, &status);
    EXPECT_EQ(0u, status);

    const DWORD width = static_cast<DWORD>(before.dwSize.X);
    std::string shown(width * 4, ' ');
    DWORD read = 0;
    ReadConsoleOutputCharacterA(screen.get(), shown.data(), static_cast<DWORD>(shown.size()),
                                {0, before.dwCursorPosition.Y}, &read);
    shown.resize(read);
    EXPECT_NE(std::string::npos, shown.find("kestrom " KESTROM_VERSION))
        << "the console shows '" << shown << "'";
}

}  // namespace
