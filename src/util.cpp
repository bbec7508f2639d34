/* util: small helpers shared by the service's modules. */
#include "util.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void vorn_asprintf(int &len, char *&buf, const char *fmt, ...) {
  buf = nullptr;
  len = -1;
  va_list ap;
  va_start(ap, fmt);
  int need = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (need < 0)
    return;
  char *text = static_cast<char *>(malloc(static_cast<size_t>(need) + 1));
  if (text == nullptr)
    return;
  va_start(ap, fmt);
  int wrote = vsnprintf(text, static_cast<size_t>(need) + 1, fmt, ap);
  va_end(ap);
  if (wrote != need) {
    free(text);
    return;
  }
  buf = text;
  len = need;
}
