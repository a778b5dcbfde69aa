// sd_notify from libsystemd when the build found it; otherwise nothing.
#include "notify.h"

#ifdef KIV_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

void notifyReady() {
#ifdef KIV_HAVE_SYSTEMD
    sd_notify(0, "READY=1");
#endif
}

void notifyStopping() {
#ifdef KIV_HAVE_SYSTEMD
    sd_notify(0, "STOPPING=1");
#endif
}

bool notifySupported() {
#ifdef KIV_HAVE_SYSTEMD
    return true;
#else
    return false;
#endif
}
