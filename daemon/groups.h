// Unix group membership: the default GetGroups of every method.
#pragma once
#include <pthread.h>
#include "kivmod.h"

extern "C" {
extern int groupNocase;
extern pthread_mutex_t grpSearchLock;  // serialises setgrent/getgrent/endgrent scans
extern int grpSearchLockInit;

int unixGetGroups(void *context, const char *user, int gid, int **groups,
                  int *count, AuthLog *log, int nocase);
int *linuxGetGroups(const char *user, int gid, int *count, AuthLog *log);
}
