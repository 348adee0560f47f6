// The reader of the list file "kestrom.ini": a plain INI text of lines ending in a line feed
// (optionally after a carriage return). The rules, all kept as the list file has always been
// read:
//   - each line is stripped of " \t\n\r" at both ends; empty lines are skipped;
//   - a line starting with "#" or ";" is a pure comment unless it holds "[" or "=": then it is a
//     commented-out entry whose mark is kept in `commented` and which is otherwise read as if
//     uncommented (so a commented-out key still counts);
//   - a line holding "[" anywhere is a section header: its first character is dropped and
//     everything from the first "]" on is cut;
//   - then, if the line holds "=", the text before the first "=" is the key and the rest the
//     value, neither stripped again;
//   - pure comments gather and move into the next header or key entry;
//   - a last line without a line feed is not read.
// Lookups are exact and case-sensitive and parse the file anew every time.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace web {

struct IniRecord {
    std::string comments;  // pure comment lines gathered before this entry, each with "\n"
    char commented = ' ';  // '#' or ';' when the entry's line was commented out, else ' '
    std::string section;   // the entry's section (a header entry: its own name)
    std::string key;       // empty for a header entry
    std::string value;     // empty for a header entry
};

// Which ends TrimText strips.
enum TrimEnds : int { kTrimBoth = 0, kTrimLeading = 1, kTrimTrailing = 2 };

inline constexpr const char* kIniBlanks = " \t\n\r";

// Strips the characters of `set` from the chosen ends of `text`; a text made only of set
// characters becomes empty whichever ends are asked for.
void TrimText(std::string& text, const std::string& set, int ends);

// Reads every complete line of `in` by the rules above into `records` (replacing its content).
// A read error ends the reading like the end of the stream.
void read_ini_records(std::istream& in, std::vector<IniRecord>& records);

// false when the file cannot be opened (records untouched); else true with the file's entries.
bool LoadIniFile(const std::string& file_name, std::vector<IniRecord>& records);

// Whether an entry with exactly this section and key exists (false for a missing file).
bool IniRecordExists(const std::string& key, const std::string& section,
                     const std::string& file_name);
// The first matching entry as a one-entry list, or an empty list.
std::vector<IniRecord> GetIniRecord(const std::string& key, const std::string& section,
                                    const std::string& file_name);
// The value of the first matching entry, or an empty text.
std::string GetIniValue(const std::string& key, const std::string& section,
                        const std::string& file_name);

}  // namespace web
