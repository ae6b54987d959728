// The worker's view of the plug-in: settings and ClientId for an attempt,
// the speaker table's publication, the directory's reading and publication.
#pragma once
#include "falloff/worker.h"

class PluginWorkerContext final : public WorkerContext {
public:
    void snapshot(AttemptSettings* out) override;
    void publish_speakers(const SpeakerTable& t) override;
    void clear_speakers() override;
    bool read_users(const StopCheck& stop, UserHashDirectory* out, UsersRead* read) override;
    void publish_users(const UserHashDirectory& d) override;
    bool connection_gone(int32_t connection) override;
};

// The directory on the host's threads (the worker goes through its context,
// with its gate): read_directory asks the host for connection's users;
// refresh_directory reads the current connection's and publishes them.
bool read_directory(int32_t connection, UserHashDirectory* out);
void refresh_directory();
