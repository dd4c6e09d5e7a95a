// Ctrl-C, Ctrl-Break, a closed console or a shutdown (on Linux SIGINT,
// SIGQUIT, SIGHUP, SIGTERM and the other signals that would end the
// process) stop the run between two files: the file in hand is
// finished, the summary printed, and only then does the process end.
#pragma once

#include "base/runtime/signal.h"

// From now on an interrupt sets `cancel` (which may be null) and is
// remembered; one that came before is forgotten.
void interrupt_install(Signal* cancel);
// True once an interrupt came.
bool interrupt_requested();
// The run has printed its summary; a console that is closing may end the
// process now. Also forgets the cancel signal.
void interrupt_done();
