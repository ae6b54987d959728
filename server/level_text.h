// A gain or a pan as the update lines carry it: three places after a full
// stop, whatever the locale ("0.734", "-0.412", "1.000"). The tick writes
// two of these for every speaker of every listener, tens of thousands a
// tick in a crowd, so this is integer arithmetic rather than a general
// floating-point formatter.
#pragma once

namespace server {

// Writes v, held to -1..1, with three places; a value that rounds to zero
// has no sign, and one that is not a number is written as zero. Writes at
// most 6 characters; returns the end of the text.
char* write_level(char* out, double v);

}  // namespace server
