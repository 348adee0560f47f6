// The web pages update: formats the controller's web flash by uploading "format.dat", then
// uploads every file listed in the list file "kestrom.ini" from the folder "www/".
#pragma once

namespace web {

// The job, run to its end on the calling thread (the driver starts it on a thread of its own).
// Takes everything from the settings record; always returns 0.
int WebUpdateThread();

}  // namespace web
