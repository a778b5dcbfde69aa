// A module that lacks its Authenticate entry point: the loader must refuse it.
#include "kivmod.h"

extern "C" {
void *pamInit(ConfigEntry *, int, int *status, AuthLog *, char **) {
    *status = 0;
    return nullptr;
}
void pamTerminate(void *, AuthLog *) {}
}
