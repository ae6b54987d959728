// Start-up, connection start and end, tear-down.
#pragma once
#include <cstdint>

void plugin_init(uint32_t plugin_id);
void plugin_shutdown();
void plugin_server_synchronized(int32_t connection);
void plugin_server_disconnected();
void plugin_user_event();  // a user or channel event: the directory is refreshed
// On the worker's thread: the host answered that connection does not exist.
// Ends it as a disconnect would (the worker gets request_stop), unless a
// newer connection was taken up meanwhile or a life-cycle step is under
// way; it never waits for one. True when it ended the connection.
bool plugin_connection_gone(int32_t connection);
