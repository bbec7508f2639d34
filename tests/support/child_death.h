/* For a forked child before exec: it is killed when the test program ends, even when the program
 * ends without running its destructors (a sanitizer halt, a crash, SIGKILL), so servers a test
 * started never outlive it. Fork from the thread that stays alive for the child's whole life: the
 * signal follows the forking thread. Async-signal-safe. */
#ifndef VORN_TEST_CHILD_DEATH_H
#define VORN_TEST_CHILD_DEATH_H

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace vorn_test {

/* parent: getpid() of the test program, taken before the fork. Call after any change of user (a
 * credential change clears the setting). */
inline void die_with_parent(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(126); /* the parent already ended */
}

}  // namespace vorn_test

#endif
