/* arr: the service's only container of its own, an unordered growable array of untyped pointers
 * that knows how to compare and free its elements. No locking inside: the owner serialises use
 * (a stream's subscriber set under the stream lock, a session's watch list in its handlers). */
#ifndef VORN_ARR_H
#define VORN_ARR_H

#include <cstddef>

#include "zint/zint_common.h"

/* Says whether a stored element (first argument) and a probe (second) are the same element. */
typedef zint_boolean (*vorn_arr_equality_t)(void *stored, void *probe);
/* Frees one (non-null) element. */
typedef void (*vorn_arr_elem_free_t)(void *elem);

typedef struct vorn_arr {
  vorn_arr_equality_t equality_fn;   /* required: vorn_arr_remove calls it without a null test */
  vorn_arr_elem_free_t elem_free_fn; /* required when the array may hold non-null elements at free */
  void **elements;                   /* heap storage, owned by the array; slots [0, used) are live */
  size_t used;                       /* elements held */
  size_t capacity;                   /* slots allocated: 2 at first, only ever doubles */
} vorn_arr_t;

/* A new empty array of capacity 2. Allocation failure is fatal. */
vorn_arr_t *vorn_arr_new(vorn_arr_equality_t equality_fn, vorn_arr_elem_free_t elem_free_fn);
/* Appends elem (which may be null or already present); the array owns it from now on. */
void vorn_arr_add(vorn_arr_t *arr, void *elem);
/* Removes the first element that is the probe itself or equal to it (equality_fn(stored, probe))
 * and hands it back to the caller unfreed; the last element moves into its slot. Null when
 * nothing matched (the array is then unchanged). */
void *vorn_arr_remove(vorn_arr_t *arr, void *elem);
/* The storage itself (borrowed, valid until the next add or remove); *cnt = number held. */
void **vorn_arr_get_elements(vorn_arr_t *arr, size_t *cnt);
/* Number of elements held. */
size_t vorn_arr_size(vorn_arr_t *arr);
/* Frees every non-null element with elem_free_fn, in index order, then the array. arr not null. */
void vorn_arr_free(vorn_arr_t *arr);

#endif
