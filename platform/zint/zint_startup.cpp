/* zint start-up services: the application name and the module registry through which the message-bus module is brought up from the configuration. */
#include "zint/zint_startup.h"
#include "zint/zint_conf.h"

#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <string>
#include <vector>

/* Set at start-up by the main thread, read by any (the signal thread among them). A replaced name
 * is not freed, since a reader may still hold it; start-up sets it at most a few times. */
static std::atomic<const char *> appname_text{"zint"};

void zint_set_appname(const char *appname) {
  if (appname == nullptr || appname[0] == '\0') return;
  if (strcmp(appname, appname_text.load()) == 0) return;
  char *copy = strdup(appname);
  ZINT_ASSERT(copy != nullptr);
  appname_text.store(copy);
}

const char *zint_appname(void) { return appname_text.load(); }

/* One registered module. */
struct dso_module {
  std::string name;          /* unique key */
  std::string config_path;   /* empty: always enabled */
  zint_dso_init_fn init;     /* null until resolved */
  zint_dso_init_fn post_init;
  bool tried = false;        /* zint_dso_init has dealt with it */
  bool loaded = false;       /* init succeeded */
  bool posted = false;       /* post_init has run */
};

/* Registrations happen at start-up on the main thread; the mutex keeps tests and late readers safe.
 * Init functions run without it held, so a module may query the registry from its init. */
static std::mutex dso_mu;
static std::vector<dso_module> &dso_modules() {
  static auto *v = new std::vector<dso_module>; /* guarded by dso_mu; never destroyed */
  return *v;
}

int zint_dso_register(const char *name, const char *config_path, zint_dso_init_fn init,
                      zint_dso_init_fn post_init) {
  if (name == nullptr || name[0] == '\0') return -1;
  std::lock_guard lock(dso_mu);
  for (const dso_module &m : dso_modules())
    if (m.name == name) return -1;
  dso_modules().push_back(dso_module{name, config_path ? config_path : "", init, post_init});
  return 0;
}

static zint_dso_init_fn lookup_symbol(const std::string &name, const char *suffix) {
  std::string sym = name + suffix;
  void *p = dlsym(RTLD_DEFAULT, sym.c_str());
  return reinterpret_cast<zint_dso_init_fn>(p);
}

int zint_dso_init(void) {
  int rv = 0;
  for (size_t i = 0;; i++) {
    dso_module m;
    {
      std::lock_guard lock(dso_mu);
      if (i >= dso_modules().size()) break;
      if (dso_modules()[i].tried) continue;
      dso_modules()[i].tried = true;
      m = dso_modules()[i];
    }
    if (!m.config_path.empty() && zint_conf_get_section(ZINT_CONF_ROOT, m.config_path.c_str()) == nullptr) {
      zint_log(zint_debug, "module %s: not configured (%s absent)\n", m.name.c_str(),
               m.config_path.c_str());
      continue;
    }
    zint_dso_init_fn init = m.init ? m.init : lookup_symbol(m.name, "_dso_init");
    if (init == nullptr) {
      zint_log(zint_error, "module %s: no init function (%s_dso_init not found)\n", m.name.c_str(),
               m.name.c_str());
      rv = -1;
      continue;
    }
    int r = init();
    if (r != 0) {
      zint_log(zint_error, "module %s: init failed (%d)\n", m.name.c_str(), r);
      rv = -1;
      continue;
    }
    zint_log(zint_debug, "module %s: loaded\n", m.name.c_str());
    std::lock_guard lock(dso_mu);
    dso_modules()[i].loaded = true;
    if (dso_modules()[i].post_init == nullptr)
      dso_modules()[i].post_init = lookup_symbol(m.name, "_dso_post_init");
  }
  return rv;
}

int zint_dso_post_init(void) {
  int rv = 0;
  for (size_t i = 0;; i++) {
    zint_dso_init_fn post = nullptr;
    std::string name;
    {
      std::lock_guard lock(dso_mu);
      if (i >= dso_modules().size()) break;
      dso_module &m = dso_modules()[i];
      if (!m.loaded || m.posted) continue;
      m.posted = true;
      post = m.post_init;
      name = m.name;
    }
    if (post == nullptr) continue;
    int r = post();
    if (r != 0) {
      zint_log(zint_error, "module %s: post-init failed (%d)\n", name.c_str(), r);
      rv = -1;
    }
  }
  return rv;
}

zint_boolean zint_dso_loaded(const char *name) {
  if (name == nullptr) return false;
  std::lock_guard lock(dso_mu);
  for (const dso_module &m : dso_modules())
    if (m.name == name) return m.loaded;
  return false;
}

void zint_dso_reset(void) {
  std::lock_guard lock(dso_mu);
  dso_modules().clear();
}
