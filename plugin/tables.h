// The writers' side of the tables: each change of the directory or the
// speaker table is joined with the other into a new mix table for the
// audio thread, under the tables mutex, which the audio thread never takes.
#pragma once
#include "directory/user_hashes.h"
#include "falloff/speaker_table.h"

void publish_directory(const UserHashDirectory& d);
void publish_speakers(const SpeakerTable& t);
void clear_speakers();
// No connection, no ClientId, both tables empty.
void clear_connection_state();

void set_client_id(const char* id);
void copy_client_id(char* out, size_t cap);
