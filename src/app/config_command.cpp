#include <cstdio>

#include "app/commands.h"

namespace app {

int run_config(Args /*args*/) {
    std::fputs("kestrom: 'config' is not available in this build yet\n", stderr);
    return 1;
}

}  // namespace app
