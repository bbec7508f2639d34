/* vorn-c process entry: reads the command line, prepares what must exist before the process frame
 * starts, and hands over to it; the child entry then loads the configuration, starts the
 * framework's services and the service's modules in a fixed order, and runs the event loop. */
#include "api.h"
#include "auth.h"
#include "client.h"
#include "broker.h"
#include "main.h"
#include "vorn_stats.h"
#include "stream_hash.h"
#include "ingest.h"
#include "wdb.h"

#include "zint/eventer.h"
#include "zint/zint_conf.h"
#include "zint/zint_http.h"
#include "zint/zint_log.h"
#include "zint/zint_main.h"
#include "zint/zint_memory.h"
#include "zint/zint_startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

/* Command-line settings: written only while the command line is parsed (main thread, before the
 * frame), read once when the frame is started. */
static const char *config_file = nullptr; /* points into argv */
static int debug = 0;                     /* 1 with -d */
static int foreground = 0;                /* number of -D */
static char *droptouser = nullptr;        /* heap copy of -u's argument */
static char *droptogroup = nullptr;       /* heap copy of -g's argument */

static char *copy_arg(const char *s) {
  char *c = strdup(s);
  ZINT_ASSERT(c != nullptr);
  return c;
}

static void parse_cli_args(int argc, char **argv) {
  int c;
  while ((c = getopt(argc, argv, "c:Ddu:g:")) != EOF) {
    switch (c) {
    case 'c':
      config_file = optarg;
      break;
    case 'D':
      foreground++;
      break;
    case 'd':
      debug = 1;
      break;
    case 'u':
      free(droptouser);
      droptouser = copy_arg(optarg);
      zint_log(zint_error, "droptouser = %s\n", droptouser);
      break;
    case 'g':
      free(droptogroup);
      droptogroup = copy_arg(optarg);
      zint_log(zint_error, "droptogroup = %s\n", droptogroup);
      break;
    default: /* unknown option or missing argument: getopt has said so; carry on */
      break;
    }
  }
}

static int usage(const char *prog) {
  fprintf(stderr, "%s <-c conffile> [-D] [-d]\n\n", prog);
  fprintf(stderr, "\t-c conffile\tthe configuration file to load\n");
  fprintf(stderr, "\t-D\t\trun in the foreground (don't daemonize)\n");
  fprintf(stderr, "\t-d\t\tturn on debugging\n");
  fprintf(stderr, "\t-u u\t\tOptionally specifies a user or uid to operate under\n");
  fprintf(stderr, "\t-g g\t\tOptionally specifies a group or gid to operate under\n");
  return 2;
}

static int child_main(void) {
  if (zint_conf_load(nullptr) == -1) {
    zint_log(zint_error, "Cannot load config: '%s'\n", config_file);
    exit(2);
  }
  zint_log_reopen_all();
  zint_log_go_asynch();

  (void) __eventer->init();

  zint_conf_log_init_rotate("vorn-c", false);

  zint_http_rest_init();
  zint_listener_init("vorn-c");
  /* A listener that cannot start is logged and the others serve; with none at all (its port taken,
   * say) the process would run and serve nobody, so it stops for the operator or the supervisor. */
  if (zint_listener_count() == 0) {
    zint_log(zint_error, "no listener could be started; not starting\n");
    exit(1);
  }

  zint_dso_init();
  zint_dso_post_init();

  vorn_debug = zint_log_stream_find("debug/vorn");

  /* Every later initialiser registers its counters in the recorder that this one creates. */
  stats_init();
  /* Tokens are checked from the first upgrade on; an unusable <vorn><auth> ends start-up. */
  if (!auth_init()) exit(1);
  wdb_init(); /* ends the process with status 1 when the broker database is unusable */
  stream_hash_init();
  pask_init();
  harl_init();
  /* The client endpoints open only once every upstream module is ready. */
  api_init();
  client_init();

  eventer_loop();
  return 0;
}

int main(int argc, char **argv) {
  parse_cli_args(argc, argv);
  if (config_file == nullptr) exit(usage(argc > 0 && argv[0] ? argv[0] : "vorn-c"));

  /* Safe memory is set up before the frame, which forks when daemonising: the fork handlers it
   * installs must be in place before any fork. (The eventer's init repeats the call, harmlessly.) */
  zint_memory_init();
  /* The frame creates the job queues from these settings, so they must be stored first. */
  pask_init_jobqs();

  zint_main("vorn-c", config_file, debug, foreground, ZINT_LOCK_OP_LOCK, nullptr, droptouser,
            droptogroup, child_main);
  return 0;
}
