#include <cstdio>

#include "app/commands.h"

namespace app {

int run_window(int /*argc*/, char** /*argv*/) {
    std::fputs("kestrom: the window is not available in this build yet; use 'kestrom serve'\n",
               stderr);
    return 1;
}

}  // namespace app
