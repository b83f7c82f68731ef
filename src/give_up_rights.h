// What the client gives up once connected, before a stranger's bytes arrive:
// the one door to the system-specific layers of confinement, in a file of
// their own.
#pragma once

// Keeps the run to the descriptors it holds: no new file, socket or pipe, no
// program run, no signal beyond itself, no text typed into the terminal, as
// far as each system offers. Every layer that the system lacks or refuses is
// left out silently; the run goes on the same. Call it with every descriptor
// that the rest of the run needs already open, the locale's converter loaded
// and the name resolved.
void give_up_rights();
