#include "web/ini_file.h"

#include <fstream>

namespace web {
namespace {

bool is_comment_mark(char c) {
    return c == '#' || c == ';';
}

bool contains(const std::string& text, char c) {
    return text.find(c) != std::string::npos;
}

// Index of the first matching entry, or records.size().
std::size_t find_record(const std::vector<IniRecord>& records, const std::string& key,
                        const std::string& section) {
    std::size_t i = 0;
    while (i < records.size() && !(records[i].section == section && records[i].key == key)) ++i;
    return i;
}

}  // namespace

void TrimText(std::string& text, const std::string& set, int ends) {
    const std::size_t first = text.find_first_not_of(set);
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    if (ends != kTrimTrailing) text.erase(0, first);
    if (ends != kTrimLeading) text.erase(text.find_last_not_of(set) + 1);
}

void read_ini_records(std::istream& in, std::vector<IniRecord>& records) {
    records.clear();
    std::string comments;
    std::string current_section;
    std::string line;
    // The last line counts whether or not a line feed ends it (many editors write none); a
    // read error (badbit) ends the list where it happened.
    while (std::getline(in, line) && !in.bad()) {
        TrimText(line, kIniBlanks, kTrimBoth);
        if (line.empty()) continue;

        IniRecord record;
        if (is_comment_mark(line[0])) {
            if (!contains(line, '[') && !contains(line, '=')) {
                comments += line;
                comments += '\n';
                continue;
            }
            record.commented = line[0];
            line.erase(0, 1);
            TrimText(line, kIniBlanks, kTrimBoth);
        }
        if (contains(line, '[')) {
            // Deliberate: the first character goes whatever it is, so a value holding "["
            // makes its line a header.
            line.erase(0, 1);
            const std::size_t close = line.find(']');
            if (close != std::string::npos) line.erase(close);
            record.section = line;
            record.comments = std::move(comments);
            comments.clear();
            current_section = line;
        }
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) {
            record.key = line.substr(0, equals);
            record.value = line.substr(equals + 1);
            record.section = current_section;
            record.comments = std::move(comments);
            comments.clear();
        }
        if (comments.empty()) records.push_back(std::move(record));
    }
}

bool LoadIniFile(const std::string& file_name, std::vector<IniRecord>& records) {
    std::ifstream in(file_name);
    if (!in.is_open()) return false;
    read_ini_records(in, records);
    return true;
}

bool IniRecordExists(const std::string& key, const std::string& section,
                     const std::string& file_name) {
    std::vector<IniRecord> records;
    (void)LoadIniFile(file_name, records);  // a file that cannot be opened holds no entries
    return find_record(records, key, section) < records.size();
}

std::vector<IniRecord> GetIniRecord(const std::string& key, const std::string& section,
                                    const std::string& file_name) {
    std::vector<IniRecord> records;
    (void)LoadIniFile(file_name, records);  // a file that cannot be opened holds no entries
    const std::size_t i = find_record(records, key, section);
    if (i == records.size()) return {};
    return {records[i]};
}

std::string GetIniValue(const std::string& key, const std::string& section,
                        const std::string& file_name) {
    const std::vector<IniRecord> found = GetIniRecord(key, section, file_name);
    return found.empty() ? std::string() : found.front().value;
}

}  // namespace web
