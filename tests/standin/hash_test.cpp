// Hash tables as extensions use them: NUL-counted key lengths, quick
// lookups with zend_hash_func, insertion order, positions of the caller's
// own, element destructors and persistent tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin_runtime.h"

namespace {

struct Record {
  long id;
  char name[16];
};

std::vector<long> gDestroyed;

void recordDestroyed(void *pData) { gDestroyed.push_back(static_cast<Record *>(pData)->id); }

class StandinHash : public ::testing::Test {
 protected:
  void SetUp() override {
    gDestroyed.clear();
    zend_hash_init(&ht_, 0, nullptr, recordDestroyed, 1);
  }
  void TearDown() override { zend_hash_destroy(&ht_); }

  void add(const char *key, long id) {
    Record r = {id, ""};
    ASSERT_EQ(SUCCESS, zend_hash_update(&ht_, key, strlen(key) + 1, &r, sizeof(r), nullptr));
  }

  HashTable ht_;
};

TEST_F(StandinHash, StringKeyLengthCountsTheTerminatingNul) {
  add("SERVER_NAME", 1);
  Record *found = nullptr;
  EXPECT_EQ(SUCCESS, zend_hash_find(&ht_, "SERVER_NAME", sizeof("SERVER_NAME"), reinterpret_cast<void **>(&found)));
  EXPECT_EQ(1, found->id);
  EXPECT_EQ(FAILURE, zend_hash_find(&ht_, "SERVER_NAME", strlen("SERVER_NAME"), reinterpret_cast<void **>(&found)));

  char *key = nullptr;
  zend_uint keyLength = 0;
  HashPosition pos;
  zend_hash_internal_pointer_reset_ex(&ht_, &pos);
  EXPECT_EQ(HASH_KEY_IS_STRING, zend_hash_get_current_key_ex(&ht_, &key, &keyLength, nullptr, 0, &pos));
  EXPECT_STREQ("SERVER_NAME", key);
  EXPECT_EQ(sizeof("SERVER_NAME"), keyLength);
}

TEST_F(StandinHash, QuickLookupsUseThePrecomputedHash) {
  add("REQUEST_URI", 7);
  const zend_ulong h = zend_hash_func("REQUEST_URI", sizeof("REQUEST_URI"));
  Record *found = nullptr;
  EXPECT_EQ(SUCCESS, zend_hash_quick_find(&ht_, "REQUEST_URI", sizeof("REQUEST_URI"), h,
                                          reinterpret_cast<void **>(&found)));
  EXPECT_EQ(7, found->id);
  EXPECT_TRUE(zend_hash_quick_exists(&ht_, "REQUEST_URI", sizeof("REQUEST_URI"), h));
  // The hash is over the same bytes: a hash of the length without the NUL
  // does not find the key.
  const zend_ulong wrong = zend_hash_func("REQUEST_URI", strlen("REQUEST_URI"));
  EXPECT_FALSE(zend_hash_quick_exists(&ht_, "REQUEST_URI", sizeof("REQUEST_URI"), wrong));
}

TEST_F(StandinHash, IterationKeepsInsertionOrderWithPositionsOfTheCallersOwn) {
  add("c", 3);
  add("a", 1);
  Record r = {10, ""};
  zend_hash_index_update(&ht_, 10, &r, sizeof(r), nullptr);
  r.id = 11;
  zend_hash_next_index_insert(&ht_, &r, sizeof(r), nullptr);  // takes index 11
  add("b", 2);
  add("c", 30);  // an update keeps the element's place

  zend_hash_internal_pointer_reset(&ht_);
  zend_hash_move_forward(&ht_);  // the table's own pointer now on "a"

  std::vector<std::string> seen;
  HashPosition pos;
  zend_hash_internal_pointer_reset_ex(&ht_, &pos);
  Record *data;
  while (zend_hash_get_current_data_ex(&ht_, reinterpret_cast<void **>(&data), &pos) == SUCCESS) {
    char *key;
    zend_ulong index;
    if (zend_hash_get_current_key_ex(&ht_, &key, nullptr, &index, 0, &pos) == HASH_KEY_IS_STRING) {
      seen.push_back(std::string(key) + "=" + std::to_string(data->id));
    } else {
      seen.push_back("#" + std::to_string(index) + "=" + std::to_string(data->id));
    }
    zend_hash_move_forward_ex(&ht_, &pos);
  }
  EXPECT_EQ((std::vector<std::string>{"c=30", "a=1", "#10=10", "#11=11", "b=2"}), seen);
  EXPECT_EQ(5, zend_hash_num_elements(&ht_));

  char *key;
  ASSERT_EQ(HASH_KEY_IS_STRING, zend_hash_get_current_key(&ht_, &key, nullptr, 0));
  EXPECT_STREQ("a", key) << "walking with a position of our own must not move the table's pointer";
}

TEST_F(StandinHash, ElementDestructorRunsOnReplaceDeleteAndDestroy) {
  add("x", 1);
  add("y", 2);
  add("x", 3);
  EXPECT_EQ((std::vector<long>{1}), gDestroyed);
  EXPECT_EQ(SUCCESS, zend_hash_del(&ht_, "y", sizeof("y")));
  EXPECT_EQ((std::vector<long>{1, 2}), gDestroyed);
  Record r = {4, ""};
  EXPECT_EQ(FAILURE, zend_hash_add(&ht_, "x", sizeof("x"), &r, sizeof(r), nullptr)) << "add never replaces";
  zend_hash_destroy(&ht_);
  EXPECT_EQ((std::vector<long>{1, 2, 3}), gDestroyed);
  zend_hash_init(&ht_, 0, nullptr, recordDestroyed, 1);
}

TEST_F(StandinHash, PersistentTableNeedsNoRequest) {
  // A module's own tables live from module start to shutdown, outside any
  // request: they never use the request's engine memory.
  for (long i = 0; i < 100; ++i) add(("key" + std::to_string(i)).c_str(), i);
  EXPECT_EQ(0u, standin::engineMemoryBlocks());
  Record *found;
  EXPECT_EQ(SUCCESS, zend_hash_find(&ht_, "key42", sizeof("key42"), reinterpret_cast<void **>(&found)));
  EXPECT_EQ(42, found->id);
}

}  // namespace
