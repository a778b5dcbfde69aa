// The code under test reports malformed input to the system log; at tens of
// thousands of inputs a second that would flood the host's journal.  These
// definitions take the place of libc's for the harness binary.
#include <syslog.h>

#include <cstdarg>

extern "C" {
void openlog(const char *, int, int) {}
void closelog(void) {}
void syslog(int, const char *, ...) {}
void vsyslog(int, const char *, va_list) {}
void __syslog_chk(int, int, const char *, ...) {}
void __vsyslog_chk(int, int, const char *, va_list) {}
}
