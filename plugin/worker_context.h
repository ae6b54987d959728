// The worker's view of the plug-in: settings and ClientId for an attempt,
// the speaker table's publication, the directory refresh.
#pragma once
#include "falloff/worker.h"

class PluginWorkerContext final : public WorkerContext {
public:
    void snapshot(AttemptSettings* out) override;
    void publish_speakers(const SpeakerTable& t) override;
    void clear_speakers() override;
    void refresh_directory(const RefreshGate& gate) override;
};

// Rebuilds the directory from the host and publishes it. On the host's
// threads gate is null; the worker passes its own.
void refresh_directory(const RefreshGate* gate);
