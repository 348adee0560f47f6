#include <cstdio>

#include "app/commands.h"

namespace app {

int run_serve(Args /*args*/) {
    std::fputs("kestrom: 'serve' is not available in this build yet\n", stderr);
    return 1;
}

}  // namespace app
