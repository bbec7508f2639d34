/* Text output shared by the statistics writers (JSON and the Prometheus text format). Internal to
 * the library. */
#ifndef STATS_STATS_TEXT_H
#define STATS_STATS_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

/* Appends s to out with every byte sequence that is not well-formed UTF-8 replaced by U+FFFD (one
 * per maximal ill-formed subpart), so the output is always valid UTF-8. Each ASCII byte goes
 * through ascii(out, c), which writes it or its escape. */
template <class Ascii> void stats_append_utf8(std::string &out, std::string_view s, Ascii &&ascii) {
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  size_t n = s.size(), i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ascii(out, c);
      i++;
      continue;
    }
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF; /* allowed range of the second byte */
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      out += "\xEF\xBF\xBD";
      i++;
      continue;
    }
    size_t k = 1;
    for (; k <= need && i + k < n; k++) {
      unsigned char b = p[i + k];
      if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF))
        break;
    }
    if (k <= need) { /* cut short or broken: replace what was consumed, resume at the bad byte */
      out += "\xEF\xBF\xBD";
      i += k;
      continue;
    }
    out.append(s.data() + i, need + 1);
    i += need + 1;
  }
}

#endif
