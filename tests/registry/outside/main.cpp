// A program outside the library's own build: it sees only the public header and links only
// libkestrom_registry. It exits 0 when a round trip through a fresh hive works.
#include <kestrom/registry.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

int main() {
    const char* path = std::getenv("KESTROM_REGISTRY");
    if (!path || !*path) {
        std::fputs("registry_outside: set KESTROM_REGISTRY to a scratch file\n", stderr);
        return 2;
    }
    std::error_code ec;
    std::filesystem::remove(path, ec);

    int failures = 0;
    auto check = [&failures](bool ok, const char* what) {
        if (!ok) {
            std::fprintf(stderr, "registry_outside: %s failed\n", what);
            ++failures;
        }
    };
    {
        CRegistry registry;
        const std::unique_ptr<CRegistryKey> key{
            registry.KeyCurrentUser()->CreateKey("Software\\Outside\\")};
        check(key != nullptr, "CreateKey");
        if (key) {
            check(key->SetStringValue("Name", "value") == 0, "SetStringValue");
            check(key->SetIntegerValue("Number", 42) == 0, "SetIntegerValue");
            std::string text;
            check(key->GetStringValue("name", &text) == 0 && text == "value", "GetStringValue");
            check(key->GetStringValue("NUMBER", &text) == 0 && text == "42", "number as text");
            CRegistryValue value;
            check(key->GetValue("Number", value) == 0 && value.Type() == registry::kRegDword &&
                      value.GetLength() == 4 && value.GetData()[0] == 42,
                  "GetValue");
            std::vector<std::string> names;
            check(key->GetValueNames(&names) == 1 && names.size() == 2 && names[0] == "Name",
                  "GetValueNames");
        }
        const std::unique_ptr<CRegistryKey> software{
            registry.KeyCurrentUser()->OpenKey("software")};
        check(software && software->DeleteKey("Outside") == 0, "DeleteKey");
        check(
            !std::unique_ptr<CRegistryKey>{registry.KeyCurrentUser()->OpenKey("Software\\Outside")},
            "key gone");
    }
    std::filesystem::remove(path, ec);
    if (failures == 0) std::puts("registry_outside: ok");
    return failures == 0 ? 0 : 1;
}
