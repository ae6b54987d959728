// Start-up, connection start and end, tear-down.
#pragma once
#include <cstdint>

void plugin_init(uint32_t plugin_id);
void plugin_shutdown();
void plugin_server_synchronized(int32_t connection);
void plugin_server_disconnected();
void plugin_user_event();  // a user or channel event: the directory is refreshed
