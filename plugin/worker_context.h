// The worker's view of the plug-in: settings and ClientId for an attempt,
// the speaker table's publication, the directory's reading and publication.
#pragma once
#include "falloff/worker.h"

class PluginWorkerContext final : public WorkerContext {
public:
    void snapshot(AttemptSettings* out) override;
    void publish_speakers(const SpeakerTable& t) override;
    void clear_speakers() override;
    bool read_users(const StopCheck& stop, UserHashDirectory* out) override;
    void publish_users(const UserHashDirectory& d) override;
};

// Rebuilds the directory from the host and publishes it, on the host's
// threads (the worker goes through its context, with its gate).
void refresh_directory();
