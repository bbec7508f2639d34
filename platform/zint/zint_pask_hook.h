/* zint message-bus hook: how service modules ask the message-bus module (platform/pask) to hand
 * them every bus message. The framework only declares the interface; the module defines the
 * registration below, so a program that registers hooks links the module (library "pask"). */
#ifndef ZINT_PASK_HOOK_H
#define ZINT_PASK_HOOK_H

#include "zint/zint_common.h"

#include <cstddef>

/* What a hook tells the module after seeing a message. */
typedef enum {
  ZINT_HOOK_CONTINUE = 0, /* later hooks see the message too */
  ZINT_HOOK_DONE = 1,     /* the message is dealt with: later hooks are skipped */
} zint_hook_return_t;

/* The bus connection and one bus message, as the module knows them; opaque to hooks (see
 * "pask/pask.h" for the accessors). */
struct pask_conn_s;
struct pask_msg;

/* A message hook, called on the module's delivery thread for each message in registration order.
 * payload: the message's bytes, payload_len of them, followed by a NUL byte the module adds; the
 * buffer belongs to the module and lives until the last hook returns. A hook may overwrite bytes
 * inside payload_len (later hooks see the change) but must copy what it keeps, or keep the whole
 * message (pask_msg_keep in "pask/pask.h"). connection_id
 * counts the connections made so far (1 for the first). */
typedef zint_hook_return_t (*zint_pask_handle_message_hook_t)(void *closure, struct pask_conn_s *client,
                                                               int connection_id, struct pask_msg *msg,
                                                               const void *payload, size_t payload_len);

/* The module's name in the framework's module registry (zint_dso_register). */
#define ZINT_PASK_DSO_NAME "pask"

/* Registers func (name may be null; it only labels the hook in logs). When the message-bus module
 * was not loaded at start-up (no "//network/in/mq" in the configuration, or its init failed), the
 * process stops with a fatal message: hooks would never see a message. 0, or -1 when func is null
 * or the module's hook table is full. Hooks are never unregistered. */
int zint_pask_handle_message_hook_register(const char *name, zint_pask_handle_message_hook_t func,
                                           void *closure);

#endif
