// Readiness and stop notices to the service manager (sd_notify), when the
// daemon runs under one (NOTIFY_SOCKET set) and was built with libsystemd.
#pragma once

// "READY=1" once the socket listens.
void notifyReady();
// "STOPPING=1" when the stop sequence begins.
void notifyStopping();
// Whether this build can notify at all.
bool notifySupported();
