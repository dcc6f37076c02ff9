// The memory engine: DynArray, FlexDynArray, their byte order, verification and log output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "CoreServices.h"
#include "TestSupport.h"
#include "fileEngine.h"
#include "memoryEngine2.h"

namespace fs = std::filesystem;
using velmtest::makeTempDir;
using velmtest::readFile;
using velmtest::ScopedEnv;

namespace {

// ---- DynArray helpers

struct Item {
  UInt32 id;
  UInt32 value;
  UInt32 tag;
};

struct Array {
  Array(UInt32 itemSize = sizeof(Item), UInt32 amount = 0) { EXPECT_EQ(noErr, memNewDynArray(&a, itemSize, amount)); }
  ~Array() { memFreeDynArray(&a); }
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  DynArray* operator->() { return &a; }
  DynArray* get() { return &a; }
  DynArray a{};
};

void appendIDs(DynArray* a, std::initializer_list<UInt32> ids) {
  for (UInt32 id : ids) {
    Item item{id, id * 10, 0xA5A5A5A5};
    ASSERT_EQ(noErr, memAppendItem(a, &item));
  }
}

std::vector<UInt32> idsOf(const DynArray* a) {
  std::vector<UInt32> ids;
  for (UInt32 i = 0; i < a->itemCount; ++i) ids.push_back(memGetItemID(a, i));
  return ids;
}

// ---- FlexDynArray helpers

struct Record {
  UInt32 id;
  UInt32 type;
  std::string payload;
  bool operator==(const Record&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Record& r) {
  return os << "(" << r.id << ", " << r.type << ", \"" << r.payload << "\")";
}

struct Store {
  Store() { memSetFlexInvalid(&s); }
  ~Store() { memFreeFlexDynArray(&s); }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  FlexDynArray* operator->() { return &s; }
  FlexDynArray* get() { return &s; }
  std::string bytes() const { return std::string(s.data, s.totalDataSize); }
  FlexDynArray s{};
};

// A store holding exactly these bytes, as if read from a file.
void setBytes(Store& store, const std::string& bytes) {
  memFreeFlexDynArray(store.get());
  ASSERT_EQ(noErr, memNewFlexDynArray(store.get(), static_cast<UInt32>(bytes.size())));
  if (!bytes.empty()) std::memcpy(store->data, bytes.data(), bytes.size());
  store->totalDataSize = static_cast<UInt32>(bytes.size());
}

std::string u32(UInt32 v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

// One record's bytes: header in host order, then the payload. claimed overrides the size field.
std::string recordBytes(UInt32 id, UInt32 type, const std::string& payload, std::optional<UInt32> claimed = {}) {
  return u32(id) + u32(claimed.value_or(static_cast<UInt32>(payload.size()))) + u32(type) + payload;
}

// The records of a store, read from its bytes independently of the engine's walks.
std::vector<Record> recordsOf(const FlexDynArray* s) {
  std::vector<Record> out;
  size_t at = 0;
  while (at + 12 <= s->totalDataSize) {
    UInt32 h[3];
    std::memcpy(h, s->data + at, 12);
    EXPECT_LE(at + 12 + h[1], s->totalDataSize) << "record at " << at << " reaches past the data";
    if (at + 12 + h[1] > s->totalDataSize) break;
    out.push_back({h[0], h[2], std::string(s->data + at + 12, h[1])});
    at += 12 + h[1];
  }
  EXPECT_EQ(at, s->totalDataSize);
  return out;
}

std::vector<FlexIndexEntry> indexOf(const FlexDynArray* s) {
  std::vector<FlexIndexEntry> out(s->index.itemCount);
  if (!out.empty()) std::memcpy(out.data(), s->index.data, out.size() * sizeof(FlexIndexEntry));
  return out;
}

// The location of each record, in order.
std::vector<UInt32> locationsOf(const FlexDynArray* s) {
  std::vector<UInt32> out;
  for (size_t at = 0; at + 12 <= s->totalDataSize;) {
    out.push_back(static_cast<UInt32>(at));
    UInt32 size;
    std::memcpy(&size, s->data + at + 4, 4);
    at += 12 + size;
  }
  return out;
}

void change(Store& s, UInt32 id, UInt32 type, const std::string& payload) {
  ASSERT_EQ(noErr, memChangeFlexData(s.get(), id, type, static_cast<UInt32>(payload.size()), payload.data()));
}

void addAtEnd(Store& s, UInt32 id, UInt32 type, const std::string& payload) {
  ASSERT_EQ(noErr, memAddFlexDataAtEnd(s.get(), id, type, static_cast<UInt32>(payload.size()), payload.data()));
}

// The payload of a record through the lookup, or nullopt with the status.
std::optional<std::string> payloadOf(const FlexDynArray* s, UInt32 id, UInt32 type, OSErr* status = nullptr) {
  UInt32 size = 0;
  const void* p = nullptr;
  OSErr err = memGetFlexDataInfo(s, id, type, &size, &p);
  if (status) *status = err;
  if (err != noErr) return std::nullopt;
  return std::string(static_cast<const char*>(p), size);
}

// ---- The diagnostics log, on a private Desktop

class LogCapture {
 public:
  LogCapture() : desk_(fs::canonical(makeTempDir("desk"))), env_("XDG_DESKTOP_DIR", desk_.c_str()) {}

  // The entries appended since the last call, each a carriage-return-ended piece of text.
  // Dated entries of this module are given as "memoryEngine2: message" (the date, time and
  // source line taken out), formatted lines as they are.
  std::vector<std::string> newEntries() {
    std::string all = readFile(desk_ / "RZM Log.txt");
    std::string added = all.substr(std::min(seen_, all.size()));
    seen_ = all.size();
    if (!headerSkipped_) {
      size_t end = added.find("\n\n\n");
      if (end != std::string::npos) added = added.substr(end + 3);
      headerSkipped_ = true;
    }
    std::vector<std::string> out;
    static const std::regex dated("^[^\t]*\t[^\t]*\tmemoryEngine2\t[0-9]+  \t([^]*)$");
    size_t start = 0;
    for (size_t cr; (cr = added.find('\r', start)) != std::string::npos; start = cr + 1) {
      std::string entry = added.substr(start, cr - start);
      std::smatch m;
      if (std::regex_match(entry, m, dated)) entry = "memoryEngine2: " + m[1].str();
      out.push_back(entry);
    }
    EXPECT_EQ(start, added.size()) << "an entry without its carriage return";
    return out;
  }

 private:
  fs::path desk_;
  ScopedEnv env_;
  size_t seen_ = 0;
  bool headerSkipped_ = false;
};

using Lines = std::vector<std::string>;

// ======== DynArray

TEST(DynArrayGrowth, StepsOf40Items) {
  struct Case {
    UInt32 initial;
    UInt32 appends;
    UInt32 allocated;
  };
  for (const Case& c : {Case{0, 1, 40}, Case{0, 40, 40}, Case{0, 41, 80}, Case{40, 40, 40}, Case{40, 41, 80},
                        Case{3, 4, 43}, Case{1, 82, 121}}) {
    SCOPED_TRACE(testing::Message() << "initial " << c.initial << ", " << c.appends << " appends");
    Array a(sizeof(Item), c.initial);
    for (UInt32 i = 0; i < c.appends; ++i) {
      Item item{i, ~i, 0x01020304};
      ASSERT_EQ(noErr, memAppendItem(a.get(), &item));
    }
    EXPECT_EQ(c.allocated, memGetAllocatedAmount(a.get()));
    ASSERT_EQ(c.appends, memGetItemCount(a.get()));
    for (UInt32 i = 0; i < c.appends; ++i) {
      Item got{};
      ASSERT_EQ(noErr, memCopyItemData(a.get(), i, &got));
      EXPECT_EQ(i, got.id);
      EXPECT_EQ(~i, got.value);
      EXPECT_EQ(0x01020304u, got.tag);
    }
  }
}

TEST(DynArrayGrowth, InsertingSeveralItemsGrowsEvenWhenTheyWouldFit) {
  struct Case {
    UInt32 allocated;
    UInt32 used;
    UInt32 inserted;
    UInt32 allocatedAfter;
  };
  // Room for exactly the new items still grows by the count plus 40; more room does not.
  for (const Case& c : {Case{5, 3, 2, 47}, Case{5, 5, 2, 47}, Case{10, 3, 2, 10}, Case{0, 0, 0, 40}}) {
    SCOPED_TRACE(testing::Message() << c.used << " of " << c.allocated << " + " << c.inserted);
    Array a(sizeof(Item), c.allocated);
    for (UInt32 i = 0; i < c.used; ++i) appendIDs(a.get(), {i * 10});
    std::vector<Item> items;
    for (UInt32 i = 0; i < c.inserted; ++i) items.push_back({100 + i, 0, 0});
    ASSERT_EQ(noErr, memInsertMoreItems(a.get(), 1 < c.used ? 1 : 0, c.inserted, items.data()));
    EXPECT_EQ(c.allocatedAfter, memGetAllocatedAmount(a.get()));
    EXPECT_EQ(c.used + c.inserted, memGetItemCount(a.get()));
  }
  Array a;
  appendIDs(a.get(), {1, 2, 3});
  Item two[2] = {{7, 0, 0}, {8, 0, 0}};
  ASSERT_EQ(noErr, memInsertMoreItems(a.get(), 1, 2, two));
  EXPECT_EQ((std::vector<UInt32>{1, 7, 8, 2, 3}), idsOf(a.get()));
  EXPECT_EQ(memErrOutOfRange, memInsertMoreItems(a.get(), 6, 2, two));
  EXPECT_EQ((std::vector<UInt32>{1, 7, 8, 2, 3}), idsOf(a.get()));
}

TEST(DynArrayItems, InsertDeleteAndPositions) {
  Array a;
  appendIDs(a.get(), {10, 20, 30});
  Item x{15, 0, 0};
  EXPECT_EQ(memErrOutOfRange, memInsertOneItem(a.get(), 4, &x));
  EXPECT_EQ((std::vector<UInt32>{10, 20, 30}), idsOf(a.get()));
  ASSERT_EQ(noErr, memInsertOneItem(a.get(), 3, &x));  // at itemCount: appends
  ASSERT_EQ(noErr, memInsertOneItem(a.get(), 0, &x));
  EXPECT_EQ((std::vector<UInt32>{15, 10, 20, 30, 15}), idsOf(a.get()));

  void* p = &x;
  EXPECT_EQ(memErrNotFound, memGetItemPtr(a.get(), 5, &p));
  EXPECT_EQ(nullptr, p);
  ASSERT_EQ(noErr, memGetItemPtr(a.get(), 2, &p));
  EXPECT_EQ(a->data + 2 * sizeof(Item), p);
  Item out{1, 2, 3};
  EXPECT_EQ(memErrNotFound, memCopyItemData(a.get(), 5, &out));
  EXPECT_EQ(1u, out.id);

  EXPECT_EQ(memErrNotFound, memDeleteOneItem(a.get(), 5));
  ASSERT_EQ(noErr, memDeleteOneItem(a.get(), 1));
  EXPECT_EQ((std::vector<UInt32>{15, 20, 30, 15}), idsOf(a.get()));
  ASSERT_EQ(noErr, memDeleteLastItem(a.get()));
  EXPECT_EQ((std::vector<UInt32>{15, 20, 30}), idsOf(a.get()));
  const UInt32 allocated = memGetAllocatedAmount(a.get());
  EXPECT_EQ(noErr, memDeleteAllItems(a.get()));
  EXPECT_EQ(0u, memGetItemCount(a.get()));
  EXPECT_EQ(allocated, memGetAllocatedAmount(a.get()));
  EXPECT_TRUE(memValidDynArray(a.get()));
  EXPECT_EQ(memErrEmpty, memDeleteLastItem(a.get()));
  EXPECT_EQ(memErrNotFound, memCopyItemData(a.get(), 0, &out));
}

// An item handed in from the array's own block is copied before the block grows or shifts.
TEST(DynArrayItems, ItemsFromTheArraysOwnBlock) {
  Array a(sizeof(Item), 2);
  appendIDs(a.get(), {1, 2});
  void* first = nullptr;
  ASSERT_EQ(noErr, memGetItemPtr(a.get(), 0, &first));
  ASSERT_EQ(noErr, memAppendItem(a.get(), first));  // full: the block moves
  EXPECT_EQ((std::vector<UInt32>{1, 2, 1}), idsOf(a.get()));
  void* second = nullptr;
  ASSERT_EQ(noErr, memGetItemPtr(a.get(), 1, &second));
  ASSERT_EQ(noErr, memInsertOneItem(a.get(), 0, second));  // the tail shifts over it
  EXPECT_EQ((std::vector<UInt32>{2, 1, 2, 1}), idsOf(a.get()));
  ASSERT_EQ(noErr, memGetItemPtr(a.get(), 1, &second));
  ASSERT_EQ(noErr, memInsertMoreItems(a.get(), 0, 2, second));
  EXPECT_EQ((std::vector<UInt32>{1, 2, 2, 1, 2, 1}), idsOf(a.get()));
}

TEST(DynArrayItems, MoveItemToNewIndex) {
  struct Case {
    UInt32 from;
    UInt32 to;
    OSErr status;
    std::vector<UInt32> order;
  };
  const std::vector<Case> cases = {
      {0, 3, noErr, {2, 3, 4, 1}},           {3, 0, noErr, {4, 1, 2, 3}},
      {1, 2, noErr, {1, 3, 2, 4}},           {2, 1, noErr, {1, 3, 2, 4}},
      {1, 1, noErr, {1, 2, 3, 4}},           {0, 4, memErrOutOfRange, {1, 2, 3, 4}},
      {3, 9, memErrOutOfRange, {1, 2, 3, 4}}, {4, 0, memErrNotFound, {1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.from << " to " << c.to);
    Array a;
    appendIDs(a.get(), {1, 2, 3, 4});
    EXPECT_EQ(c.status, memMoveItemToNewIndex(a.get(), c.from, c.to));
    EXPECT_EQ(c.order, idsOf(a.get()));
    Item moved{};
    for (UInt32 i = 0; i < 4; ++i) {
      memCopyItemData(a.get(), i, &moved);
      EXPECT_EQ(moved.id * 10, moved.value);  // every item keeps its own bytes
    }
  }
  Array empty;
  EXPECT_EQ(memErrNotFound, memMoveItemToNewIndex(empty.get(), 0, 1));
}

TEST(DynArrayLifecycle, ValidityFreeResizeAndSameData) {
  DynArray a;
  memSetInvalid(&a);
  EXPECT_FALSE(memValidDynArray(&a));
  EXPECT_EQ(noErr, memFreeDynArray(&a));  // an invalid record: nothing happens
  EXPECT_FALSE(memValidDynArray(&a));
  EXPECT_TRUE(memSameData(&a, 0, nullptr));

  ASSERT_EQ(noErr, memNewDynArray(&a, 8, 4));
  EXPECT_TRUE(memValidDynArray(&a));
  UInt64 v[3] = {1, 2, 3};
  for (auto& x : v) ASSERT_EQ(noErr, memAppendItem(&a, &x));
  EXPECT_TRUE(memSameData(&a, 24, v));
  EXPECT_FALSE(memSameData(&a, 16, v));
  UInt64 w[3] = {1, 2, 4};
  EXPECT_FALSE(memSameData(&a, 24, w));

  EXPECT_EQ(memErrOutOfRange, memResizeMemory(&a, 2));  // below the items in use: refused
  EXPECT_EQ(4u, memGetAllocatedAmount(&a));
  ASSERT_EQ(noErr, memResizeMemory(&a, 100));
  EXPECT_EQ(100u, memGetAllocatedAmount(&a));
  ASSERT_EQ(noErr, memShrinkToUsed(&a));
  EXPECT_EQ(3u, memGetAllocatedAmount(&a));
  EXPECT_TRUE(memSameData(&a, 24, v));

  EXPECT_EQ(noErr, memFreeDynArray(&a));
  EXPECT_FALSE(memValidDynArray(&a));
  EXPECT_EQ(8u, memGetItemSize(&a));  // the item size stays
  EXPECT_EQ(0u, memGetItemCount(&a));
  EXPECT_EQ(nullptr, a.data);
}

// Sizes are 32-bit: a product or sum that would not fit is refused, and nothing changes.
TEST(DynArrayLifecycle, SizesThatWouldNotFitIn32Bits) {
  DynArray a;
  EXPECT_EQ(memErrNoMemory, memNewDynArray(&a, 0x10000, 0x10000));
  EXPECT_EQ(nullptr, a.data);
  EXPECT_EQ(0u, a.itemSize);
  EXPECT_EQ(0u, a.allocatedAmount);

  Array b(0x1000, 2);
  std::vector<char> item(0x1000, 'x');
  ASSERT_EQ(noErr, memAppendItem(b.get(), item.data()));
  Ptr before = b->data;
  EXPECT_EQ(memErrNoMemory, memResizeMemory(b.get(), 0x100000));
  EXPECT_EQ(memErrNoMemory, memInsertMoreItems(b.get(), 0, 0x100000, item.data()));
  EXPECT_EQ(memErrNoMemory, memInsertMoreItems(b.get(), 0, 0xFFFFFFFF, item.data()));
  EXPECT_EQ(before, b->data);
  EXPECT_EQ(2u, memGetAllocatedAmount(b.get()));
  EXPECT_EQ(1u, memGetItemCount(b.get()));

  // A full array at the top of the 32-bit range (its counts faked over a small block).
  Array c(1, 8);
  c->allocatedAmount = c->itemCount = 0xFFFFFFF0;
  char one = 'y';
  EXPECT_EQ(memErrNoMemory, memAppendItem(c.get(), &one));
  EXPECT_EQ(memErrNoMemory, memInsertOneItem(c.get(), 0, &one));
  EXPECT_EQ(0xFFFFFFF0u, memGetAllocatedAmount(c.get()));
  c->allocatedAmount = 8;
  c->itemCount = 0;
}

TEST(DynArrayLifecycle, Copies) {
  Array source(sizeof(Item), 50);
  appendIDs(source.get(), {3, 1, 2});
  EXPECT_EQ(memErrEmpty, memCopyDynArray(source.get(), nullptr));

  DynArray invalid;
  memSetInvalid(&invalid);
  ASSERT_EQ(noErr, memCopyDynArray(source.get(), &invalid));
  EXPECT_EQ(sizeof(Item), memGetItemSize(&invalid));
  EXPECT_EQ(50u, memGetAllocatedAmount(&invalid));
  EXPECT_TRUE(memSameData(&invalid, 3 * sizeof(Item), source->data));
  memFreeDynArray(&invalid);

  Array roomy(sizeof(Item), 200);
  appendIDs(roomy.get(), {9, 9, 9, 9, 9});
  ASSERT_EQ(noErr, memCopyDynArray(source.get(), roomy.get()));
  EXPECT_EQ(50u, memGetAllocatedAmount(roomy.get()));  // the copy takes the source's amount
  EXPECT_EQ((std::vector<UInt32>{3, 1, 2}), idsOf(roomy.get()));

  Array other(8, 4);
  UInt64 keep = 77;
  memAppendItem(other.get(), &keep);
  EXPECT_EQ(memErrEmpty, memCopyDynArray(source.get(), other.get()));
  EXPECT_EQ(8u, memGetItemSize(other.get()));
  EXPECT_EQ(4u, memGetAllocatedAmount(other.get()));
  EXPECT_TRUE(memSameData(other.get(), 8, &keep));
}

TEST(DynArrayWalk, StopsWhenAskedAndPassesContexts) {
  struct Visit {
    std::vector<UInt32> ids;
    UInt32 stopAfter;
  };
  auto proc = [](UInt32 index, void* item, void* c1, void* c2) -> Boolean {
    auto* v = static_cast<Visit*>(c1);
    EXPECT_EQ(reinterpret_cast<void*>(0x1234), c2);
    EXPECT_EQ(index, v->ids.size());
    v->ids.push_back(static_cast<Item*>(item)->id);
    return v->ids.size() < v->stopAfter;
  };
  Array empty;
  Visit none{{}, 99};
  EXPECT_EQ(memErrEmpty, memWalkDynArray(empty.get(), &none, reinterpret_cast<void*>(0x1234), proc));
  EXPECT_TRUE(none.ids.empty());

  Array a;
  appendIDs(a.get(), {5, 6, 7});
  for (UInt32 stop : {1u, 2u, 99u}) {
    Visit v{{}, stop};
    EXPECT_EQ(noErr, memWalkDynArray(a.get(), &v, reinterpret_cast<void*>(0x1234), proc));
    EXPECT_EQ(std::min<size_t>(stop, 3), v.ids.size());
  }
  // A procedure that deletes the items behind it ends the walk at the new end.
  auto shrink = [](UInt32, void*, void* c1, void*) -> Boolean {
    memDeleteLastItem(static_cast<DynArray*>(c1));
    return TRUE;
  };
  EXPECT_EQ(noErr, memWalkDynArray(a.get(), a.get(), nullptr, shrink));
  EXPECT_EQ(1u, memGetItemCount(a.get()));
}

// ---- Search by ID

TEST(DynArraySearch, SortedIDsWithStartHints) {
  Array a;
  appendIDs(a.get(), {10, 20, 30});
  struct Case {
    UInt32 wanted;
    OSErr status;
    UInt32 index;
  };
  for (const Case& c : {Case{20, noErr, 1}, Case{25, memErrNotFound, 1}, Case{35, memErrNotFound, 1},
                        Case{5, memErrNotFound, 0}, Case{10, noErr, 0}, Case{30, noErr, 2},
                        Case{15, memErrNotFound, 0}, Case{0xFFFFFFFF, memErrNotFound, 1}}) {
    SCOPED_TRACE(c.wanted);
    UInt32 index = 99;
    EXPECT_EQ(c.status, memGetItemIndexFromID(a.get(), c.wanted, &index));
    EXPECT_EQ(c.index, index);
    void* item = &index;
    EXPECT_EQ(c.status, memGetItemBySortedID(a.get(), c.wanted, &item));
    if (c.status == noErr)
      EXPECT_EQ(c.wanted, static_cast<Item*>(item)->id);
    else
      EXPECT_EQ(nullptr, item);
  }
  Array empty;
  UInt32 index = 99;
  EXPECT_EQ(memErrEmpty, memGetItemIndexFromID(empty.get(), 20, &index));
  EXPECT_EQ(99u, index);
  EXPECT_EQ(memErrEmpty, memUInt64GetIndexFromSortedID(empty.get(), 20, &index));
  EXPECT_EQ(99u, index);
  void* item = &index;
  EXPECT_EQ(memErrEmpty, memGetItemBySortedID(empty.get(), 20, &item));
  EXPECT_EQ(nullptr, item);
}

// Over many sorted arrays: a present ID is found; for an absent one the hint names an item
// with a smaller ID (or item 0), so that a forward scan from it cannot pass the wanted ID.
TEST(DynArraySearch, HintsNeverPassTheWantedID) {
  std::mt19937 random(12);
  for (int round = 0; round < 300; ++round) {
    Array a;
    const UInt32 n = random() % 40 + 1;
    std::vector<UInt32> ids;
    UInt32 id = random() % 5;
    for (UInt32 i = 0; i < n; ++i) ids.push_back(id += 1 + random() % 4);
    for (UInt32 v : ids) appendIDs(a.get(), {v});
    for (UInt32 wanted = 0; wanted <= ids.back() + 2; ++wanted) {
      UInt32 index = 0;
      OSErr err = memGetItemIndexFromID(a.get(), wanted, &index);
      bool present = std::binary_search(ids.begin(), ids.end(), wanted);
      ASSERT_EQ(present ? OSErr{noErr} : memErrNotFound, err) << wanted;
      ASSERT_LT(index, n);
      if (present) {
        ASSERT_EQ(wanted, ids[index]);
      } else {
        ASSERT_TRUE(index == 0 || ids[index] < wanted) << wanted;
      }
    }
  }
}

TEST(DynArraySearch, UnsortedScanFindsTheFirstOfEqualIDs) {
  Array a;
  Item items[] = {{7, 1, 0}, {3, 2, 0}, {7, 3, 0}};
  for (auto& it : items) memAppendItem(a.get(), &it);
  void* found = nullptr;
  ASSERT_EQ(noErr, memGetItemByUnsortedID(a.get(), 7, &found));
  EXPECT_EQ(1u, static_cast<Item*>(found)->value);
  EXPECT_EQ(memErrNotFound, memGetItemByUnsortedID(a.get(), 8, &found));
  EXPECT_EQ(nullptr, found);
  Array empty;
  void* untouched = &found;
  EXPECT_EQ(memErrEmpty, memGetItemByUnsortedID(empty.get(), 7, &untouched));
  EXPECT_EQ(&found, untouched);
}

// 64-bit IDs that differ only in their upper half sort and search as different IDs.
TEST(DynArraySearch, SixtyFourBitIDsDifferingInTheUpperHalf) {
  struct Wide {
    UInt64 id;
    UInt32 tag;
  };
  const std::vector<UInt64> ids = {0x0000000500000001ull, 0x0000000100000001ull, 0xFFFFFFFF00000001ull,
                                   0x0000000000000001ull, 0x8000000000000001ull, 0x0000000200000001ull};
  Array a(sizeof(Wide), 0);
  for (UInt32 i = 0; i < ids.size(); ++i) {
    Wide w{ids[i], i};
    ASSERT_EQ(noErr, memAppendItem(a.get(), &w));
  }
  memSortUInt64ArrayByID(a.get());
  std::vector<UInt64> sorted = ids;
  std::sort(sorted.begin(), sorted.end());
  for (UInt32 i = 0; i < sorted.size(); ++i) {
    EXPECT_EQ(sorted[i], memGetItemIDUInt64(a.get(), i));
    EXPECT_TRUE(memUInt64SortedArrayHasID(a.get(), sorted[i]));
    UInt32 index = 99;
    EXPECT_EQ(noErr, memUInt64GetIndexFromSortedID(a.get(), sorted[i], &index));
    EXPECT_EQ(i, index);
  }
  for (UInt64 absent : {0x0000000300000001ull, 0x0000000100000002ull, 0xFFFFFFFFFFFFFFFFull, 0ull})
    EXPECT_FALSE(memUInt64SortedArrayHasID(a.get(), absent)) << std::hex << absent;

  Wide x{}, y{};
  x.id = 0x100000000ull;
  y.id = 0xFFFFFFFFull;
  EXPECT_EQ(1, memUInt64SortCompare(nullptr, &x, &y));
  EXPECT_EQ(-1, memUInt64SortCompare(nullptr, &y, &x));
  EXPECT_EQ(0, memUInt64SortCompare(nullptr, &x, &x));
}

TEST(DynArraySort, OwnComparisonGetsANullContext) {
  Array a;
  appendIDs(a.get(), {4, 9, 1, 7});
  memQuickSort(a.get(), [](void* context, const void* x, const void* y) {
    EXPECT_EQ(nullptr, context);
    UInt32 p = static_cast<const Item*>(x)->id, q = static_cast<const Item*>(y)->id;
    return p > q ? -1 : (p < q ? 1 : 0);
  });
  EXPECT_EQ((std::vector<UInt32>{9, 7, 4, 1}), idsOf(a.get()));
}

TEST(ByteHelpers, ForwardCopyAndZeroFill) {
  struct Case {
    size_t from;
    size_t to;
    UInt32 count;
    std::string result;
  };
  // Byte by byte from the lowest address: a destination above an overlapping source repeats it.
  for (const Case& c : {Case{0, 1, 5, "aaaaaa"}, Case{1, 0, 5, "bcdeff"}, Case{0, 3, 3, "abcabc"},
                        Case{0, 2, 4, "ababab"}, Case{2, 2, 0, "abcdef"}}) {
    std::string s = "abcdef";
    memCopy(s.data() + c.from, s.data() + c.to, c.count);
    EXPECT_EQ(c.result, s) << c.from << " to " << c.to;
  }
  std::string z = "abcdef";
  memFillZero(z.data() + 1, 3);
  EXPECT_EQ(std::string("a\0\0\0ef", 6), z);
}

TEST(DynArrayLog, DumpListsEveryItem) {
  LogCapture log;
  Array a;
  appendIDs(a.get(), {10, 4000000000u});
  memDumpDynArray(a.get());
  EXPECT_EQ((Lines{"\nDump DynArray:  items 2", "\nitem index: 0:    ID: 10", "\nitem index: 1:    ID: 4000000000"}),
            log.newEntries());
  Array empty;
  memDumpDynArray(empty.get());
  EXPECT_EQ((Lines{"\nDump DynArray:  items 0"}), log.newEntries());
}

// ======== FlexDynArray

TEST(FlexStore, OrderOfStoredRecords) {
  Store s;
  ASSERT_EQ(noErr, memNewFlexDynArray(s.get(), 0));
  change(s, 5, 1, "five-one");  // an empty store: appended
  change(s, 3, 1, "three");     // a lower ID goes in front
  change(s, 5, 2, "five-two");  // a new type of an ID goes behind its other types
  change(s, 4, 9, "");
  change(s, 9, 1, "nine");
  change(s, 5, 0, "five-zero");
  EXPECT_EQ((std::vector<Record>{{3, 1, "three"},
                                 {4, 9, ""},
                                 {5, 1, "five-one"},
                                 {5, 2, "five-two"},
                                 {5, 0, "five-zero"},
                                 {9, 1, "nine"}}),
            recordsOf(s.get()));
  EXPECT_EQ("five-two", payloadOf(s.get(), 5, 2));
  EXPECT_EQ("", payloadOf(s.get(), 4, 9));
  OSErr err = noErr;
  EXPECT_EQ(std::nullopt, payloadOf(s.get(), 5, 3, &err));
  EXPECT_EQ(memErrNotFound, err);
  EXPECT_EQ(std::nullopt, payloadOf(s.get(), 6, 1, &err));
  EXPECT_EQ(memErrNotFound, err);
}

TEST(FlexStore, ReplacingPayloads) {
  struct Case {
    std::string payload;
    int shift;
  };
  for (const Case& c : {Case{"AAAAA", 0}, Case{"AAAAAAAAAAAAAAA", 10}, Case{"A", -4}, Case{"", -5}}) {
    SCOPED_TRACE(c.payload);
    Store s;
    ASSERT_EQ(noErr, memNewFlexDynArray(s.get(), 64));
    change(s, 3, 1, "three");
    change(s, 5, 1, "fiver");
    change(s, 5, 2, "second");
    change(s, 8, 1, "eight");
    ASSERT_EQ(noErr, memBuildFlexIndex(s.get()));
    const auto locations = locationsOf(s.get());
    const auto index = indexOf(s.get());
    const UInt32 total = memGetFlexCount(s.get());

    change(s, 5, 1, c.payload);
    EXPECT_EQ((std::vector<Record>{{3, 1, "three"}, {5, 1, c.payload}, {5, 2, "second"}, {8, 1, "eight"}}),
              recordsOf(s.get()));
    EXPECT_EQ(total + c.shift, memGetFlexCount(s.get()));
    auto moved = locationsOf(s.get());
    for (size_t i = 0; i < moved.size(); ++i) EXPECT_EQ(locations[i] + (i >= 2 ? c.shift : 0), moved[i]) << i;
    const auto newIndex = indexOf(s.get());
    ASSERT_EQ(index.size(), newIndex.size());
    for (size_t i = 0; i < index.size(); ++i) {
      EXPECT_EQ(index[i].itemID, newIndex[i].itemID);
      EXPECT_EQ(index[i].location + (index[i].itemID > 5 ? c.shift : 0), newIndex[i].location);
    }
    EXPECT_EQ("eight", payloadOf(s.get(), 8, 1));
  }
}

// A payload handed in from the store's own block is copied before the block grows or moves.
TEST(FlexStore, PayloadFromTheStoresOwnBlock) {
  Store s;
  ASSERT_EQ(noErr, memNewFlexDynArray(s.get(), 40));
  change(s, 1, 1, std::string(20, 'x'));
  UInt32 size = 0;
  const void* p = nullptr;
  ASSERT_EQ(noErr, memGetFlexDataInfo(s.get(), 1, 1, &size, &p));
  ASSERT_EQ(noErr, memChangeFlexData(s.get(), 0, 1, size, p));  // grows, and moves the source
  ASSERT_EQ(noErr, memGetFlexDataInfo(s.get(), 1, 1, &size, &p));
  ASSERT_EQ(noErr, memAddFlexDataAtEnd(s.get(), 2, 1, size, p));
  ASSERT_EQ(noErr, memGetFlexDataInfo(s.get(), 2, 1, &size, &p));
  ASSERT_EQ(noErr, memChangeFlexData(s.get(), 0, 1, size - 5, static_cast<const char*>(p) + 5));
  EXPECT_EQ((std::vector<Record>{{0, 1, std::string(15, 'x')}, {1, 1, std::string(20, 'x')}, {2, 1, std::string(20, 'x')}}),
            recordsOf(s.get()));
}

TEST(FlexStore, GrowthSteps) {
  struct Case {
    UInt32 initial;
    std::optional<UInt32> first;  // payload of a record stored before, without growth
    UInt32 payload;
    UInt32 allocatedAfterAppend;
    UInt32 allocatedAfterChange;
  };
  // Appending grows by the larger of 12 % and twice the record, also when it would just fit;
  // storing in order grows only when it does not fit, by the record and 4096 bytes.
  for (const Case& c : {Case{0, {}, 10, 44, 4118}, Case{12, {}, 0, 36, 12}, Case{1000, {}, 990, 3004, 6098},
                        Case{100000, 99976, 10, 112000, 104118}, Case{100000, {}, 10, 100000, 100000}}) {
    SCOPED_TRACE(testing::Message() << c.initial << " + " << c.payload);
    const std::string payload(c.payload, 'p');
    Store a, b;
    ASSERT_EQ(noErr, memNewFlexDynArray(a.get(), c.initial));
    ASSERT_EQ(noErr, memNewFlexDynArray(b.get(), c.initial));
    if (c.first) {
      addAtEnd(a, 1, 1, std::string(*c.first, 'f'));
      change(b, 1, 1, std::string(*c.first, 'f'));
      ASSERT_EQ(c.initial, memGetFlexAllocatedAmount(a.get()));
      ASSERT_EQ(c.initial, memGetFlexAllocatedAmount(b.get()));
    }
    addAtEnd(a, 2, 1, payload);
    EXPECT_EQ(c.allocatedAfterAppend, memGetFlexAllocatedAmount(a.get()));
    change(b, 2, 1, payload);
    EXPECT_EQ(c.allocatedAfterChange, memGetFlexAllocatedAmount(b.get()));
    EXPECT_EQ(recordsOf(a.get()), recordsOf(b.get()));
  }
}

TEST(FlexStore, SizesThatWouldNotFitIn32Bits) {
  Store s;
  ASSERT_EQ(noErr, memNewFlexDynArray(s.get(), 64));
  change(s, 1, 1, "one");
  const std::string before = s.bytes();
  const char big = 'b';
  for (UInt32 size : {0xFFFFFFFFu, 0xFFFFFFF0u, 0xFFFFFFF4u - 15}) {
    EXPECT_EQ(memErrNoMemory, memAddFlexDataAtEnd(s.get(), 2, 1, size, &big)) << size;
    EXPECT_EQ(memErrNoMemory, memChangeFlexData(s.get(), 2, 1, size, &big)) << size;
    EXPECT_EQ(memErrNoMemory, memChangeFlexData(s.get(), 1, 1, size, &big)) << size;
  }
  EXPECT_EQ(before, s.bytes());
  EXPECT_EQ(64u, memGetFlexAllocatedAmount(s.get()));
}

TEST(FlexStore, LookupsCopiesAndCounts) {
  Store s;
  ASSERT_EQ(noErr, memNewFlexDynArray(s.get(), 100));
  change(s, 7, 1, "hello");
  EXPECT_EQ(17u, memGetFlexCount(s.get()));  // bytes in use, not records
  char buffer[8] = "-------";
  UInt32 size = 99;
  ASSERT_EQ(noErr, memGetFlexData(s.get(), 7, 1, buffer, &size, 3));
  EXPECT_EQ(5u, size);  // the full size, though only the capacity is copied
  EXPECT_EQ(std::string("hel----"), buffer);
  size = 99;
  EXPECT_EQ(memErrNotFound, memGetFlexData(s.get(), 7, 2, buffer, &size, 8));
  EXPECT_EQ(99u, size);
  UInt32 location = 0;
  EXPECT_EQ(memErrNotFound, m2LookupFlexDataOffset(s.get(), 8, 1, &location));
  EXPECT_EQ(kMemFlexNoLocation, location);

  change(s, 9, 4, "");  // an empty payload stored last
  const void* p = nullptr;
  ASSERT_EQ(noErr, memGetFlexDataInfo(s.get(), 9, 4, &size, &p));
  EXPECT_EQ(0u, size);
  EXPECT_EQ(s->data + memGetFlexCount(s.get()), p);
  ASSERT_EQ(noErr, memGetFlexDataInfo(s.get(), 9, 4, &size, nullptr));
  ASSERT_EQ(noErr, m2LookupFlexDataOffset(s.get(), 9, 4, &location));
  EXPECT_EQ(17u, location);

  Store empty;
  EXPECT_EQ(memErrNotFound, memGetFlexDataInfo(empty.get(), 0, 0, &size, &p));
  EXPECT_EQ(memErrNotFound, m2LookupFlexDataOffset(empty.get(), 0, 0, &location));
}

TEST(FlexStore, DeletingAnID) {
  Store s;
  ASSERT_EQ(noErr, memNewFlexDynArray(s.get(), 100));
  change(s, 1, 1, "a");
  change(s, 2, 1, "bb");
  change(s, 2, 2, "bbb");
  change(s, 3, 1, "c");
  ASSERT_EQ(noErr, memBuildFlexIndex(s.get()));
  const std::string before = s.bytes();
  EXPECT_EQ(memErrNotFound, memDeleteAllFlexData(s.get(), 4));
  EXPECT_EQ(before, s.bytes());

  ASSERT_EQ(noErr, memDeleteAllFlexData(s.get(), 2));
  EXPECT_EQ((std::vector<Record>{{1, 1, "a"}, {3, 1, "c"}}), recordsOf(s.get()));
  ASSERT_EQ(2u, indexOf(s.get()).size());
  EXPECT_EQ(13u, indexOf(s.get())[1].location);  // rebuilt
  EXPECT_EQ("c", payloadOf(s.get(), 3, 1));

  ASSERT_EQ(noErr, memDeleteAllFlexData(s.get(), 3));  // the highest ID: the data ends at its run
  EXPECT_EQ(13u, memGetFlexCount(s.get()));
  ASSERT_EQ(noErr, memDeleteAllFlexData(s.get(), 1));
  EXPECT_EQ(0u, memGetFlexCount(s.get()));
  EXPECT_FALSE(memHasFlexIndex(s.get()));  // an index without entries counts as absent
  change(s, 6, 1, "six");
  EXPECT_FALSE(memHasFlexIndex(s.get()));  // and is not brought back by later changes
}

TEST(FlexStore, IndexLifecycle) {
  Store s;
  ASSERT_EQ(noErr, memNewFlexDynArray(s.get(), 100));
  EXPECT_EQ(memErrNotFound, memRemoveFlexIndex(s.get()));
  EXPECT_EQ(noErr, memDeleteAllFlexItems(s.get()));
  change(s, 1, 1, "x");
  change(s, 2, 1, "y");
  ASSERT_EQ(noErr, memBuildFlexIndex(s.get()));
  EXPECT_TRUE(memHasFlexIndex(s.get()));
  EXPECT_EQ(sizeof(FlexIndexEntry), s->index.itemSize);
  EXPECT_EQ(kMemFlexIndexDenseLimit, s->index.allocatedAmount);
  ASSERT_EQ(noErr, memRemoveFlexIndex(s.get()));
  EXPECT_FALSE(memHasFlexIndex(s.get()));
  ASSERT_EQ(noErr, memBuildFlexIndex(s.get()));
  const UInt32 allocated = memGetFlexAllocatedAmount(s.get());
  ASSERT_EQ(noErr, memDeleteAllFlexItems(s.get()));
  EXPECT_FALSE(memHasFlexIndex(s.get()));
  EXPECT_EQ(0u, memGetFlexCount(s.get()));
  EXPECT_EQ(allocated, memGetFlexAllocatedAmount(s.get()));
  EXPECT_TRUE(memValidFlexDynArray(s.get()));

  change(s, 1, 1, "abc");
  EXPECT_EQ(memErrOutOfRange, m2ResizeFlexDynArray(s.get(), 14));  // below the records in use: refused
  ASSERT_EQ(noErr, memShrinkFlexToUsed(s.get()));
  EXPECT_EQ(15u, memGetFlexAllocatedAmount(s.get()));
  EXPECT_EQ((std::vector<Record>{{1, 1, "abc"}}), recordsOf(s.get()));
  memFreeFlexDynArray(s.get());
  EXPECT_FALSE(memValidFlexDynArray(s.get()));
  EXPECT_EQ(nullptr, s->index.data);
}

// A store of n consecutive IDs from first on, two types each, built in order.
void buildConsecutive(Store& s, UInt32 first, UInt32 n) {
  ASSERT_EQ(noErr, memNewFlexDynArray(s.get(), 0));
  for (UInt32 i = 0; i < n; ++i) {
    std::string payload = std::to_string(first + i);
    addAtEnd(s, first + i, 1, payload);
    addAtEnd(s, first + i, 2, payload + "/2");
  }
}

TEST(FlexIndex, DenseUpTo2048IDsSampledAbove) {
  Store dense;
  buildConsecutive(dense, 1, 2048);
  ASSERT_EQ(noErr, memBuildFlexIndex(dense.get()));
  auto entries = indexOf(dense.get());
  ASSERT_EQ(2048u, entries.size());
  const auto locations = locationsOf(dense.get());
  for (UInt32 i = 0; i < 2048; ++i) {
    EXPECT_EQ(i + 1, entries[i].itemID);
    EXPECT_EQ(locations[2 * i], entries[i].location);  // the first record of the ID
  }

  Store sampled;
  buildConsecutive(sampled, 1, 2049);
  ASSERT_EQ(noErr, memBuildFlexIndex(sampled.get()));
  entries = indexOf(sampled.get());
  ASSERT_EQ(1025u, entries.size());
  for (UInt32 i = 0; i < entries.size(); ++i) EXPECT_EQ(2 * i + 1, entries[i].itemID);  // 1, 3, 5, ... 2049
  EXPECT_EQ("2000/2", payloadOf(sampled.get(), 2000, 2));  // no entry of its own: scanned to
  EXPECT_EQ("2049", payloadOf(sampled.get(), 2049, 1));
  OSErr err = noErr;
  EXPECT_EQ(std::nullopt, payloadOf(sampled.get(), 3000, 1, &err));
  EXPECT_EQ(memErrNotFound, err);

  struct Case {
    UInt32 ids;
    size_t entries;
  };
  for (const Case& c : {Case{4095, 2048}, Case{4096, 1366}, Case{10000, 2000}}) {
    Store s;
    buildConsecutive(s, 1, c.ids);
    ASSERT_EQ(noErr, memBuildFlexIndex(s.get()));
    EXPECT_EQ(c.entries, indexOf(s.get()).size()) << c.ids;
  }
}

// Wherever the IDs lie, an index changes no answer: every record, every absent ID in between
// and beyond, with and without the index, agree. IDs near the top of the range must not make
// the sampling wrap round.
TEST(FlexIndex, LookupsAgreeWithAndWithoutIndex) {
  struct Case {
    UInt32 first;
    UInt32 n;
    UInt32 gap;
    size_t maxEntries;
  };
  for (const Case& c : {Case{0, 300, 1, 300}, Case{1, 2049, 1, 1025}, Case{0xFFFFFFFF - 4999, 5000, 1, 2048},
                        Case{0xFFFFFFFF - 3 * 2999, 3000, 3, 3000}, Case{5, 6000, 7, 6000},
                        Case{0xFFFFFFFF - 2048, 2049, 1, 1025}}) {
    SCOPED_TRACE(testing::Message() << "first " << c.first << ", " << c.n << " IDs, gap " << c.gap);
    Store s;
    ASSERT_EQ(noErr, memNewFlexDynArray(s.get(), 0));
    std::vector<UInt32> ids;
    for (UInt32 i = 0; i < c.n; ++i) ids.push_back(c.first + i * c.gap);
    for (UInt32 id : ids) {
      addAtEnd(s, id, 1, std::to_string(id));
      addAtEnd(s, id, 2, "");
    }
    ASSERT_EQ(noErr, memBuildFlexIndex(s.get()));
    const auto entries = indexOf(s.get());
    EXPECT_LE(entries.size(), c.maxEntries);
    for (size_t i = 1; i < entries.size(); ++i) ASSERT_LT(entries[i - 1].itemID, entries[i].itemID);
    // About a hundred IDs spread over the store, the first and last ones, and their neighbours.
    std::vector<UInt32> probes;
    const size_t stride = ids.size() / 100 + 1;
    for (size_t i = 0; i < ids.size(); i += (i + 3 >= ids.size() || i < 3) ? 1 : stride) {
      const UInt32 id = ids[i];
      probes.push_back(id);
      if (id > 0) probes.push_back(id - 1);
      if (id < 0xFFFFFFFF) probes.push_back(id + 1);
    }
    probes.push_back(0);
    probes.push_back(0xFFFFFFFF);
    Store plain;
    setBytes(plain, s.bytes());
    for (UInt32 probe : probes) {
      for (UInt32 type : {1u, 2u, 3u}) {
        UInt32 withIndex = 0, without = 0;
        OSErr a = m2LookupFlexDataOffset(s.get(), probe, type, &withIndex);
        OSErr b = m2LookupFlexDataOffset(plain.get(), probe, type, &without);
        ASSERT_EQ(b, a) << probe << "/" << type;
        ASSERT_EQ(without, withIndex) << probe << "/" << type;
        bool present = std::binary_search(ids.begin(), ids.end(), probe) && type != 3;
        ASSERT_EQ(present ? OSErr{noErr} : memErrNotFound, a) << probe << "/" << type;
      }
    }
  }
}

TEST(FlexIndex, BuiltWithTheCallersCount) {
  Store s;
  buildConsecutive(s, 1, 100);
  ASSERT_EQ(noErr, memBuildFlexIndexNumItems(s.get(), 100));
  EXPECT_EQ(100u, indexOf(s.get()).size());
  ASSERT_EQ(noErr, memBuildFlexIndexNumItems(s.get(), 20480));  // step 11
  const auto entries = indexOf(s.get());
  ASSERT_EQ(10u, entries.size());
  EXPECT_EQ(1u, entries[0].itemID);
  EXPECT_EQ(12u, entries[1].itemID);
  for (UInt32 id = 1; id <= 100; ++id) EXPECT_EQ(std::to_string(id), payloadOf(s.get(), id, 1));
}

// A stale index (after appends or renumbering) is never followed outside the records.
TEST(FlexIndex, StaleIndexStaysWithinTheRecords) {
  Store s;
  buildConsecutive(s, 10, 50);
  ASSERT_EQ(noErr, memBuildFlexIndex(s.get()));
  addAtEnd(s, 100, 1, "late");  // appends leave the index as it was
  EXPECT_EQ(50u, indexOf(s.get()).size());
  EXPECT_EQ("late", payloadOf(s.get(), 100, 1));
  // The big store's index over a small store's records: most entries point beyond them.
  Store small;
  buildConsecutive(small, 10, 3);
  std::swap(small->index, s->index);
  for (UInt32 id : {10u, 11u, 12u}) EXPECT_EQ(std::to_string(id), payloadOf(small.get(), id, 1)) << id;
  OSErr err = noErr;
  EXPECT_EQ(std::nullopt, payloadOf(small.get(), 59, 1, &err));
  EXPECT_EQ(memErrNotFound, err);
  std::swap(small->index, s->index);
}

TEST(FlexStore, WalkStopsAndRejectsRecordsReachingPastTheData) {
  struct Seen {
    std::vector<Record> records;
    size_t stopAfter;
  };
  auto proc = [](UInt32 id, UInt32 type, UInt32 size, void* payload, void* context) -> Boolean {
    auto* seen = static_cast<Seen*>(context);
    seen->records.push_back({id, type, std::string(static_cast<char*>(payload), size)});
    return seen->records.size() < seen->stopAfter;
  };
  Store s;
  Seen none{{}, 9};
  EXPECT_EQ(noErr, memWalkFlexDynArray(s.get(), &none, proc));
  EXPECT_TRUE(none.records.empty());
  setBytes(s, recordBytes(1, 1, "ab") + recordBytes(2, 1, "") + recordBytes(3, 5, "xyz"));
  for (size_t stop : {size_t{1}, size_t{2}, size_t{9}}) {
    Seen seen{{}, stop};
    EXPECT_EQ(noErr, memWalkFlexDynArray(s.get(), &seen, proc));
    EXPECT_EQ(std::min<size_t>(stop, 3), seen.records.size());
  }
  setBytes(s, recordBytes(1, 1, "ab") + recordBytes(2, 1, "", 0xFFFFFFF8));
  Seen seen{{}, 9};
  EXPECT_EQ(memErrOutOfRange, memWalkFlexDynArray(s.get(), &seen, proc));
  EXPECT_EQ((std::vector<Record>{{1, 1, "ab"}}), seen.records);
}

// Headers read from outside claim anything: the store's operations stay inside its data.
TEST(FlexStore, RecordsClaimingMoreThanRemains) {
  const std::string good = recordBytes(1, 1, "one") + recordBytes(2, 1, "two");
  for (UInt32 claimed : {4u, 100u, 0x7FFFFFFFu, 0xFFFFFFF4u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(claimed);
    Store s;
    const std::string image = good + recordBytes(3, 1, "abc", claimed);
    setBytes(s, image);
    OSErr err = noErr;
    EXPECT_EQ("two", payloadOf(s.get(), 2, 1));
    EXPECT_EQ(std::nullopt, payloadOf(s.get(), 3, 1, &err));
    EXPECT_EQ(memErrOutOfRange, err);
    char buffer[8];
    UInt32 size = 0;
    EXPECT_EQ(memErrOutOfRange, memGetFlexData(s.get(), 3, 1, buffer, &size, sizeof buffer));
    EXPECT_EQ(memErrNotFound, m2LookupFlexDataOffset(s.get(), 4, 1, &size));
    EXPECT_EQ(memErrOutOfRange, memChangeFlexData(s.get(), 3, 1, 1, "z"));
    EXPECT_EQ(memErrOutOfRange, memChangeFlexData(s.get(), 4, 1, 1, "z"));
    EXPECT_EQ(memErrOutOfRange, memDeleteAllFlexData(s.get(), 3));
    Store extracted;
    EXPECT_EQ(memErrOutOfRange, memExtractFlexItemsForSpecificID(s.get(), 3, extracted.get()));
    EXPECT_EQ(image, s.bytes());
    ASSERT_EQ(noErr, memBuildFlexIndex(s.get()));
    EXPECT_EQ("one", payloadOf(s.get(), 1, 1));
    EXPECT_EQ(memErrOutOfRange, memAdjustIDinFlexDynArray(s.get(), 7));
    UInt32 id;
    std::memcpy(&id, s->data + 15, 4);
    EXPECT_EQ(7u, id);  // the records before it are renumbered
    std::memcpy(&id, s->data + 30, 4);
    EXPECT_EQ(3u, id);
  }
  // Fewer bytes than a header behind the last record are never read as one.
  Store s;
  setBytes(s, good + "abcdefghijk");
  EXPECT_EQ("two", payloadOf(s.get(), 2, 1));
  change(s, 5, 5, "five");
  EXPECT_EQ("five", payloadOf(s.get(), 5, 5));
}

TEST(FlexStore, ExtractReplaceAppendAndRenumber) {
  Store s;
  ASSERT_EQ(noErr, memNewFlexDynArray(s.get(), 10));
  change(s, 1, 1, "a");
  change(s, 2, 1, "b1");
  change(s, 2, 3, "b3");
  change(s, 4, 1, "d");

  Store run;
  ASSERT_EQ(noErr, memExtractFlexItemsForSpecificID(s.get(), 2, run.get()));
  EXPECT_EQ((std::vector<Record>{{2, 1, "b1"}, {2, 3, "b3"}}), recordsOf(run.get()));
  EXPECT_EQ(memGetFlexCount(run.get()), memGetFlexAllocatedAmount(run.get()));
  EXPECT_FALSE(memHasFlexIndex(run.get()));
  Store untouched;
  EXPECT_EQ(memErrNotFound, memExtractFlexItemsForSpecificID(s.get(), 3, untouched.get()));
  EXPECT_EQ(nullptr, untouched->data);

  // Stored under another ID, with their own types; the target's other types stay.
  Store target;
  ASSERT_EQ(noErr, memNewFlexDynArray(target.get(), 0));
  change(target, 9, 3, "old");
  change(target, 9, 7, "kept");
  ASSERT_EQ(noErr, memReplaceFlexItemsForSpecificID(run.get(), target.get(), 9));
  EXPECT_EQ((std::vector<Record>{{9, 3, "b3"}, {9, 7, "kept"}, {9, 1, "b1"}}), recordsOf(target.get()));
  EXPECT_EQ(memErrEmpty, memReplaceFlexItemsForSpecificID(target.get(), target.get(), 9));

  ASSERT_EQ(noErr, memAdjustIDinFlexDynArray(run.get(), 5));
  EXPECT_EQ((std::vector<Record>{{5, 1, "b1"}, {5, 3, "b3"}}), recordsOf(run.get()));

  ASSERT_EQ(noErr, memBuildFlexIndex(s.get()));
  const UInt32 total = memGetFlexCount(s.get()), allocated = memGetFlexAllocatedAmount(s.get());
  ASSERT_EQ(noErr, memAppendFlexDynArray(run.get(), s.get()));
  EXPECT_FALSE(memValidFlexDynArray(run.get()));  // the source is freed
  EXPECT_EQ(nullptr, run->data);
  EXPECT_EQ(total + 28, memGetFlexCount(s.get()));
  EXPECT_EQ(allocated <= total + 28 ? allocated + 28 : allocated, memGetFlexAllocatedAmount(s.get()));
  EXPECT_EQ((std::vector<Record>{{1, 1, "a"}, {2, 1, "b1"}, {2, 3, "b3"}, {4, 1, "d"}, {5, 1, "b1"}, {5, 3, "b3"}}),
            recordsOf(s.get()));
  EXPECT_EQ(4u, indexOf(s.get()).size());  // rebuilt

  Store empty;
  ASSERT_EQ(noErr, memNewFlexDynArray(empty.get(), 50));
  const std::string before = s.bytes();
  ASSERT_EQ(noErr, memAppendFlexDynArray(empty.get(), s.get()));
  EXPECT_EQ(before, s.bytes());
  EXPECT_FALSE(memValidFlexDynArray(empty.get()));
  EXPECT_EQ(memErrEmpty, memAppendFlexDynArray(s.get(), s.get()));
  EXPECT_EQ(before, s.bytes());
}

// ======== Byte order, verification and the log

// The two records (1, 2, "abc") and (2, 1, "") make an image of 27 bytes.
std::string twoRecordImage() {
  return u32(1) + u32(3) + u32(2) + "abc" + u32(2) + u32(0) + u32(1);
}

// The bytes of each 4-byte field reversed.
std::string reversedFields(std::string header) {
  for (size_t i = 0; i + 4 <= header.size(); i += 4) std::reverse(header.begin() + i, header.begin() + i + 4);
  return header;
}

TEST(FlexImage, TwentySevenBytesAndByteOrderBothWays) {
  Store s;
  ASSERT_EQ(noErr, memNewFlexDynArray(s.get(), 0));
  change(s, 1, 2, "abc");
  change(s, 2, 1, "");
  ASSERT_EQ(27u, memGetFlexCount(s.get()));
  EXPECT_EQ(twoRecordImage(), s.bytes());
  ASSERT_EQ(noErr, memBuildFlexIndex(s.get()));
  const auto index = indexOf(s.get());
  const UInt32 allocated = memGetFlexAllocatedAmount(s.get());

  ASSERT_EQ(noErr, memEndianConvertFlexDynArray(s.get(), 1));
  const std::string image = twoRecordImage();
  EXPECT_EQ(reversedFields(image.substr(0, 12)) + "abc" + reversedFields(image.substr(15, 12)), s.bytes());
  if constexpr (std::endian::native == std::endian::little) {
    EXPECT_EQ(std::string("\0\0\0\1\0\0\0\3\0\0\0\2", 12), s.bytes().substr(0, 12));
  }
  EXPECT_EQ(27u, memGetFlexCount(s.get()));
  EXPECT_EQ(allocated, memGetFlexAllocatedAmount(s.get()));
  ASSERT_EQ(noErr, memEndianConvertFlexDynArray(s.get(), 0));
  EXPECT_EQ(image, s.bytes());
  EXPECT_EQ(index.size(), indexOf(s.get()).size());

  // Any direction other than 1 reads the size after the reversal.
  ASSERT_EQ(noErr, memEndianConvertFlexDynArray(s.get(), 1));
  ASSERT_EQ(noErr, memEndianConvertFlexDynArray(s.get(), 7));
  EXPECT_EQ(image, s.bytes());
}

TEST(FlexImage, ConversionStopsAtARecordReachingPastTheData) {
  Store s;
  const std::string image = recordBytes(1, 2, "abc") + recordBytes(2, 1, "xy", 3);
  setBytes(s, image);
  EXPECT_EQ(memErrOutOfRange, memEndianConvertFlexDynArray(s.get(), 1));
  EXPECT_EQ(reversedFields(image.substr(0, 12)) + "abc" + image.substr(15), s.bytes());
  // Swapped headers whose sizes only make sense in the other order.
  setBytes(s, reversedFields(recordBytes(1, 2, "").substr(0, 12)) + reversedFields(u32(2) + u32(0x01000000) + u32(1)));
  const std::string swapped = s.bytes();
  EXPECT_EQ(memErrOutOfRange, memEndianConvertFlexDynArray(s.get(), 0));
  EXPECT_EQ(recordBytes(1, 2, ""), s.bytes().substr(0, 12));
  EXPECT_EQ(swapped.substr(12), s.bytes().substr(12));
}

TEST(FlexImage, Verification) {
  struct Case {
    const char* name;
    std::string bytes;
    OSErr status;
  };
  const std::vector<Case> cases = {
      {"empty", "", noErr},
      {"ID and type pairs", recordBytes(1, 1, "x") + recordBytes(1, 2, "") + recordBytes(2, 1, "yy"), noErr},
      {"the same ID and type twice", recordBytes(1, 1, "x") + recordBytes(1, 1, "y"), memErrVerifyDuplicate},
      {"type 0 without payload", recordBytes(1, 1, "x") + recordBytes(2, 0, ""), memErrVerifyEmpty},
      {"type 0 with a payload", recordBytes(2, 0, "p"), noErr},
      {"the last record claims too much", recordBytes(1, 1, "x") + recordBytes(2, 1, "yy", 3), memErrVerifySize},
      {"a size that would wrap", recordBytes(1, 1, "x") + recordBytes(2, 1, "yy", 0xFFFFFFFF), memErrVerifySize},
      {"duplicate is tested before size", recordBytes(1, 1, "x") + recordBytes(1, 1, "", 5), memErrVerifyDuplicate},
      {"empty is tested before a later size", recordBytes(3, 0, "") + recordBytes(4, 1, "", 9), memErrVerifyEmpty},
      {"bytes too few for a header", recordBytes(1, 1, "x") + "abcde", memErrVerifySize},
  };
  for (const Case& c : cases) {
    Store s;
    setBytes(s, c.bytes);
    EXPECT_EQ(c.status, memVerifyFlexDynArray(s.get())) << c.name;
  }
}

TEST(FlexLog, DumpAndCheck) {
  LogCapture log;
  Store s;
  setBytes(s, recordBytes(1, 2, "abc") + recordBytes(2, 1, "") + recordBytes(9, 4, "xy", 40));
  memDumpFlexDynArray(s.get());
  EXPECT_EQ((Lines{"\nDump FlexDynArray:  TotalDataSize 41 Bytes", "Location: 0, ItemID: 1, ItemType: 2, ItemSize: 3",
                   "Location: 15, ItemID: 2, ItemType: 1, ItemSize: 0",
                   "Location: 27, ItemID: 9, ItemType: 4, ItemSize: 40", "memoryEngine2: Error in Datasize"}),
            log.newEntries());

  memCheckFlexDynArray(s.get());
  EXPECT_EQ((Lines{"memoryEngine2: \nCheck FlexDynArray:  TotalDataSize 41 Bytes",
                   "memoryEngine2: Error in Datasize, log the whole array",
                   "\nDump FlexDynArray:  TotalDataSize 41 Bytes", "Location: 0, ItemID: 1, ItemType: 2, ItemSize: 3",
                   "Location: 15, ItemID: 2, ItemType: 1, ItemSize: 0",
                   "Location: 27, ItemID: 9, ItemType: 4, ItemSize: 40", "memoryEngine2: Error in Datasize"}),
            log.newEntries());

  setBytes(s, recordBytes(1, 2, "abc") + recordBytes(2, 1, ""));
  memCheckFlexDynArray(s.get());
  EXPECT_EQ((Lines{"memoryEngine2: \nCheck FlexDynArray:  TotalDataSize 27 Bytes"}), log.newEntries());
  memDumpFlexDynArray(s.get());
  EXPECT_EQ((Lines{"\nDump FlexDynArray:  TotalDataSize 27 Bytes", "Location: 0, ItemID: 1, ItemType: 2, ItemSize: 3",
                   "Location: 15, ItemID: 2, ItemType: 1, ItemSize: 0"}),
            log.newEntries());
  Store empty;
  memCheckFlexDynArray(empty.get());
  memDumpFlexDynArray(empty.get());
  EXPECT_EQ((Lines{"memoryEngine2: \nCheck FlexDynArray:  TotalDataSize 0 Bytes",
                   "\nDump FlexDynArray:  TotalDataSize 0 Bytes"}),
            log.newEntries());
}

// ======== File images

// An open data fork of a file in a private folder, closed at the end.
class Fork {
 public:
  explicit Fork(const std::string& bytes, SInt8 permission = fsRdWrPerm) {
    path_ = makeTempDir("image") / "image.bin";
    velmtest::writeFile(path_, bytes);
    FSRef ref;
    EXPECT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(path_.c_str()), &ref, nullptr));
    HFSUniStr255 name;
    FSGetDataForkName(&name);
    EXPECT_EQ(noErr, FSOpenFork(&ref, name.length, name.unicode, permission, &ref_));
  }
  ~Fork() { FSCloseFork(ref_); }
  Fork(const Fork&) = delete;
  Fork& operator=(const Fork&) = delete;
  SInt16 ref() const { return ref_; }
  std::string bytes() const { return readFile(path_); }

 private:
  fs::path path_;
  FSIORefNum ref_ = 0;
};

TEST(FileImage, ItemArrayWrittenAndReadBack) {
  Array a(8, 10);
  const UInt64 items[3] = {0x0102030405060708ull, 2, 0xFFFFFFFFFFFFFFFFull};
  for (const auto& item : items) ASSERT_EQ(noErr, memAppendItem(a.get(), &item));
  Fork fork("head:");
  ASSERT_EQ(noErr, memAppendFileContentsMMIO(fork.ref(), a.get()));
  const std::string image(reinterpret_cast<const char*>(items), 24);
  EXPECT_EQ("head:" + image, fork.bytes());
  ASSERT_EQ(noErr, memWriteToFileContentsMMIO(fork.ref(), a.get(), 40));
  EXPECT_EQ(64u, fork.bytes().size());
  EXPECT_EQ(image, fork.bytes().substr(40));

  for (SInt64 offset : {SInt64{5}, SInt64{40}}) {
    DynArray back;
    memSetInvalid(&back);
    ASSERT_EQ(noErr, memGetFileContentsMMIO(fork.ref(), offset, 3, 8, &back));
    EXPECT_TRUE(memSameData(&back, 24, items));
    EXPECT_EQ(3u, memGetAllocatedAmount(&back));
    EXPECT_EQ(8u, memGetItemSize(&back));
    memFreeDynArray(&back);
  }
  Array empty(8, 4);
  ASSERT_EQ(noErr, memAppendFileContentsMMIO(fork.ref(), empty.get()));
  EXPECT_EQ(64u, fork.bytes().size());
}

TEST(FileImage, RecordStoreWrittenAndReadBack) {
  Store s;
  ASSERT_EQ(noErr, memNewFlexDynArray(s.get(), 100));
  change(s, 1, 2, "abc");
  change(s, 2, 1, "");
  ASSERT_EQ(noErr, memBuildFlexIndex(s.get()));
  Fork fork("");
  ASSERT_EQ(noErr, memAppendFlexArrayToFileMMIO(fork.ref(), s.get()));
  EXPECT_EQ(twoRecordImage(), fork.bytes());  // the 27 bytes and nothing else: no index, no slack
  ASSERT_EQ(noErr, memWriteFlexArrayToFileMMIO(fork.ref(), s.get(), 30));
  EXPECT_EQ(twoRecordImage() + std::string(3, '\0') + twoRecordImage(), fork.bytes());

  Store back;
  ASSERT_EQ(noErr, memGetFileContentsFlexMMIO(fork.ref(), 30, 27, back.get()));
  EXPECT_EQ(recordsOf(s.get()), recordsOf(back.get()));
  EXPECT_EQ(27u, memGetFlexAllocatedAmount(back.get()));
  EXPECT_FALSE(memHasFlexIndex(back.get()));
  EXPECT_EQ("abc", payloadOf(back.get(), 1, 2));

  // Swapped for writing, the store's own bytes are brought back afterwards.
  ASSERT_EQ(noErr, memEndianConvertFlexDynArray(s.get(), 1));
  ASSERT_EQ(noErr, memWriteFlexArrayToFileMMIO(fork.ref(), s.get(), 0));
  ASSERT_EQ(noErr, memEndianConvertFlexDynArray(s.get(), 0));
  Store swapped;
  ASSERT_EQ(noErr, memGetFileContentsFlexMMIO(fork.ref(), 0, 27, swapped.get()));
  ASSERT_EQ(noErr, memEndianConvertFlexDynArray(swapped.get(), 0));
  EXPECT_EQ(twoRecordImage(), swapped.bytes());

  Store empty;
  ASSERT_EQ(noErr, memNewFlexDynArray(empty.get(), 50));
  const std::string before = fork.bytes();
  EXPECT_EQ(noErr, memAppendFlexArrayToFileMMIO(fork.ref(), empty.get()));
  EXPECT_EQ(before, fork.bytes());
}

// Offset and length against the fork's length, compared without letting the sum wrap.
TEST(FileImage, ImagesMustLieWithinTheFork) {
  Fork fork(std::string(40, 'x'));
  struct Case {
    SInt64 offset;
    UInt32 length;
    OSErr status;
  };
  for (const Case& c : {Case{0, 40, noErr}, Case{13, 27, noErr}, Case{13, 28, memErrEmpty}, Case{40, 0, noErr},
                        Case{41, 0, memErrEmpty}, Case{-1, 1, memErrEmpty}, Case{INT64_MAX, 2, memErrEmpty},
                        Case{0, 0xFFFFFFFF, memErrEmpty}}) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << ", length " << c.length);
    FlexDynArray store;
    std::memset(&store, 0x5A, sizeof store);
    const FlexDynArray before = store;
    EXPECT_EQ(c.status, memGetFileContentsFlexMMIO(fork.ref(), c.offset, c.length, &store));
    if (c.status == noErr) {
      EXPECT_EQ(c.length, memGetFlexCount(&store));
      EXPECT_EQ(std::string(c.length, 'x'), std::string(store.data, store.totalDataSize));
      memFreeFlexDynArray(&store);
    } else {
      EXPECT_EQ(0, std::memcmp(&before, &store, sizeof store));  // untouched
    }

    DynArray array;
    std::memset(&array, 0x5A, sizeof array);
    const DynArray arrayBefore = array;
    EXPECT_EQ(c.status, memGetFileContentsMMIO(fork.ref(), c.offset, c.length, 1, &array));
    if (c.status == noErr) {
      EXPECT_EQ(c.length, memGetItemCount(&array));
      memFreeDynArray(&array);
    } else {
      EXPECT_EQ(0, std::memcmp(&arrayBefore, &array, sizeof array));
    }
  }
  // A count and item size whose product does not fit in 32 bits are not a short image.
  DynArray array;
  memSetInvalid(&array);
  EXPECT_EQ(memErrEmpty, memGetFileContentsMMIO(fork.ref(), 0, 0x10000, 0x10000, &array));
  EXPECT_EQ(nullptr, array.data);
  ASSERT_EQ(noErr, memGetFileContentsMMIO(fork.ref(), 0, 5, 8, &array));
  EXPECT_EQ(5u, memGetItemCount(&array));
  memFreeDynArray(&array);
}

TEST(FileImage, FileEngineFailuresArePassedOn) {
  Store s;
  SInt64 size = 0;
  const OSErr badFork = static_cast<OSErr>(feGetEOF(31999, &size));
  ASSERT_NE(noErr, badFork);
  EXPECT_EQ(badFork, memGetFileContentsFlexMMIO(31999, 0, 0, s.get()));
  EXPECT_EQ(nullptr, s->data);
  DynArray array;
  memSetInvalid(&array);
  EXPECT_EQ(badFork, memGetFileContentsMMIO(31999, 0, 0, 8, &array));
  Store one;
  ASSERT_EQ(noErr, memNewFlexDynArray(one.get(), 0));
  change(one, 1, 1, "x");
  EXPECT_NE(noErr, memAppendFlexArrayToFileMMIO(31999, one.get()));
  EXPECT_NE(noErr, memWriteFlexArrayToFileMMIO(31999, one.get(), 0));

  // A fork that can be measured but not read: the new store is freed again.
  Fork writeOnly(twoRecordImage(), fsWrPerm);
  const OSErr status = memGetFileContentsFlexMMIO(writeOnly.ref(), 0, 27, s.get());
  EXPECT_NE(noErr, status);
  EXPECT_EQ(nullptr, s->data);
  EXPECT_EQ(0u, memGetFlexCount(s.get()));
  EXPECT_EQ(status, memGetFileContentsMMIO(writeOnly.ref(), 0, 3, 9, &array));
  EXPECT_EQ(nullptr, array.data);
  EXPECT_FALSE(memValidDynArray(&array));
}

}  // namespace
