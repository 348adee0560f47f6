// File operations beyond the C library's: an open that follows only links the user may trust, a
// new file under a name nobody else holds, a flush down to the disk, a rename that never
// replaces, and the process's open-file limit. Failures come back as false (or nullptr) with the
// OS error number in *error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// Which symbolic link an open follows as the last component of its path. Links among the
// directories before it are the system's business; on Windows every link is followed.
enum class LinkTrust {
    // One that the user running kestrom, or root, owns: the kernel's protected_symlinks rule,
    // applied in every directory, not only in sticky world-writable ones. Another user's link
    // must not make kestrom write into a file that user can't write.
    own_or_root,
    // Running as root, one whose owner also owns the file it leads to (a user's link must not
    // make root hand out root's or a third user's file); any link otherwise.
    owner_owns_target,
};

// Why an open refused a file that the system would have opened; none for every other outcome.
// A refused link fails with EACCES, a directory with EISDIR, any other file that is not a
// regular one (FIFO, device, socket) with EINVAL.
enum class Distrust {
    none,
    foreign_link,    // a link that LinkTrust::own_or_root does not follow
    foreign_target,  // a link that LinkTrust::owner_owns_target does not follow
    not_regular,
};

// Opens an existing regular file for reading, its last component checked as `trust` says.
// Never blocks: a FIFO or a device is opened without waiting, seen for what it is and closed.
// nullptr with the error number in *error, and in *why whether the file was there but refused.
// Text mode only matters where the platform translates line ends.
std::FILE* open_regular_file(const std::string& path, LinkTrust trust, bool text, int* error,
                             Distrust* why = nullptr);

// A file that records are appended to, each with a single write, so a crash loses at most the
// record being written and records of concurrent writers never interleave.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens (creating it when missing) for appending; false with the error number on failure.
    // A link as the last component is followed only when LinkTrust::own_or_root allows it;
    // *why says so when it did not.
    bool open(const std::string& path, int* error = nullptr, Distrust* why = nullptr);
    bool is_open() const { return fd_ >= 0; }
    // Appends the bytes as one record; false with the error number when they were not all written.
    bool append(std::string_view bytes, int* error = nullptr);

private:
    int fd_ = -1;
};

// Creates and opens for writing a new file named `prefix` followed by a few random characters,
// with exclusive create, so it is never a file that existed before. `prefix` includes the
// directory. The name made is stored in *path. Text mode only matters where the platform
// translates line ends.
std::FILE* create_unique_file(const std::string& prefix, bool text, std::string* path,
                              int* error = nullptr);

// Reads up to into.size() bytes at `offset` of the stream's file, without using or moving the
// stream's position (the stream must not be read through its buffer meanwhile). Returns the
// bytes read, fewer only at the end of the file, or -1 with the error number in *error. The file
// must be open in binary mode where the platform translates line ends.
long read_at(std::FILE* file, std::uint64_t offset, std::span<std::uint8_t> into,
             int* error = nullptr);

// Writes the stream's buffer and waits until the data is on the disk.
bool sync_file(std::FILE* file, int* error = nullptr);

// Gives the file `from` the name `to` in the same directory, unless a file named `to` exists
// already: then nothing changes and *error is EEXIST. Never replaces, even against a file that
// appears at the same moment.
bool rename_no_replace(const std::string& from, const std::string& to, int* error = nullptr);

// Raises the soft limit of open files towards the hard limit, at most to `wanted`; returns the
// soft limit in force afterwards.
std::uint64_t raise_open_file_limit(std::uint64_t wanted);

// Whether the stream is a terminal; the terminal's width in columns (0 when not known); whether
// two streams are the same terminal.
bool is_terminal(std::FILE* stream);
int terminal_columns(std::FILE* stream);
bool same_terminal(std::FILE* a, std::FILE* b);

// Lets the terminal behind `stream` act on the control sequences the progress line writes
// (ESC [ K, erase to the end of the line) instead of showing them. Linux: true, terminals do.
// Windows: turns on the console's virtual-terminal processing (Windows 10 and later); false
// where the console refuses it, and the caller then clears a line with blanks.
bool enable_terminal_sequences(std::FILE* stream);

}  // namespace platform
