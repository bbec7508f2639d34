/* Tests of the growable pointer array: growth, unordered removal, equality calls and freeing. */
#include "arr.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

/* Elements are ints compared by value; every call is recorded. */
std::vector<std::pair<void *, void *>> eq_calls;
std::vector<void *> freed;

zint_boolean int_eq(void *stored, void *probe) {
  eq_calls.emplace_back(stored, probe);
  return stored != nullptr && probe != nullptr &&
         *static_cast<int *>(stored) == *static_cast<int *>(probe);
}

void record_free(void *elem) { freed.push_back(elem); }

std::vector<void *> contents(vorn_arr_t *arr) {
  size_t cnt = 99;
  void **el = vorn_arr_get_elements(arr, &cnt);
  return std::vector<void *>(el, el + cnt);
}

struct ArrTest : ::testing::Test {
  int a = 1, b = 2, c = 3, d = 4, e = 5;
  vorn_arr_t *arr = nullptr;
  void SetUp() override {
    eq_calls.clear();
    freed.clear();
    arr = vorn_arr_new(int_eq, record_free);
  }
  void TearDown() override {
    if (arr)
      vorn_arr_free(arr);
  }
};

} // namespace

// what this proves: a new array is empty with capacity 2, and appends double the capacity at
// the third and fifth element while every element keeps its position
TEST_F(ArrTest, GrowthKeepsPositions) {
  size_t cnt = 99;
  vorn_arr_get_elements(arr, &cnt);
  EXPECT_EQ(cnt, 0u);
  EXPECT_EQ(vorn_arr_size(arr), 0u);
  EXPECT_EQ(arr->capacity, 2u);
  vorn_arr_add(arr, &a);
  vorn_arr_add(arr, &b);
  EXPECT_EQ(arr->capacity, 2u);
  vorn_arr_add(arr, &c);
  EXPECT_EQ(arr->capacity, 4u);
  vorn_arr_add(arr, &d);
  vorn_arr_add(arr, &e);
  EXPECT_EQ(arr->capacity, 8u);
  EXPECT_EQ(contents(arr), (std::vector<void *>{&a, &b, &c, &d, &e}));
  for (int i = 0; i < 100; i++)
    vorn_arr_add(arr, nullptr);
  EXPECT_EQ(arr->capacity, 128u);
  EXPECT_EQ(vorn_arr_size(arr), 105u);
  EXPECT_TRUE(eq_calls.empty());
}

// what this proves: removal moves the last element into the hole (or just drops the last),
// returns the stored element unfreed, and shrinks nothing but the count
TEST_F(ArrTest, RemovalIsUnordered) {
  for (int which = 0; which < 3; which++) {
    vorn_arr_t *x = vorn_arr_new(int_eq, record_free);
    int *el[3] = {&a, &b, &c};
    for (int *p : el)
      vorn_arr_add(x, p);
    EXPECT_EQ(vorn_arr_remove(x, el[which]), el[which]);
    std::vector<void *> expect[3] = {{&c, &b}, {&a, &c}, {&a, &b}};
    EXPECT_EQ(contents(x), expect[which]) << which;
    EXPECT_EQ(x->elements[2], nullptr); /* the vacated last slot is cleared */
    EXPECT_EQ(x->capacity, 4u);
    vorn_arr_free(x);
  }
  EXPECT_EQ(freed.size(), 6u); /* only the elements still held were freed */
}

// what this proves: a probe not held returns null, changes nothing and calls equality once per
// element that is not the probe itself, stored element first; the lowest equal index wins
TEST_F(ArrTest, RemovalMatching) {
  int probe = 7, b2 = 2;
  vorn_arr_add(arr, &a);
  vorn_arr_add(arr, &b);
  vorn_arr_add(arr, &c);
  EXPECT_EQ(vorn_arr_remove(arr, &probe), nullptr);
  EXPECT_EQ(contents(arr), (std::vector<void *>{&a, &b, &c}));
  ASSERT_EQ(eq_calls.size(), 3u);
  EXPECT_EQ(eq_calls[0], std::make_pair(static_cast<void *>(&a), static_cast<void *>(&probe)));
  EXPECT_EQ(eq_calls[2].first, &c);
  /* The very pointer matches without asking equality. */
  eq_calls.clear();
  EXPECT_EQ(vorn_arr_remove(arr, &a), &a);
  EXPECT_TRUE(eq_calls.empty());
  /* Two stored elements equal to the probe: the lower index goes. */
  vorn_arr_add(arr, &b2); /* [c, b, b2] */
  EXPECT_EQ(contents(arr), (std::vector<void *>{&c, &b, &b2}));
  int probe2 = 2;
  EXPECT_EQ(vorn_arr_remove(arr, &probe2), &b);
  EXPECT_EQ(contents(arr), (std::vector<void *>{&c, &b2}));
  EXPECT_EQ(vorn_arr_remove(arr, &probe2), &b2);
  EXPECT_EQ(vorn_arr_remove(arr, &c), &c);
  EXPECT_EQ(vorn_arr_remove(arr, &c), nullptr);
  EXPECT_EQ(vorn_arr_size(arr), 0u);
}

// what this proves: the same pointer may be held twice; free calls elem_free only for non-null
// elements, in index order
TEST_F(ArrTest, FreeSkipsNullInOrder) {
  vorn_arr_add(arr, &a);
  vorn_arr_add(arr, nullptr);
  vorn_arr_add(arr, &b);
  vorn_arr_add(arr, &a);
  EXPECT_EQ(vorn_arr_size(arr), 4u);
  vorn_arr_free(arr);
  arr = nullptr;
  EXPECT_EQ(freed, (std::vector<void *>{&a, &b, &a}));
}
