// The falloff worker: the one thread of the plug-in, keeping one connection
// to the falloff server while the host is connected to a voice server.
#pragma once

void falloff_worker_start();
void falloff_worker_stop();
void falloff_worker_main(void* unused);

// True while a worker thread of ours may still be running (also one that a
// stop gave up waiting for).
bool falloff_worker_alive();
