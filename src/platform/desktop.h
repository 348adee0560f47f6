// What a start from the desktop needs of the system: the console a Windows program without one
// takes from the program that started it, the user's Documents folder, and a folder shown in the
// desktop's file manager.
#pragma once

#include <filesystem>

namespace platform {

// How the process came by its standard streams. Windows starts a program of the GUI subsystem
// without them: from a console, the missing ones are then opened on the console the program was
// started from; from the desktop (Start menu, Explorer) there is no console to take.
enum class ConsoleStart {
    streams,         // all came with the start: a console, pipes, files (Linux: always)
    parent_console,  // some were missing; they now read and write the parent's console
    none,            // none came and no console was there to take: a start from the desktop
};

// Connects the standard streams as described; the work is done by the first call, and later
// calls return what it found. Call it first in main, before anything reads or writes them.
// Streams that came with the start (pipes, files, a console) are kept as they are.
ConsoleStart connect_console();

// Lets go of the parent's console that connect_console took (the window prints nothing there,
// and should outlive that console's Ctrl-C and its closing); nothing otherwise.
void release_console();

// The user's Documents folder (on Windows the known folder, also where it was moved to); empty
// where kestrom uses none (Linux, where every start keeps its current folder).
std::filesystem::path documents_folder();

// Shows the folder in the desktop's file manager (Explorer on Windows, the desktop's choice
// through xdg-open elsewhere) and returns at once, leaving nothing to wait for. False when the
// file manager could not be started.
bool open_folder(const std::filesystem::path& folder);

}  // namespace platform
