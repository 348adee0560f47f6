// Placeholder until the web pages update lands.
#include "web/web_update.h"

namespace web {

int WebUpdateThread() { return 0; }

}  // namespace web
