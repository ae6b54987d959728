// The join of the user directory and the speaker table into a mix table:
// the one place where a Mumble user meets the level the falloff server
// gave their certificate hash.
#pragma once
#include "audio/mix_table.h"
#include "directory/user_hashes.h"
#include "falloff/speaker_table.h"

// Fills out with one row per user whose hash the speaker table lists, in
// directory order; a user whose hash it does not list gets no row and
// stays silent. Hashes match without regard to letter case. Pure: reads
// its arguments, writes only out.
void join_mix(const UserHashDirectory& users, const SpeakerTable& speakers, MixTable* out);
