#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kestrom/registry.h"
#include "scratch_registry.h"

namespace {

using registry::code;
using registry::RegError;
using testing::ElementsAre;
using testing::UnorderedElementsAre;
using Key = std::unique_ptr<CRegistryKey>;
using Bytes = std::vector<unsigned char>;

constexpr long kWrongType = 0x20F00001;

Bytes bytes_of(CRegistryValue& v) {
    return Bytes(v.GetData(), v.GetData() + v.GetLength());
}

// Every key and value below key, one line each, in enumeration order.
std::string dump(CRegistryKey* key, const std::string& prefix = "") {
    std::string out;
    std::vector<std::string> names;
    key->GetValueNames(&names);
    for (const auto& name : names) {
        CRegistryValue v;
        EXPECT_EQ(0, key->GetValue(name.c_str(), v));
        out += prefix + name + " type " + std::to_string(v.Type()) + ":";
        for (const unsigned char b : bytes_of(v)) out += " " + std::to_string(b);
        out += "\n";
    }
    key->GetKeyNames(&names);
    for (const auto& name : names) {
        out += prefix + name + "\\\n";
        const Key sub{key->OpenKey(name.c_str())};
        EXPECT_TRUE(sub) << name;
        if (sub) out += dump(sub.get(), prefix + name + "\\");
    }
    return out;
}

// A dump's lines; sorted where the registry lists in an order of its own (Wine).
std::vector<std::string> listing(const std::string& dump_text) {
    std::vector<std::string> lines;
    std::istringstream in(dump_text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (!test::lists_in_windows_order()) std::sort(lines.begin(), lines.end());
    return lines;
}

class RegistryClasses : public testing::Test {
protected:
    Key create(const char* path) { return Key{registry_.KeyLocalMachine()->CreateKey(path)}; }
    Key open(const char* path) { return Key{registry_.KeyLocalMachine()->OpenKey(path)}; }

    test::ScratchRegistry hive_;
    CRegistry registry_;
};

TEST_F(RegistryClasses, DeleteKeyRemovesAThreeLevelTreeAndNothingBeside) {
    {
        const Key a = create("Top\\A\\B\\C");
        ASSERT_TRUE(a);
        EXPECT_EQ(0, a->SetStringValue("deep", "x"));
        const Key b2 = create("Top\\A\\B2");
        EXPECT_EQ(0, b2->SetIntegerValue("n", 1));
        const Key keep = create("Top\\Keep");
        EXPECT_EQ(0, keep->SetStringValue("v", "kept"));
    }
    const Key top = open("Top");
    ASSERT_TRUE(top);
    const Key deepest = open("Top\\A\\B\\C");
    // The hive itself refuses keys with sub-keys, so this only succeeds deepest first.
    EXPECT_EQ(0, top->DeleteKey("a"));
    // Gone, not merely cut off from its parent.
    EXPECT_EQ(code(RegError::key_deleted), deepest->SetStringValue("deep", "y"));
    EXPECT_FALSE(open("Top\\A"));
    EXPECT_FALSE(open("Top\\A\\B\\C"));
    EXPECT_EQ("Keep\\\nKeep\\v type 1: 107 101 112 116 0\n", dump(top.get()));
}

TEST_F(RegistryClasses, DeleteKeyRefusesAMissingOrEmptyName) {
    const Key top = create("Top\\Child");
    const Key parent = open("Top");
    struct Case {
        const char* name;
        long rc;
    };
    const Case cases[] = {{nullptr, 1010}, {"", 1010}, {"Missing", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        EXPECT_EQ(c.rc, parent->DeleteKey(c.name));
        EXPECT_TRUE(open("Top\\Child"));
    }
}

TEST_F(RegistryClasses, ReadsEachTypeAsTheOperationCanDeliverIt) {
    const Key key = create("Types");
    ASSERT_TRUE(key);
    ASSERT_EQ(0, key->SetIntegerValue("max", 4294967295u));
    ASSERT_EQ(0, key->SetStringValue("text", "hello"));
    ASSERT_EQ(0, key->SetExpandStringValue("expand", "%HOME%\\x"));
    const unsigned char blob[] = {1, 0, 2};
    ASSERT_EQ(0, key->SetBinaryValue("blob", blob, sizeof blob));
    ASSERT_EQ(0,
              key->SetValue("unterminated", 1, reinterpret_cast<const unsigned char*>("abc"), 3));
    ASSERT_EQ(0,
              key->SetValue("inner nul", 1, reinterpret_cast<const unsigned char*>("ab\0cd"), 5));
    ASSERT_EQ(0, key->SetValue("short number", 4, blob, 2));

    struct Case {
        const char* name;
        long rc;
        std::string text;  // the result text; "untouched" when it must stay as it was
    };
    const Case strings[] = {
        {"max", 0, "4294967295"},
        {"text", 0, "hello"},
        {"expand", 0, "%HOME%\\x"},
        {"unterminated", 0, "abc"},
        {"inner nul", 0, "ab"},
        {"blob", kWrongType, "untouched"},
        {"short number", kWrongType, "untouched"},
        {"missing", 2, "untouched"},
    };
    for (const auto& c : strings) {
        SCOPED_TRACE(c.name);
        std::string text = "untouched";
        EXPECT_EQ(c.rc, key->GetStringValue(c.name, &text));
        EXPECT_EQ(c.text, text);
    }

    struct Number {
        const char* name;
        long rc;
        std::uint32_t value;
    };
    const Number numbers[] = {
        {"max", 0, 4294967295u},         {"text", kWrongType, 7}, {"blob", kWrongType, 7},
        {"short number", kWrongType, 7}, {"missing", 2, 7},
    };
    for (const auto& c : numbers) {
        SCOPED_TRACE(c.name);
        std::uint32_t value = 7;
        EXPECT_EQ(c.rc, key->GetIntegerValue(c.name, &value));
        EXPECT_EQ(c.value, value);
    }
}

TEST_F(RegistryClasses, StoresTheDocumentedBytesForEachSetter) {
    const Key key = create("Bytes");
    ASSERT_TRUE(key);
    ASSERT_EQ(0, key->SetStringValue("empty", ""));
    ASSERT_EQ(0, key->SetStringValue("text", "ab"));
    ASSERT_EQ(0, key->SetExpandStringValue("expand", "%a%"));
    ASSERT_EQ(0, key->SetIntegerValue("number", 0x12345678));
    ASSERT_EQ(0, key->SetBinaryValue("nothing", nullptr, 0));
    struct Case {
        const char* name;
        unsigned long type;
        Bytes bytes;
    };
    const Case cases[] = {
        {"empty", 1, {0}},  // one byte: the terminator
        {"text", 1, {'a', 'b', 0}},
        {"expand", 2, {'%', 'a', '%', 0}},
        {"number", 4, {0x78, 0x56, 0x34, 0x12}},  // little-endian
        {"nothing", 3, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CRegistryValue v;
        EXPECT_EQ(0, key->GetValue(c.name, v));
        EXPECT_EQ(c.type, v.Type());
        EXPECT_EQ(c.bytes, bytes_of(v));
    }
    CRegistryValue untouched;
    EXPECT_EQ(2, key->GetValue("missing", untouched));
    EXPECT_EQ(nullptr, untouched.GetData());
    EXPECT_EQ(0u, untouched.GetLength());
    EXPECT_EQ(code(RegError::invalid_parameter), key->SetBinaryValue("x", nullptr, 3));
    EXPECT_EQ(code(RegError::invalid_parameter), key->SetStringValue("x", nullptr));
}

TEST_F(RegistryClasses, SettingAValueReplacesTypeAndDataButKeepsItsNameAndPlace) {
    const Key key = create("Replace");
    ASSERT_EQ(0, key->SetStringValue("First", "text"));
    ASSERT_EQ(0, key->SetStringValue("Second", "x"));
    ASSERT_EQ(0, key->SetIntegerValue("FIRST", 9));
    CRegistryValue v;
    ASSERT_EQ(0, key->GetValue("first", v));
    EXPECT_EQ(4u, v.Type());
    EXPECT_EQ((Bytes{9, 0, 0, 0}), bytes_of(v));
    std::vector<std::string> names;
    key->GetValueNames(&names);
    EXPECT_THAT(names, ElementsAre("First", "Second"));
}

TEST_F(RegistryClasses, MatchesKeyAndValueNamesWithoutRegardToCase) {
    ASSERT_TRUE(create("Software\\MixedCase"));
    const Key same = open("SOFTWARE\\mixedcase\\");
    ASSERT_TRUE(same);
    ASSERT_EQ(0, same->SetStringValue("ValueName", "v"));
    const Key again{registry_.KeyLocalMachine()->CreateKey("software\\MIXEDCASE")};
    std::string text;
    EXPECT_EQ(0, again->GetStringValue("VALUENAME", &text));
    EXPECT_EQ("v", text);
    std::vector<std::string> names;
    registry_.KeyLocalMachine()->GetKeyNames(&names);
    EXPECT_THAT(names, ElementsAre("Software"));  // as first written, created once
    EXPECT_EQ(0, again->DeleteValue("valuename"));
    EXPECT_EQ(2, again->DeleteValue("ValueName"));
}

TEST_F(RegistryClasses, EnumeratesKeysAlphabeticallyAndValuesInCreationOrder) {
    const Key key = create("Order");
    for (const char* name : {"b", "_under", "C", "a", "B2"}) {
        const Key sub{key->CreateKey(name)};
        ASSERT_TRUE(sub) << name;
    }
    std::vector<std::string> names{"stale"};
    EXPECT_EQ(1, key->GetKeyNames(&names));
    // Compared upper-cased, as the platform does: '_' sorts after the letters.
    if (test::lists_in_windows_order())
        EXPECT_THAT(names, ElementsAre("a", "b", "B2", "C", "_under"));
    else
        EXPECT_THAT(names, UnorderedElementsAre("a", "b", "B2", "C", "_under"));

    for (const char* name : {"z", "a", "M"}) ASSERT_EQ(0, key->SetStringValue(name, name));
    ASSERT_EQ(0, key->SetStringValue("z", "again"));
    ASSERT_EQ(0, key->DeleteValue("a"));
    ASSERT_EQ(0, key->SetStringValue("A", "new"));
    EXPECT_EQ(1, key->GetValueNames(&names));
    if (test::lists_in_windows_order())
        EXPECT_THAT(names, ElementsAre("z", "M", "A"));
    else
        EXPECT_THAT(names, UnorderedElementsAre("z", "M", "A"));
}

TEST_F(RegistryClasses, ListsNothingForAKeyWithoutSubKeysOrValues) {
    const Key key = create("Empty");
    std::vector<std::string> names{"stale"};
    EXPECT_EQ(1, key->GetKeyNames(&names));
    EXPECT_TRUE(names.empty());
    names = {"stale"};
    EXPECT_EQ(1, key->GetValueNames(&names));
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(0, key->QueryMaxKeyNameLen());
    EXPECT_EQ(0, key->QueryMaxValueNameLen());
    EXPECT_EQ(0, key->QueryMaxValueLen());
}

TEST_F(RegistryClasses, QueriesTheLongestNamesAndData) {
    const Key key = create("Sizes");
    ASSERT_TRUE(Key{key->CreateKey("four")});
    ASSERT_TRUE(Key{key->CreateKey("sixsix")});
    ASSERT_EQ(0, key->SetStringValue("abc", "0123456789"));  // 11 bytes
    ASSERT_EQ(0, key->SetIntegerValue("a", 1));
    EXPECT_EQ(6, key->QueryMaxKeyNameLen());
    EXPECT_EQ(3, key->QueryMaxValueNameLen());
    EXPECT_EQ(11, key->QueryMaxValueLen());
}

TEST_F(RegistryClasses, OpensOnlyExistingKeysAndCreatesWholePaths) {
    EXPECT_FALSE(open("No\\Such\\Key"));
    const Key made = create("No\\Such\\Key\\");
    EXPECT_TRUE(made);
    EXPECT_TRUE(open("No\\Such\\Key"));
    EXPECT_TRUE(open("No\\Such"));
    // An empty part anywhere but at the end names no key.
    for (const char* bad : {"No\\\\Such", "\\No", "No\\Such\\\\"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(open(bad));
        EXPECT_FALSE(create(bad));
    }
}

TEST_F(RegistryClasses, CopyToCopiesEveryLevelAndTypeAndKeepsWhatTheTargetHad) {
    {
        const Key l1 = create("Src\\L1");
        const Key l2 = create("Src\\L1\\L2");
        const Key l3 = create("Src\\L1\\L2\\L3");
        const Key src = open("Src");
        const unsigned char blob[] = {0, 255, 7};
        ASSERT_EQ(0, src->SetStringValue("text", "top"));
        ASSERT_EQ(0, l1->SetExpandStringValue("expand", "%PATH%"));
        ASSERT_EQ(0, l2->SetBinaryValue("blob", blob, sizeof blob));
        ASSERT_EQ(0, l3->SetIntegerValue("number", 4294967295u));
        ASSERT_EQ(0, l3->SetStringValue("empty", ""));
        ASSERT_EQ(0, l3->SetValue("other", 11, blob, 1));
        const Key dst = create("Dst\\L1");
        ASSERT_EQ(0, dst->SetStringValue("stays", "yes"));
        const Key dst_top = open("Dst");
        ASSERT_EQ(0, dst_top->SetStringValue("TEXT", "overwritten"));
    }
    const Key src = open("Src");
    const Key dst = open("Dst");
    EXPECT_EQ(1, src->CopyTo(dst.get()));
    EXPECT_EQ(listing("TEXT type 1: 116 111 112 0\n"
                      "L1\\\n"
                      "L1\\stays type 1: 121 101 115 0\n"
                      "L1\\expand type 2: 37 80 65 84 72 37 0\n"
                      "L1\\L2\\\n"
                      "L1\\L2\\blob type 3: 0 255 7\n"
                      "L1\\L2\\L3\\\n"
                      "L1\\L2\\L3\\number type 4: 255 255 255 255\n"
                      "L1\\L2\\L3\\empty type 1: 0\n"
                      "L1\\L2\\L3\\other type 11: 0\n"),
              listing(dump(dst.get())));
}

TEST_F(RegistryClasses, CopyToRefusesATargetInsideTheSource) {
    const Key inner = create("Src\\Inner");
    const Key src = open("Src");
    ASSERT_EQ(0, src->SetStringValue("v", "x"));
    const std::string before = dump(src.get());
    EXPECT_EQ(0, src->CopyTo(inner.get()));
    EXPECT_EQ(0, src->CopyTo(src.get()));
    EXPECT_EQ(0, registry_.KeyLocalMachine()->CopyTo(inner.get()));
    EXPECT_EQ(before, dump(src.get()));
    // Only below the key, not below any key whose name starts the same.
    const Key beside = create("Src2");
    EXPECT_EQ(1, src->CopyTo(beside.get()));
}

TEST_F(RegistryClasses, AHandleToADeletedKeyFailsInsteadOfReachingAnother) {
    const Key doomed = create("Parent\\Doomed");
    const Key parent = open("Parent");
    ASSERT_EQ(0, parent->DeleteKey("Doomed"));
    const Key reborn = create("Parent\\Doomed");  // same name, a new key
    ASSERT_EQ(0, reborn->SetStringValue("v", "new"));
    std::string text;
    EXPECT_EQ(code(RegError::key_deleted), doomed->GetStringValue("v", &text));
    EXPECT_EQ(code(RegError::key_deleted), doomed->SetStringValue("v", "old"));
    EXPECT_FALSE(Key{doomed->CreateKey("child")});
    EXPECT_EQ(0, reborn->GetStringValue("v", &text));
    EXPECT_EQ("new", text);
}

TEST_F(RegistryClasses, AKeyOpenedForReadingRefusesWrites) {
    ASSERT_TRUE(create("ReadOnly"));
    const Key key{registry_.KeyLocalMachine()->OpenKey("ReadOnly", registry::kKeyRead)};
    ASSERT_TRUE(key);
    EXPECT_EQ(code(RegError::access_denied), key->SetStringValue("v", "x"));
    EXPECT_FALSE(Key{key->CreateKey("child", registry::kKeyRead)});
    std::vector<std::string> names;
    EXPECT_EQ(1, key->GetValueNames(&names));
    EXPECT_TRUE(names.empty());
}

TEST_F(RegistryClasses, KeepsTheRootsApartAndAnswersIsRegKey) {
    const Key a{registry_.KeyCurrentUser()->CreateKey("Same")};
    ASSERT_EQ(0, a->SetStringValue("root", "user"));
    EXPECT_FALSE(Key{registry_.KeyLocalMachine()->OpenKey("Same")});
    CRegistry copy(registry_);
    std::string text;
    const Key b{copy.KeyCurrentUser()->OpenKey("same")};
    ASSERT_TRUE(b);
    EXPECT_EQ(0, b->GetStringValue("root", &text));
    EXPECT_EQ("user", text);

    EXPECT_EQ(1, registry_.KeyDynData()->IsRegKey(nullptr));
    EXPECT_EQ(0, a->IsRegKey(nullptr));
    EXPECT_EQ(0, a->IsRegKey(HKEY_LOCAL_MACHINE));
    CRegistryKey none;
    EXPECT_FALSE(Key{none.OpenKey("x")});
    EXPECT_EQ(code(RegError::invalid_handle), none.SetStringValue("x", "y"));
}

#if !defined(_WIN32)
TEST_F(RegistryClasses, ReadingAMissingHiveCreatesNoFile) {
    EXPECT_FALSE(open("SOFTWARE"));
    std::vector<std::string> names{"stale"};
    EXPECT_EQ(1, registry_.KeyLocalMachine()->GetKeyNames(&names));
    EXPECT_TRUE(names.empty());
    std::string text;
    EXPECT_EQ(2, registry_.KeyLocalMachine()->GetStringValue("v", &text));
    EXPECT_FALSE(std::filesystem::exists(hive_.path()));
}
#endif

}  // namespace
