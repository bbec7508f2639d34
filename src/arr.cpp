/* arr: unordered growable pointer array. Appends double the storage when full; removal is a
 * linear scan that fills the hole with the last element, so element order carries no meaning. */
#include "arr.h"

#include <cstdint>
#include <cstdlib>

vorn_arr_t *vorn_arr_new(vorn_arr_equality_t equality_fn, vorn_arr_elem_free_t elem_free_fn) {
  vorn_arr_t *arr = static_cast<vorn_arr_t *>(calloc(1, sizeof(vorn_arr_t)));
  ZINT_ASSERT(arr);
  void **elements = static_cast<void **>(calloc(2, sizeof(void *)));
  ZINT_ASSERT(elements);
  arr->equality_fn = equality_fn;
  arr->elem_free_fn = elem_free_fn;
  arr->elements = elements;
  arr->used = 0;
  arr->capacity = 2;
  return arr;
}

void vorn_arr_add(vorn_arr_t *arr, void *elem) {
  if (arr->used == arr->capacity) {
    void **elements = nullptr;
    /* A doubled size that overflows size_t is an allocation that cannot succeed. */
    if (arr->capacity <= SIZE_MAX / (2 * sizeof(void *)))
      elements = static_cast<void **>(realloc(arr->elements, arr->capacity * 2 * sizeof(void *)));
    ZINT_ASSERT(elements);
    arr->elements = elements;
    arr->capacity *= 2;
  }
  arr->elements[arr->used++] = elem;
}

void *vorn_arr_remove(vorn_arr_t *arr, void *elem) {
  for (size_t i = 0; i < arr->used; i++) {
    void *stored = arr->elements[i];
    if (stored != elem && !arr->equality_fn(stored, elem))
      continue;
    size_t last = arr->used - 1;
    if (i != last)
      arr->elements[i] = arr->elements[last];
    arr->elements[last] = nullptr;
    arr->used--;
    return stored;
  }
  return nullptr;
}

void **vorn_arr_get_elements(vorn_arr_t *arr, size_t *cnt) {
  *cnt = arr->used;
  return arr->elements;
}

size_t vorn_arr_size(vorn_arr_t *arr) { return arr->used; }

void vorn_arr_free(vorn_arr_t *arr) {
  for (size_t i = 0; i < arr->used; i++)
    if (arr->elements[i] != nullptr)
      arr->elem_free_fn(arr->elements[i]);
  free(arr->elements);
  free(arr);
}
