/* For a forked child before exec: it is killed when the test program ends, even without destructors (a sanitizer halt, a crash, SIGKILL). Fork from the thread that lives as long as the child. */
#ifndef VORN_TEST_CHILD_DEATH_H
#define VORN_TEST_CHILD_DEATH_H
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>
namespace vorn_test {
/* parent: getpid() of the test program before the fork. Call after any change of user. */
inline void die_with_parent(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(126); /* the parent already ended */
}
}  // namespace vorn_test
#endif
