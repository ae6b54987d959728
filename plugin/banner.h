// The banner the player reads in the host's log window at each connection.
#pragma once
#include "log/log.h"

// The banner with the link code (the first 8 characters of id) that the
// player types into the game's chat after "!verify".
void print_link_banner(const LogSink& log, const char* id);
