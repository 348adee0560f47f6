#include <cstdio>

#include "app/commands.h"

namespace app {

int run_web(Args /*args*/) {
    std::fputs("kestrom: 'web' is not available in this build yet\n", stderr);
    return 1;
}

}  // namespace app
