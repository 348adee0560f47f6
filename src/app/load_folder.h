// Where the window works when it was started from the desktop. On Windows a start from the Start
// menu or Explorer lands in whatever folder the shortcut or the program's place makes current
// (the user's profile, Program Files), which holds no zorva.bin, kestrom.ini or www\. Such a
// start works in the load folder instead: Documents\kestrom, made at the first start, the user's
// own and easy to find. A start from a console keeps the console's current folder, and so does a
// start in a folder that already holds one of the three. Linux keeps the current folder always.
#pragma once

#include <filesystem>
#include <system_error>

#include "platform/desktop.h"

namespace app {

// The load folder's name in the Documents folder.
inline constexpr const char* kLoadFolderName = "kestrom";

// Whether a start of the window with this console, in `start_folder`, moves to the load folder:
// only a start from the desktop (no console at all), in a folder without zorva.bin, kestrom.ini
// and www.
bool uses_load_folder(platform::ConsoleStart console, const std::filesystem::path& start_folder);

// Makes `documents`/kestrom when it is missing and makes it the current folder. False with the
// system's error when either fails; the current folder is then the one before.
bool enter_load_folder(const std::filesystem::path& documents, std::error_code* error);

// What the window does before it opens: the load folder for a start from the desktop, the current
// folder otherwise (and when the load folder can't be made: the window shows where it works).
void choose_window_folder();

}  // namespace app
