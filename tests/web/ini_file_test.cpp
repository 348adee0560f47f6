#include "web/ini_file.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using web::IniRecord;

// One entry as "<commented>|<section>|<key>|<value>|<comments>" for readable failures.
std::string show(const IniRecord& r) {
    return std::string(1, r.commented) + "|" + r.section + "|" + r.key + "|" + r.value + "|" +
           r.comments;
}

std::vector<std::string> parse(const std::string& text) {
    std::istringstream in(text);
    std::vector<IniRecord> records{IniRecord{"stale", ' ', "s", "k", "v"}};
    web::read_ini_records(in, records);
    std::vector<std::string> shown;
    for (const auto& r : records) shown.push_back(show(r));
    return shown;
}

TEST(TrimText, StripsTheChosenEndsAndEmptiesAllBlankTexts) {
    struct Case {
        const char* text;
        int ends;
        const char* trimmed;
    };
    const Case cases[] = {
        {" \t a b \r\n", web::kTrimBoth, "a b"},
        {" \t a b \r\n", web::kTrimLeading, "a b \r\n"},
        {" \t a b \r\n", web::kTrimTrailing, " \t a b"},
        {" \t\r\n", web::kTrimBoth, ""},
        {" \t\r\n", web::kTrimLeading, ""},
        {" \t\r\n", web::kTrimTrailing, ""},
        {"", web::kTrimBoth, ""},
        {"x", web::kTrimBoth, "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "' ends " + std::to_string(c.ends));
        std::string text = c.text;
        web::TrimText(text, web::kIniBlanks, c.ends);
        EXPECT_EQ(c.trimmed, text);
    }
}

TEST(ReadIniRecords, FollowsTheListFileRules) {
    using V = std::vector<std::string>;
    struct Case {
        const char* what;
        std::string text;
        V records;
    };
    const Case cases[] = {
        {"header and key", "[FILES]\nFILE1=a.htm\n", V{" |FILES|||", " |FILES|FILE1|a.htm|"}},
        {"CR LF and blanks at both ends", "  [FILES] \r\n\tFILE1=a.htm \r\n\r\n   \n",
         V{" |FILES|||", " |FILES|FILE1|a.htm|"}},
        {"last line without line feed", "[FILES]\nFILE1=a.htm\nFILE2=b.htm",
         V{" |FILES|||", " |FILES|FILE1|a.htm|", " |FILES|FILE2|b.htm|"}},
        {"only an unterminated line", "[FILES]", V{" |FILES|||"}},
        {"blanks around = stay", "[FILES]\nFILE1 = a.htm\n",
         V{" |FILES|||", " |FILES|FILE1 | a.htm|"}},
        {"split at the first =", "[S]\nk=a=b\n", V{" |S|||", " |S|k|a=b|"}},
        {"commented-out keys keep their mark", "[FILES]\n#FILE1=a.htm\n;  FILE2=b.htm\n",
         V{" |FILES|||", "#|FILES|FILE1|a.htm|", ";|FILES|FILE2|b.htm|"}},
        {"commented-out header", "# [FILES]\nFILE1=a\n", V{"#|FILES|||", " |FILES|FILE1|a|"}},
        {"comments move into the next entry, trailing ones are dropped",
         "# list\n  ; of pages\n[FILES]\nFILE1=a\n# end\n",
         V{" |FILES|||# list\n; of pages\n", " |FILES|FILE1|a|"}},
        {"[ in a value makes a header", "[FILES]\nFILE1=a[1].htm\nFILE2=b\n",
         V{" |FILES|||", " |ILE1=a[1|ILE1|a[1|", " |ILE1=a[1|FILE2|b|"}},
        {"header without ]", "[FILES\nFILE1=a\n", V{" |FILES|||", " |FILES|FILE1|a|"}},
        {"header holding =", "[a=b]\n", V{" |a=b|a|b|"}},
        {"key before any header", "k=v\n", V{" ||k|v|"}},
        {"a line that is neither", "junk\n[S]\n", V{" ||||", " |S|||"}},
        {"neither, with a comment pending", "# c\njunk\n[S]\n", V{" |S|||# c\n"}},
        {"empty value", "[FILES]\nFILE1=\n", V{" |FILES|||", " |FILES|FILE1||"}},
        {"case kept", "[files]\nfile1=A.HTM\n", V{" |files|||", " |files|file1|A.HTM|"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.records, parse(c.text));
    }
}

TEST(LoadIniFile, ReportsAMissingFileAndLeavesTheListAlone) {
    test::TempDir dir;
    std::vector<IniRecord> records{IniRecord{}};
    EXPECT_FALSE(web::LoadIniFile((dir / "kestrom.ini").string(), records));
    EXPECT_EQ(1u, records.size());
    dir.write("kestrom.ini", "[FILES]\nFILE1=a\n");
    EXPECT_TRUE(web::LoadIniFile((dir / "kestrom.ini").string(), records));
    EXPECT_EQ(2u, records.size());
}

TEST(IniLookups, MatchSectionAndKeyExactlyAndTakeTheFirstEntry) {
    test::TempDir dir;
    const std::string file = dir.write("kestrom.ini",
                                       "[FILES]\n"
                                       "FILE1=first.htm\n"
                                       "FILE1=second.htm\n"
                                       "file2=lower.htm\n"
                                       "FILE3 =blank.htm\n"
                                       "[OTHER]\n"
                                       "FILE4=other.htm\n")
                                 .string();
    struct Case {
        const char* key;
        const char* section;
        bool exists;
        const char* value;
    };
    const Case cases[] = {
        {"FILE1", "FILES", true, "first.htm"}, {"FILE2", "FILES", false, ""},
        {"file2", "FILES", true, "lower.htm"}, {"FILE3", "FILES", false, ""},
        {"FILE4", "FILES", false, ""},         {"FILE4", "OTHER", true, "other.htm"},
        {"FILE1", "files", false, ""},         {"", "FILES", true, ""},  // the header entry
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        EXPECT_EQ(c.exists, web::IniRecordExists(c.key, c.section, file));
        EXPECT_EQ(c.value, web::GetIniValue(c.key, c.section, file));
        EXPECT_EQ(c.exists ? 1u : 0u, web::GetIniRecord(c.key, c.section, file).size());
    }
    const std::string missing = (dir / "none.ini").string();
    EXPECT_FALSE(web::IniRecordExists("FILE1", "FILES", missing));
    EXPECT_EQ("", web::GetIniValue("FILE1", "FILES", missing));
    EXPECT_TRUE(web::GetIniRecord("FILE1", "FILES", missing).empty());
}

}  // namespace
