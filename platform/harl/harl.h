/* harl: the metric-message library. Decodes the bus's tab-separated metric lines ("M" samples,
 * "H" histograms) into harl_metric_message_t and expands "B" bundles (base64 of zlib text) into
 * their lines. Pure functions on byte buffers: no global state, any thread, never read past the
 * given length, bounded memory for any input. */
#ifndef HARL_HARL_H
#define HARL_HARL_H

#include <cstddef>
#include <cstdint>

/* Kind of a bus line: its first character. */
typedef enum {
  MESSAGE_TYPE_NONE = 0,
  MESSAGE_TYPE_B = 'B', /* bundle of lines */
  MESSAGE_TYPE_H = 'H', /* histogram sample */
  MESSAGE_TYPE_M = 'M', /* metric sample */
} harl_message_type;

/* Type code of a sample's value: the line's type field. */
typedef enum {
  METRIC_ABSENT = 0,
  METRIC_GUESS = '0',
  METRIC_INT32 = 'i',
  METRIC_UINT32 = 'I',
  METRIC_INT64 = 'l',
  METRIC_UINT64 = 'L',
  METRIC_DOUBLE = 'n',
  METRIC_STRING = 's',
  METRIC_HISTOGRAM = 'h',
  METRIC_HISTOGRAM_CUMULATIVE = 'H',
} metric_type_t;

/* What a sample is about. name points into original_message and is not terminated. */
typedef struct {
  unsigned char id[16];   /* check UUID */
  const char *name;       /* metric name, followed by its tag section if any */
  int name_len;           /* bytes of the bare name (before "|ST[") */
  int name_len_with_tags; /* bytes of the whole metric field */
  const char *source;     /* broker name, points into original_message */
  int source_len;
} harl_metric_id_t;

typedef struct {
  uint64_t whence_ms; /* sample time, milliseconds since the epoch */
  metric_type_t type; /* METRIC_HISTOGRAM for an "H" line */
  bool is_null;       /* the value was "[[null]]"; value is zero then */
  union {
    int32_t v_int32;   /* 'i' and '0' */
    uint32_t v_uint32; /* 'I' */
    int64_t v_int64;   /* 'l' */
    uint64_t v_uint64; /* 'L' */
    double v_double;   /* 'n' */
    char *v_string;    /* 's' text, or an "H" line's base64 histogram; NUL-terminated, owned by
                          the message and released by harl_metric_message_free */
  } value;
} harl_metric_value_t;

/* One decoded line. The caller allocates it zeroed (calloc), sets original_message,
 * original_message_len and optionally type, and releases it with harl_metric_message_free. Not
 * shared between threads. */
typedef struct {
  harl_metric_id_t id;
  harl_metric_value_t value;
  harl_message_type type;       /* the line's kind; 0 lets the decoder take it from the line */
  const char *original_message; /* the line's bytes; owned by the caller unless original_allocated */
  size_t original_message_len;  /* bytes of the line, without a terminator */
  bool original_allocated;      /* when true, harl_metric_message_free also frees original_message */
} harl_metric_message_t;

/* Largest bundle: inflated text and number of lines. Anything above is refused as a whole. */
#define HARL_BUNDLE_MAX_TEXT (16u * 1024u * 1024u)
#define HARL_BUNDLE_MAX_LINES 100000

/* Decodes msg->original_message (original_message_len bytes; one trailing "\n" is tolerated).
 * want: -1 for any sample kind ("M" or "H"), or 'M' / 'H' to accept only that kind. Returns 1 when
 * the line was decoded into msg; 0 when it is well formed but of another kind (a "B" line, or not
 * the wanted kind); -1 when it is malformed. On anything but 1 the value holds nothing that needs
 * releasing beyond what harl_metric_message_free does anyway. */
int harl_message_decoder_parse_line(harl_metric_message_t *msg, int want);
/* As harl_message_decoder_parse_line; on -1, *why (when why is not null) says why in a few words
 * ("bad time", "bad check id", ...: a static text), else it is set to null. */
int harl_message_decoder_parse_line_why(harl_metric_message_t *msg, int want, const char **why);

/* The reason given when a refusal came from a failed allocation, not from the input: callers
 * compare the pointer. */
extern const char harl_why_no_memory[];

/* Releases what the decoder attached (the string value), the line when original_allocated, and
 * msg itself (which must come from malloc/calloc). Null is fine. */
void harl_metric_message_free(harl_metric_message_t *msg);

/* Expands the bundle line "B\tsource\ttime\tcount\tdata" (len bytes; one trailing "\n" tolerated).
 * On success returns the number of lines and sets *lines to a malloc'd array of that many malloc'd
 * NUL-terminated lines (caller frees each and the array). max_lines: -1 for HARL_BUNDLE_MAX_LINES,
 * or a smaller positive limit. Returns -1 and leaves *lines null for anything malformed: bad
 * fields, bad base64, bad or truncated zlib data, trailing bytes, an inflated text above
 * HARL_BUNDLE_MAX_TEXT, more lines than allowed, or a count that differs from the lines found.
 * An empty bundle (count 0) returns 0 with *lines null. */
int harl_check_log_b_to_sm(const char *payload, int len, char ***lines, int max_lines);
/* As harl_check_log_b_to_sm; on -1, *why (when why is not null) says why ("bundle: bad base64",
 * ...: a static text), else it is set to null. */
int harl_check_log_b_to_sm_why(const char *payload, int len, char ***lines, int max_lines, const char **why);

/* Builds a bundle line (with its trailing "\n") from text, the count lines joined by "\n".
 * time_text is the time field as it should appear ("1733540000.25"). Returns a malloc'd
 * NUL-terminated line and its length in *len_out, or null when an argument is invalid (source
 * shorter than 8 bytes or with a TAB) or memory runs out. */
char *harl_bundle_build(const char *source, const char *time_text, const char *text, size_t text_len,
                        int count, size_t *len_out);

/* Parses a time field: decimal seconds with an optional fraction of 1 to 3 digits. True and
 * *ms set on success; false for anything else, including a value beyond 64-bit milliseconds. */
bool harl_parse_time_ms(const char *s, size_t len, uint64_t *ms);

/* Parses a 36-character 8-4-4-4-12 hex UUID in either case. False for anything else. */
bool harl_parse_uuid(const char *s, size_t len, unsigned char out[16]);

#endif
