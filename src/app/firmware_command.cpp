#include <cstdio>

#include "app/commands.h"

namespace app {

int run_firmware(Args /*args*/) {
    std::fputs("kestrom: 'firmware' is not available in this build yet\n", stderr);
    return 1;
}

}  // namespace app
