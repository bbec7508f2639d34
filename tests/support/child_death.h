/* For a forked child before exec: it is killed when the test program ends, even without destructors (a
 * sanitizer halt, a crash, SIGKILL). Fork from the thread that lives as long as the child. */
#pragma once
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>
namespace vorn_test {
inline void die_with_parent(
    pid_t parent) { /* parent: getpid() of the test program before the fork. Call after any change of user. */
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(126); /* the parent already ended */
}
} // namespace vorn_test
