// A registry of its own for one test. On Linux that is a fresh hive file (test::TempHive). On
// Windows the process's HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER are redirected
// (RegOverridePredefKey) to two fresh keys below HKEY_CURRENT_USER\Software\kestrom-test-<process
// id>; the destructor ends the redirection and removes that key, so a test run leaves the real
// registry as it found it. Nothing is shared with tests running beside it in other processes.
#pragma once

#if defined(_WIN32)

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kestrom/registry.h"

namespace test {

class ScratchRegistry {
public:
    ScratchRegistry() : base_("Software\\kestrom-test-" + std::to_string(GetCurrentProcessId())) {
        (void)RegDeleteTreeA(HKEY_CURRENT_USER, base_.c_str());  // left by a run that crashed
        // HKEY_CURRENT_USER last: both scratch keys are made below the real one.
        redirect(HKEY_LOCAL_MACHINE, "HKLM");
        redirect(HKEY_CURRENT_USER, "HKCU");
    }
    ~ScratchRegistry() {
        (void)RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        (void)RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        (void)RegDeleteTreeA(HKEY_CURRENT_USER, base_.c_str());
    }
    ScratchRegistry(const ScratchRegistry&) = delete;
    ScratchRegistry& operator=(const ScratchRegistry&) = delete;

private:
    void redirect(HKEY root, const char* name) {
        struct Owned {
            HKEY key = nullptr;
            ~Owned() {
                if (key) RegCloseKey(key);
            }
        } scratch;
        const std::string path = base_ + "\\" + name;
        // A test that went on without its scratch keys would write to the real roots.
        if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &scratch.key, nullptr) != ERROR_SUCCESS ||
            RegOverridePredefKey(root, scratch.key) != ERROR_SUCCESS) {  // keeps a duplicate
            std::fprintf(stderr, "ScratchRegistry: can't redirect %s to %s\n", name, path.c_str());
            std::abort();
        }
    }

    std::string base_;
};

// Windows, like the hive, lists sub-keys by their upper-cased names ('_' after the letters) and
// values in creation order. Wine lists both by their lower-cased names.
inline bool lists_in_windows_order() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return !(ntdll && GetProcAddress(ntdll, "wine_get_version"));
}

}  // namespace test

#else

#include "temp_hive.h"

namespace test {

using ScratchRegistry = TempHive;

inline bool lists_in_windows_order() {
    return true;
}

}  // namespace test

#endif
