// The cases of closing the window that both windows' tests run (the Qt dialog and the native
// one): Escape and the close box, idle and while a TFTP transfer runs, with each answer to the
// question asked then.
#pragma once

namespace test {

struct CloseCase {
    const char* what;
    bool transfer;  // a TFTP transfer runs
    bool escape;    // Escape, else the close box
    bool yes;       // the answer, when asked
};

inline constexpr CloseCase kCloseCases[] = {
    {"idle, Escape", false, true, false},        {"idle, close box", false, false, false},
    {"transfer, Escape, No", true, true, false}, {"transfer, close box, No", true, false, false},
    {"transfer, Escape, Yes", true, true, true}, {"transfer, close box, Yes", true, false, true},
};

}  // namespace test
