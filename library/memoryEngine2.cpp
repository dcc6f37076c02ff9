// The memory engine: DynArray, FlexDynArray and their file images.
#include "memoryEngine2.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileEngine.h"
#include "myDebug.h"

namespace {

const char kModuleName[] = "memoryEngine2";
constexpr UInt64 kMax32 = 0xFFFFFFFFull;
constexpr UInt32 kHeaderSize = sizeof(FlexItemHeader);

// ---- Blocks. A block of 0 bytes is no block: data is null exactly when the size is 0, so an
// array or store never holds a heap pointer that its counts do not account for.

// Resizes *data to bytes, keeping the contents up to the smaller size. False (and *data as it
// was) when the heap has no room.
bool resizeBlock(Ptr* data, UInt64 bytes) {
  if (bytes > kMax32) return false;
  if (bytes == 0) {
    std::free(*data);
    *data = nullptr;
    return true;
  }
  void* grown = std::realloc(*data, bytes);
  if (!grown) return false;
  *data = static_cast<Ptr>(grown);
  return true;
}

// Bytes that the caller hands in may lie inside the block that the operation is about to grow
// or shift. Such bytes are copied aside first; others are used where they are.
class StagedBytes {
 public:
  StagedBytes(const void* bytes, UInt64 count, const void* block, UInt64 blockSize) : bytes_(bytes) {
    const auto p = reinterpret_cast<uintptr_t>(bytes), b = reinterpret_cast<uintptr_t>(block);
    if (!p || !b || count == 0) return;
    if (p < b + blockSize && b < p + count) {
      copy_ = std::malloc(count);
      if (copy_) std::memcpy(copy_, bytes, count);
      bytes_ = copy_;
      failed_ = copy_ == nullptr;
    }
  }
  ~StagedBytes() { std::free(copy_); }
  StagedBytes(const StagedBytes&) = delete;
  StagedBytes& operator=(const StagedBytes&) = delete;
  const void* get() const { return bytes_; }
  bool failed() const { return failed_; }

 private:
  const void* bytes_;
  void* copy_ = nullptr;
  bool failed_ = false;
};

// memmove and memcpy for counts that may be 0 with pointers that may then be null.
void moveBytes(void* to, const void* from, size_t count) {
  if (count) std::memmove(to, from, count);
}

// ---- DynArray helpers

Ptr itemAt(const DynArray* array, UInt32 index) {
  return array->data + static_cast<size_t>(index) * array->itemSize;
}

UInt64 blockBytes(const DynArray* array) {
  return static_cast<UInt64>(array->allocatedAmount) * array->itemSize;
}

// Makes room for allocatedAmount = newAmount.
OSErr growTo(DynArray* array, UInt64 newAmount) {
  if (newAmount > kMax32) return memErrNoMemory;
  if (!resizeBlock(&array->data, newAmount * array->itemSize)) return memErrNoMemory;
  array->allocatedAmount = static_cast<UInt32>(newAmount);
  return noErr;
}

UInt32 readUInt32(const void* p) {
  UInt32 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

UInt64 readUInt64(const void* p) {
  UInt64 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The binary search shared by the 32-bit and the 64-bit IDs. The index stored with
// memErrNotFound is a start hint, not an insertion point: an item below the wanted ID, or 0.
template <typename ID, ID (*idOf)(const DynArray*, UInt32)>
OSErr searchSorted(const DynArray* array, ID wanted, UInt32* index) {
  if (array->itemCount == 0 || !array->data) return memErrEmpty;
  UInt32 lo = 0, hi = array->itemCount - 1;
  for (;;) {
    UInt32 mid = hi > lo ? lo + (hi - lo) / 2 : lo;
    ID found = idOf(array, mid);
    if (found == wanted) {
      *index = mid;
      return noErr;
    }
    if (hi <= lo) {
      *index = lo > 0 ? lo - 1 : 0;
      return memErrNotFound;
    }
    if (found < wanted) {
      lo = mid + 1;
    } else {
      if (mid == 0) {
        *index = 0;
        return memErrNotFound;
      }
      hi = mid - 1;
    }
  }
}

struct CompareTrampoline {
  memCompareProc proc;
};

int callCompare(const void* a, const void* b, void* context) {
  return static_cast<CompareTrampoline*>(context)->proc(nullptr, a, b);
}

// ---- FlexDynArray helpers

// The bytes that walks may read: never more than the block holds, whatever the counts say.
UInt32 usedBytes(const FlexDynArray* store) {
  if (!store->data) return 0;
  return store->totalDataSize < store->allocatedAmount ? store->totalDataSize : store->allocatedAmount;
}

FlexItemHeader readHeader(const FlexDynArray* store, UInt32 location) {
  FlexItemHeader h;
  std::memcpy(&h, store->data + location, kHeaderSize);
  return h;
}

void writeHeader(FlexDynArray* store, UInt32 location, UInt32 itemID, UInt32 size, UInt32 itemType) {
  FlexItemHeader h{itemID, size, itemType};
  std::memcpy(store->data + location, &h, kHeaderSize);
}

bool headerFits(UInt32 location, UInt32 used) { return static_cast<UInt64>(location) + kHeaderSize <= used; }

// Where the record behind this one starts, in 64 bits so that a claimed size cannot wrap.
UInt64 recordEnd(UInt32 location, const FlexItemHeader& h) {
  return static_cast<UInt64>(location) + kHeaderSize + h.itemSize;
}

bool growFlexTo(FlexDynArray* store, UInt64 newSize) {
  if (!resizeBlock(&store->data, newSize)) return false;
  store->allocatedAmount = static_cast<UInt32>(newSize);
  return true;
}

void rebuildIndexIfPresent(FlexDynArray* store) {
  if (memHasFlexIndex(store)) memBuildFlexIndex(store);
}

// The first run of records of the ID: its location and length. memErrNotFound when there is
// none, memErrOutOfRange when one of its records reaches past the data.
OSErr findRun(const FlexDynArray* store, UInt32 itemID, UInt32* start, UInt32* length) {
  UInt32 used = usedBytes(store);
  UInt32 location = 0;
  while (headerFits(location, used)) {
    FlexItemHeader h = readHeader(store, location);
    UInt64 end = recordEnd(location, h);
    if (h.itemID == itemID) {
      UInt32 runStart = location;
      for (;;) {
        if (end > used) return memErrOutOfRange;
        location = static_cast<UInt32>(end);
        if (!headerFits(location, used)) break;
        h = readHeader(store, location);
        if (h.itemID != itemID) break;
        end = recordEnd(location, h);
      }
      *start = runStart;
      *length = location - runStart;
      return noErr;
    }
    if (end > used) break;
    location = static_cast<UInt32>(end);
  }
  return memErrNotFound;
}

void appendIndexEntry(FlexDynArray* store, UInt32 itemID, UInt32 location) {
  FlexIndexEntry entry{itemID, location};
  OSErr err = memAppendItem(&store->index, &entry);
  if (err != noErr) debugAssertFailed(err, kModuleName, __LINE__);
}

OSErr buildIndex(FlexDynArray* store, bool countIDs, UInt32 distinctIDs) {
  if (store->index.data) std::free(store->index.data);
  memSetInvalid(&store->index);
  OSErr err = memNewDynArray(&store->index, sizeof(FlexIndexEntry), kMemFlexIndexDenseLimit);
  if (err != noErr) {
    memSetInvalid(&store->index);
    debugAssertFailed(memErrNoMemory, kModuleName, __LINE__);
    return memErrNoMemory;
  }
  UInt32 used = usedBytes(store);
  if (countIDs) {
    distinctIDs = 0;
    UInt32 previous = 0xFFFFFFFF;
    for (UInt32 location = 0; headerFits(location, used);) {
      FlexItemHeader h = readHeader(store, location);
      if (h.itemID != previous) {
        ++distinctIDs;
        previous = h.itemID;
      }
      UInt64 end = recordEnd(location, h);
      if (end > used) break;
      location = static_cast<UInt32>(end);
    }
  }
  if (distinctIDs <= kMemFlexIndexDenseLimit) {
    UInt32 previous = 0xFFFFFFFF;
    for (UInt32 location = 0; headerFits(location, used);) {
      FlexItemHeader h = readHeader(store, location);
      if (h.itemID != previous) {
        appendIndexEntry(store, h.itemID, location);
        previous = h.itemID;
      }
      UInt64 end = recordEnd(location, h);
      if (end > used) break;
      location = static_cast<UInt32>(end);
    }
  } else {
    // Sampled: an entry for the first record and for each record whose ID is at least the last
    // indexed ID plus the step. The sum is taken in 64 bits: near the top of the ID range it
    // must not wrap round and index every later record again.
    const UInt64 step = distinctIDs / kMemFlexIndexDenseLimit + 1;
    UInt32 lastIndexed = 0;
    for (UInt32 location = 0; headerFits(location, used);) {
      FlexItemHeader h = readHeader(store, location);
      if (location == 0 || h.itemID >= lastIndexed + step) {
        appendIndexEntry(store, h.itemID, location);
        lastIndexed = h.itemID;
      }
      UInt64 end = recordEnd(location, h);
      if (end > used) break;
      location = static_cast<UInt32>(end);
    }
  }
  return noErr;
}

// Inserts a record of size payload bytes at location, moving the records from there up.
OSErr insertRecord(FlexDynArray* store, UInt32 location, UInt32 itemID, UInt32 itemType, UInt32 size,
                   const void* payload) {
  UInt64 needed = static_cast<UInt64>(store->totalDataSize) + size + kHeaderSize;
  if (needed > kMax32) return memErrNoMemory;
  StagedBytes staged(payload, size, store->data, store->allocatedAmount);
  if (staged.failed()) return memErrNoMemory;
  if (store->allocatedAmount < needed) {
    UInt64 target = static_cast<UInt64>(store->allocatedAmount) + size + kHeaderSize + kMemFlexChangeSlack;
    if (!growFlexTo(store, target)) return memErrNoMemory;
  }
  Ptr at = store->data + location;
  moveBytes(at + kHeaderSize + size, at, store->totalDataSize - location);
  store->totalDataSize = static_cast<UInt32>(needed);
  writeHeader(store, location, itemID, size, itemType);
  if (size) {
    if (staged.get())
      std::memcpy(at + kHeaderSize, staged.get(), size);
    else
      std::memset(at + kHeaderSize, 0, size);
  }
  return noErr;
}

// Replaces the payload of the record at location (which lies within the store).
OSErr replacePayload(FlexDynArray* store, UInt32 location, const FlexItemHeader& old, UInt32 size,
                     const void* payload) {
  const SInt64 difference = static_cast<SInt64>(size) - static_cast<SInt64>(old.itemSize);
  const UInt64 newTotal = static_cast<UInt64>(static_cast<SInt64>(store->totalDataSize) + difference);
  if (newTotal > kMax32) return memErrNoMemory;
  StagedBytes staged(payload, size, store->data, store->allocatedAmount);
  if (staged.failed()) return memErrNoMemory;
  if (difference > 0 && store->allocatedAmount < newTotal) {
    UInt64 target = static_cast<UInt64>(store->allocatedAmount) + static_cast<UInt64>(difference) + kMemFlexChangeSlack;
    if (!growFlexTo(store, target)) return memErrNoMemory;
  }
  const UInt32 oldEnd = location + kHeaderSize + old.itemSize;
  if (difference != 0) {
    const UInt32 newEnd = location + kHeaderSize + size;
    moveBytes(store->data + newEnd, store->data + oldEnd, store->totalDataSize - oldEnd);
    store->totalDataSize = static_cast<UInt32>(newTotal);
  }
  Ptr at = store->data + location + kHeaderSize;
  if (size) {
    if (staged.get())
      std::memmove(at, staged.get(), size);
    else
      std::memset(at, 0, size);
  }
  writeHeader(store, location, old.itemID, size, old.itemType);
  if (difference != 0) rebuildIndexIfPresent(store);
  return noErr;
}

void reverse4(UInt8* p) {
  std::swap(p[0], p[3]);
  std::swap(p[1], p[2]);
}

}  // namespace

// ======== DynArray: lifecycle and storage

OSErr memNewDynArray(DynArray* array, UInt32 itemSize, UInt32 initialAmount) {
  memSetInvalid(array);
  const UInt64 bytes = static_cast<UInt64>(itemSize) * initialAmount;
  if (bytes > kMax32) return memErrNoMemory;
  if (bytes > 0) {
    array->data = static_cast<Ptr>(std::malloc(bytes));
    if (!array->data) return memErrNoMemory;
  }
  array->itemSize = itemSize;
  array->allocatedAmount = initialAmount;
  return noErr;
}

void memSetInvalid(DynArray* array) {
  array->itemSize = 0;
  array->allocatedAmount = 0;
  array->itemCount = 0;
  array->data = nullptr;
}

Boolean memValidDynArray(const DynArray* array) { return array->allocatedAmount != 0 && array->data != nullptr; }

OSErr memFreeDynArray(DynArray* array) {
  if (memValidDynArray(array)) {
    std::free(array->data);
    array->data = nullptr;
    array->allocatedAmount = 0;
    array->itemCount = 0;
  }
  return noErr;
}

OSErr memResizeMemory(DynArray* array, UInt32 newAmount) {
  // Fewer items than are in use would leave itemCount beyond the block.
  if (newAmount < array->itemCount) return memErrOutOfRange;
  return growTo(array, newAmount);
}

OSErr memShrinkToUsed(DynArray* array) { return growTo(array, array->itemCount); }

OSErr memCopyDynArray(const DynArray* source, DynArray* destination) {
  if (!destination) return memErrEmpty;
  if (source == destination) return noErr;
  if (!destination->data) {
    if (memNewDynArray(destination, source->itemSize, source->allocatedAmount) != noErr) return memErrNoMemory;
  } else if (destination->itemSize != source->itemSize) {
    return memErrEmpty;
  }
  if (destination->allocatedAmount != source->allocatedAmount) {
    // Shrinking below the destination's own items is fine here: they are all replaced.
    if (!resizeBlock(&destination->data, blockBytes(source))) return memErrNoMemory;
    destination->allocatedAmount = source->allocatedAmount;
  }
  destination->itemCount = source->itemCount;
  moveBytes(destination->data, source->data, static_cast<size_t>(source->itemCount) * source->itemSize);
  return noErr;
}

UInt32 memGetItemSize(const DynArray* array) { return array->itemSize; }
UInt32 memGetItemCount(const DynArray* array) { return array->itemCount; }
UInt32 memGetAllocatedAmount(const DynArray* array) { return array->allocatedAmount; }

// ======== DynArray: items by position

OSErr memGetItemPtr(DynArray* array, UInt32 index, void** item) {
  if (index >= array->itemCount || !array->data) {
    *item = nullptr;
    return memErrNotFound;
  }
  *item = itemAt(array, index);
  return noErr;
}

OSErr memCopyItemData(const DynArray* array, UInt32 index, void* destination) {
  if (!array->data || array->itemCount == 0 || index >= array->itemCount) return memErrNotFound;
  moveBytes(destination, itemAt(array, index), array->itemSize);
  return noErr;
}

OSErr memAppendItem(DynArray* array, const void* item) {
  return memInsertOneItem(array, array->itemCount, item);
}

OSErr memInsertOneItem(DynArray* array, UInt32 index, const void* item) {
  if (index > array->itemCount) return memErrOutOfRange;
  StagedBytes staged(item, array->itemSize, array->data, blockBytes(array));
  if (staged.failed()) return memErrNoMemory;
  if (array->itemCount >= array->allocatedAmount) {
    OSErr err = growTo(array, static_cast<UInt64>(array->allocatedAmount) + kMemGrowthItems);
    if (err != noErr) return err;
  }
  Ptr at = itemAt(array, index);
  moveBytes(at + array->itemSize, at, static_cast<size_t>(array->itemCount - index) * array->itemSize);
  moveBytes(at, staged.get(), array->itemSize);
  ++array->itemCount;
  return noErr;
}

OSErr memInsertMoreItems(DynArray* array, UInt32 index, UInt32 count, const void* items) {
  if (index > array->itemCount) return memErrOutOfRange;
  const UInt64 newCount = static_cast<UInt64>(array->itemCount) + count;
  const UInt64 bytes = static_cast<UInt64>(count) * array->itemSize;
  if (newCount > kMax32 || bytes > kMax32) return memErrNoMemory;
  StagedBytes staged(items, bytes, array->data, blockBytes(array));
  if (staged.failed()) return memErrNoMemory;
  if (array->allocatedAmount <= newCount) {
    OSErr err = growTo(array, static_cast<UInt64>(array->allocatedAmount) + count + kMemGrowthItems);
    if (err != noErr) return err;
  }
  Ptr at = itemAt(array, index);
  moveBytes(at + bytes, at, static_cast<size_t>(array->itemCount - index) * array->itemSize);
  moveBytes(at, staged.get(), bytes);
  array->itemCount = static_cast<UInt32>(newCount);
  return noErr;
}

OSErr memDeleteOneItem(DynArray* array, UInt32 index) {
  if (index >= array->itemCount || !array->data) return memErrNotFound;
  Ptr at = itemAt(array, index);
  moveBytes(at, at + array->itemSize, static_cast<size_t>(array->itemCount - index - 1) * array->itemSize);
  --array->itemCount;
  return noErr;
}

OSErr memDeleteLastItem(DynArray* array) {
  if (array->itemCount == 0) return memErrEmpty;
  --array->itemCount;
  return noErr;
}

OSErr memDeleteAllItems(DynArray* array) {
  array->itemCount = 0;
  return noErr;
}

OSErr memMoveItemToNewIndex(DynArray* array, UInt32 fromIndex, UInt32 toIndex) {
  if (fromIndex == toIndex) return noErr;
  if (!array->data || array->itemCount == 0 || fromIndex >= array->itemCount) return memErrNotFound;
  // The target counts positions among the other items; checked before the item is taken out,
  // so that a bad target loses nothing.
  if (toIndex > array->itemCount - 1) return memErrOutOfRange;
  void* saved = std::calloc(1, array->itemSize ? array->itemSize : 1);
  if (!saved) return memErrNoMemory;
  moveBytes(saved, itemAt(array, fromIndex), array->itemSize);
  OSErr err = memDeleteOneItem(array, fromIndex);
  if (err == noErr) err = memInsertOneItem(array, toIndex, saved);
  std::free(saved);
  return err;
}

Boolean memSameData(const DynArray* array, UInt32 length, const void* bytes) {
  const UInt64 used = static_cast<UInt64>(array->itemSize) * array->itemCount;
  if (used != length) return FALSE;
  if (length == 0) return TRUE;
  return std::memcmp(array->data, bytes, length) == 0;
}

OSErr memWalkDynArray(DynArray* array, void* context1, void* context2, memWalkProc proc) {
  const UInt32 count = array->itemCount;
  if (count == 0) return memErrEmpty;
  for (UInt32 i = 0; i < count && i < array->itemCount; ++i)
    if (!proc(i, itemAt(array, i), context1, context2)) break;
  return noErr;
}

void memDumpDynArray(const DynArray* array) {
  debugFormat("\nDump DynArray:  items %lu", static_cast<unsigned long>(array->itemCount));
  for (UInt32 i = 0; i < array->itemCount && array->data; ++i) {
    UInt32 id = 0;
    std::memcpy(&id, itemAt(array, i), array->itemSize < sizeof id ? array->itemSize : sizeof id);
    debugFormat("\nitem index: %lu:    ID: %lu", static_cast<unsigned long>(i), static_cast<unsigned long>(id));
  }
}

// ======== DynArray: items by ID

UInt32 memGetItemID(const DynArray* array, UInt32 index) { return readUInt32(itemAt(array, index)); }

UInt64 memGetItemIDUInt64(const DynArray* array, UInt32 index) { return readUInt64(itemAt(array, index)); }

OSErr memGetItemByUnsortedID(DynArray* array, UInt32 itemID, void** item) {
  if (array->itemCount == 0 || !array->data) return memErrEmpty;
  for (UInt32 i = 0; i < array->itemCount; ++i) {
    if (memGetItemID(array, i) == itemID) {
      *item = itemAt(array, i);
      return noErr;
    }
  }
  *item = nullptr;
  return memErrNotFound;
}

OSErr memGetItemIndexFromID(const DynArray* array, UInt32 itemID, UInt32* index) {
  return searchSorted<UInt32, memGetItemID>(array, itemID, index);
}

OSErr memGetItemBySortedID(DynArray* array, UInt32 itemID, void** item) {
  UInt32 index = 0;
  OSErr err = memGetItemIndexFromID(array, itemID, &index);
  if (err != noErr) {
    *item = nullptr;
    return err;
  }
  *item = itemAt(array, index);
  return noErr;
}

OSErr memUInt64GetIndexFromSortedID(const DynArray* array, UInt64 itemID, UInt32* index) {
  return searchSorted<UInt64, memGetItemIDUInt64>(array, itemID, index);
}

Boolean memUInt64SortedArrayHasID(const DynArray* array, UInt64 itemID) {
  UInt32 index = 0;
  return memUInt64GetIndexFromSortedID(array, itemID, &index) == noErr;
}

// ======== DynArray: sorting and byte helpers

void memQuickSort(DynArray* array, memCompareProc compare) {
  if (array->itemCount < 2 || !array->data) return;
  CompareTrampoline trampoline{compare};
  qsort_r(array->data, array->itemCount, array->itemSize, callCompare, &trampoline);
}

void memSortUInt64ArrayByID(DynArray* array) { memQuickSort(array, memUInt64SortCompare); }

int memUInt64SortCompare(void*, const void* a, const void* b) {
  UInt64 x = readUInt64(a), y = readUInt64(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

void memFillZero(void* bytes, UInt32 count) {
  if (count) std::memset(bytes, 0, count);
}

void memCopy(const void* source, void* destination, UInt32 count) {
  auto* from = static_cast<const volatile UInt8*>(source);
  auto* to = static_cast<volatile UInt8*>(destination);
  for (UInt32 i = 0; i < count; ++i) to[i] = from[i];
}

// ======== FlexDynArray: lifecycle, storage and index

OSErr memNewFlexDynArray(FlexDynArray* store, UInt32 size) {
  memSetFlexInvalid(store);
  if (size > 0) {
    store->data = static_cast<Ptr>(std::malloc(size));
    if (!store->data) return memErrNoMemory;
  }
  store->allocatedAmount = size;
  return noErr;
}

void memSetFlexInvalid(FlexDynArray* store) {
  store->allocatedAmount = 0;
  store->totalDataSize = 0;
  store->data = nullptr;
  memSetInvalid(&store->index);
}

Boolean memValidFlexDynArray(const FlexDynArray* store) {
  return store->allocatedAmount != 0 && store->data != nullptr;
}

UInt32 memGetFlexAllocatedAmount(const FlexDynArray* store) { return store->allocatedAmount; }

UInt32 memGetFlexCount(const FlexDynArray* store) { return store->totalDataSize; }

OSErr m2ResizeFlexDynArray(FlexDynArray* store, UInt32 newSize) {
  // Less than the records in use would leave totalDataSize beyond the block.
  if (newSize < store->totalDataSize) return memErrOutOfRange;
  return growFlexTo(store, newSize) ? OSErr{noErr} : memErrNoMemory;
}

OSErr memShrinkFlexToUsed(FlexDynArray* store) {
  return growFlexTo(store, store->totalDataSize) ? OSErr{noErr} : memErrNoMemory;
}

OSErr memFreeFlexDynArray(FlexDynArray* store) {
  if (memValidFlexDynArray(store)) {
    std::free(store->data);
    store->data = nullptr;
    store->allocatedAmount = 0;
    store->totalDataSize = 0;
  }
  if (store->index.allocatedAmount != 0 && store->index.data) {
    std::free(store->index.data);
    store->index.data = nullptr;
    store->index.allocatedAmount = 0;
    store->index.itemCount = 0;
  }
  return noErr;
}

OSErr memDeleteAllFlexItems(FlexDynArray* store) {
  store->totalDataSize = 0;
  if (memHasFlexIndex(store)) memRemoveFlexIndex(store);
  return noErr;
}

Boolean memHasFlexIndex(const FlexDynArray* store) {
  return store->index.allocatedAmount != 0 && store->index.itemCount != 0 && store->index.data != nullptr;
}

OSErr memBuildFlexIndex(FlexDynArray* store) { return buildIndex(store, true, 0); }

OSErr memBuildFlexIndexNumItems(FlexDynArray* store, UInt32 distinctIDs) {
  return buildIndex(store, false, distinctIDs);
}

OSErr memRemoveFlexIndex(FlexDynArray* store) {
  if (!memHasFlexIndex(store)) return memErrNotFound;
  std::free(store->index.data);
  store->index.data = nullptr;
  store->index.allocatedAmount = 0;
  store->index.itemCount = 0;
  return noErr;
}

// ======== FlexDynArray: reading

OSErr m2LookupFlexDataOffset(const FlexDynArray* store, UInt32 itemID, UInt32 itemType, UInt32* location) {
  *location = kMemFlexNoLocation;
  if (store->allocatedAmount == 0 || store->totalDataSize == 0) return memErrNotFound;
  const UInt32 used = usedBytes(store);
  UInt32 at = 0;
  if (memHasFlexIndex(store)) {
    UInt32 position = 0;
    OSErr err = memGetItemIndexFromID(&store->index, itemID, &position);
    if (err != noErr && err != memErrNotFound) return err;
    if (position >= store->index.itemCount) return memErrNotFound;
    FlexIndexEntry entry;
    std::memcpy(&entry, itemAt(&store->index, position), sizeof entry);
    // An entry left over from before the records changed may point anywhere; from outside the
    // records the scan starts over at the first one.
    at = headerFits(entry.location, used) ? entry.location : 0;
  }
  while (headerFits(at, used)) {
    FlexItemHeader h = readHeader(store, at);
    const UInt64 end = recordEnd(at, h);
    if (h.itemID == itemID && h.itemType == itemType) {
      if (end > used) return memErrOutOfRange;
      *location = at;
      return noErr;
    }
    if (h.itemID > itemID || end > used) return memErrNotFound;
    at = static_cast<UInt32>(end);
  }
  return memErrNotFound;
}

OSErr memGetFlexData(const FlexDynArray* store, UInt32 itemID, UInt32 itemType, void* destination, UInt32* size,
                     UInt32 capacity) {
  UInt32 location;
  OSErr err = m2LookupFlexDataOffset(store, itemID, itemType, &location);
  if (err != noErr) return err;
  const FlexItemHeader h = readHeader(store, location);
  *size = h.itemSize;
  const UInt32 n = h.itemSize < capacity ? h.itemSize : capacity;
  if (n) std::memcpy(destination, store->data + location + kHeaderSize, n);
  return noErr;
}

OSErr memGetFlexDataInfo(const FlexDynArray* store, UInt32 itemID, UInt32 itemType, UInt32* size,
                         const void** payload) {
  if (store->totalDataSize == 0) return memErrNotFound;
  UInt32 location;
  OSErr err = m2LookupFlexDataOffset(store, itemID, itemType, &location);
  if (err != noErr) return err;
  *size = readHeader(store, location).itemSize;
  if (payload) *payload = store->data + location + kHeaderSize;
  return noErr;
}

OSErr memWalkFlexDynArray(FlexDynArray* store, void* context, memFlexWalkProc proc) {
  for (UInt32 at = 0; headerFits(at, usedBytes(store));) {
    const FlexItemHeader h = readHeader(store, at);
    const UInt64 end = recordEnd(at, h);
    if (end > usedBytes(store)) return memErrOutOfRange;
    if (!proc(h.itemID, h.itemType, h.itemSize, store->data + at + kHeaderSize, context)) break;
    at = static_cast<UInt32>(end);
  }
  return noErr;
}

// ======== FlexDynArray: changing

OSErr memAddFlexDataAtEnd(FlexDynArray* store, UInt32 itemID, UInt32 itemType, UInt32 size, const void* payload) {
  const UInt64 needed = static_cast<UInt64>(store->totalDataSize) + size + kHeaderSize;
  if (needed > kMax32) return memErrNoMemory;
  StagedBytes staged(payload, size, store->data, store->allocatedAmount);
  if (staged.failed()) return memErrNoMemory;
  if (store->allocatedAmount <= needed) {
    const UInt64 share = static_cast<UInt64>(store->allocatedAmount) * kMemFlexGrowthPercent / 100;
    const UInt64 least = 2 * static_cast<UInt64>(size) + 2 * kHeaderSize;
    if (!growFlexTo(store, store->allocatedAmount + (share > least ? share : least))) return memErrNoMemory;
  }
  const UInt32 at = store->totalDataSize;
  writeHeader(store, at, itemID, size, itemType);
  if (size) {
    if (staged.get())
      std::memcpy(store->data + at + kHeaderSize, staged.get(), size);
    else
      std::memset(store->data + at + kHeaderSize, 0, size);
  }
  store->totalDataSize = static_cast<UInt32>(needed);
  return noErr;
}

OSErr memChangeFlexData(FlexDynArray* store, UInt32 itemID, UInt32 itemType, UInt32 size, const void* payload) {
  const UInt32 used = usedBytes(store);
  UInt32 at = 0;
  while (headerFits(at, used)) {
    const FlexItemHeader h = readHeader(store, at);
    const UInt64 end = recordEnd(at, h);
    if (h.itemID == itemID && h.itemType == itemType) {
      if (end > used) return memErrOutOfRange;
      return replacePayload(store, at, h, size, payload);
    }
    if (h.itemID > itemID) break;
    // A record that claims more than remains hides where the next one starts: the place of
    // the new record cannot be known.
    if (end > used) return memErrOutOfRange;
    at = static_cast<UInt32>(end);
  }
  OSErr err = insertRecord(store, at, itemID, itemType, size, payload);
  if (err != noErr) return err;
  rebuildIndexIfPresent(store);
  return noErr;
}

OSErr memDeleteAllFlexData(FlexDynArray* store, UInt32 itemID) {
  UInt32 start = 0, length = 0;
  OSErr err = findRun(store, itemID, &start, &length);
  if (err != noErr) return err;
  const UInt32 end = start + length;
  if (end < store->totalDataSize) {
    std::memmove(store->data + start, store->data + end, store->totalDataSize - end);
    store->totalDataSize -= length;
  } else {
    store->totalDataSize = start;
  }
  rebuildIndexIfPresent(store);
  return noErr;
}

OSErr memExtractFlexItemsForSpecificID(const FlexDynArray* source, UInt32 itemID, FlexDynArray* destination) {
  UInt32 start = 0, length = 0;
  OSErr err = findRun(source, itemID, &start, &length);
  if (err != noErr) return err;
  if (memNewFlexDynArray(destination, length) != noErr) return memErrNoMemory;
  moveBytes(destination->data, source->data + start, length);
  destination->totalDataSize = length;
  return noErr;
}

OSErr memReplaceFlexItemsForSpecificID(const FlexDynArray* source, FlexDynArray* destination, UInt32 itemID) {
  if (source == destination) return memErrEmpty;
  const UInt32 used = usedBytes(source);
  for (UInt32 at = 0; headerFits(at, used);) {
    const FlexItemHeader h = readHeader(source, at);
    const UInt64 end = recordEnd(at, h);
    OSErr err = end > used ? memErrOutOfRange
                           : memChangeFlexData(destination, itemID, h.itemType, h.itemSize, source->data + at + kHeaderSize);
    if (err != noErr) {
      debugAssertFailed(err, kModuleName, __LINE__);
      return err;
    }
    at = static_cast<UInt32>(end);
  }
  return noErr;
}

OSErr memAppendFlexDynArray(FlexDynArray* source, FlexDynArray* destination) {
  if (source == destination) return memErrEmpty;
  const UInt32 adding = usedBytes(source);
  if (adding) {
    const UInt64 needed = static_cast<UInt64>(destination->totalDataSize) + adding;
    if (needed > kMax32) return memErrNoMemory;
    if (destination->allocatedAmount <= needed) {
      if (!growFlexTo(destination, static_cast<UInt64>(destination->allocatedAmount) + adding)) return memErrNoMemory;
    }
    std::memcpy(destination->data + destination->totalDataSize, source->data, adding);
    destination->totalDataSize = static_cast<UInt32>(needed);
    rebuildIndexIfPresent(destination);
  }
  memFreeFlexDynArray(source);
  return noErr;
}

OSErr memAdjustIDinFlexDynArray(FlexDynArray* store, UInt32 newID) {
  const UInt32 used = usedBytes(store);
  for (UInt32 at = 0; headerFits(at, used);) {
    const FlexItemHeader h = readHeader(store, at);
    const UInt64 end = recordEnd(at, h);
    if (end > used) return memErrOutOfRange;
    writeHeader(store, at, newID, h.itemSize, h.itemType);
    at = static_cast<UInt32>(end);
  }
  return noErr;
}

// ======== File images
//
// The file engine reports 32-bit statuses; the platform's status codes all fit the 16 bits
// that the memory engine returns.

OSErr memAppendFileContentsMMIO(SInt16 forkRef, const DynArray* array) {
  const UInt64 bytes = static_cast<UInt64>(array->itemCount) * array->itemSize;
  if (bytes > kMax32) return memErrNoMemory;
  return static_cast<OSErr>(feAppendToFile(forkRef, static_cast<UInt32>(bytes), array->data));
}

OSErr memWriteToFileContentsMMIO(SInt16 forkRef, const DynArray* array, SInt64 offset) {
  const UInt64 bytes = static_cast<UInt64>(array->itemCount) * array->itemSize;
  if (bytes > kMax32) return memErrNoMemory;
  return static_cast<OSErr>(feWriteToFile(forkRef, offset, static_cast<UInt32>(bytes), array->data));
}

namespace {

// Whether length bytes from offset lie within a fork of forkSize bytes, compared as unsigned
// 64-bit numbers without letting the sum wrap.
bool imageFits(SInt64 offset, UInt64 length, SInt64 forkSize) {
  const UInt64 start = static_cast<UInt64>(offset), size = static_cast<UInt64>(forkSize);
  return start <= size && length <= size - start;
}

}  // namespace

OSErr memGetFileContentsMMIO(SInt16 forkRef, SInt64 offset, UInt32 itemCount, UInt32 itemSize, DynArray* array) {
  SInt64 forkSize = 0;
  OSErr err = static_cast<OSErr>(feGetEOF(forkRef, &forkSize));
  if (err != noErr) return err;
  const UInt64 bytes = static_cast<UInt64>(itemCount) * itemSize;
  if (!imageFits(offset, bytes, forkSize)) return memErrEmpty;
  if (bytes > kMax32) return memErrNoMemory;
  if (memNewDynArray(array, itemSize, itemCount) != noErr) return memErrNoMemory;
  if (bytes) {
    err = static_cast<OSErr>(feReadFromFile(forkRef, offset, static_cast<UInt32>(bytes), array->data));
    if (err != noErr) {
      memFreeDynArray(array);
      return err;
    }
  }
  array->itemCount = itemCount;
  return noErr;
}

OSErr memAppendFlexArrayToFileMMIO(SInt16 forkRef, const FlexDynArray* store) {
  return static_cast<OSErr>(feAppendToFile(forkRef, store->totalDataSize, store->data));
}

OSErr memWriteFlexArrayToFileMMIO(SInt16 forkRef, const FlexDynArray* store, SInt64 offset) {
  return static_cast<OSErr>(feWriteToFile(forkRef, offset, store->totalDataSize, store->data));
}

OSErr memGetFileContentsFlexMMIO(SInt16 forkRef, SInt64 offset, UInt32 byteCount, FlexDynArray* store) {
  SInt64 forkSize = 0;
  OSErr err = static_cast<OSErr>(feGetEOF(forkRef, &forkSize));
  if (err != noErr) return err;
  if (!imageFits(offset, byteCount, forkSize)) return memErrEmpty;
  err = memNewFlexDynArray(store, byteCount);
  if (err != noErr) return err;
  if (byteCount) {
    err = static_cast<OSErr>(feReadFromFile(forkRef, offset, byteCount, store->data));
    if (err != noErr) {
      memFreeFlexDynArray(store);
      return err;
    }
  }
  store->totalDataSize = byteCount;
  return noErr;
}

// ======== Byte order, verification and the log

OSErr memEndianConvertFlexDynArray(FlexDynArray* store, UInt8 direction) {
  const UInt32 used = usedBytes(store);
  for (UInt32 at = 0; headerFits(at, used);) {
    UInt8 header[kHeaderSize];
    std::memcpy(header, store->data + at, kHeaderSize);
    const UInt32 sizeBefore = readUInt32(header + 4);
    reverse4(header);
    reverse4(header + 4);
    reverse4(header + 8);
    const UInt32 size = direction == 1 ? sizeBefore : readUInt32(header + 4);
    const UInt64 end = static_cast<UInt64>(at) + kHeaderSize + size;
    if (end > used) return memErrOutOfRange;
    std::memcpy(store->data + at, header, kHeaderSize);
    at = static_cast<UInt32>(end);
  }
  return noErr;
}

OSErr memVerifyFlexDynArray(const FlexDynArray* store) {
  const UInt32 used = usedBytes(store);
  UInt32 at = 0;
  FlexItemHeader previous{};
  for (bool first = true; headerFits(at, used); first = false) {
    const FlexItemHeader h = readHeader(store, at);
    if (!first && h.itemID == previous.itemID && h.itemType == previous.itemType) return memErrVerifyDuplicate;
    if (h.itemType == 0 && h.itemSize == 0) return memErrVerifyEmpty;
    const UInt64 end = recordEnd(at, h);
    if (end > used) return memErrVerifySize;
    previous = h;
    at = static_cast<UInt32>(end);
  }
  // Bytes behind the last record that cannot even hold a header are no record at all.
  if (at != store->totalDataSize) return memErrVerifySize;
  return noErr;
}

void memCheckFlexDynArray(const FlexDynArray* store) {
  char text[1024];
  std::snprintf(text, sizeof text, "\nCheck FlexDynArray:  TotalDataSize %lu Bytes",
                static_cast<unsigned long>(store->totalDataSize));
  debugProtocoll(text, kModuleName, __LINE__);
  const UInt32 used = usedBytes(store);
  UInt32 at = 0;
  bool consistent = true;
  while (headerFits(at, used)) {
    const UInt64 end = recordEnd(at, readHeader(store, at));
    if (end > used) {
      consistent = false;
      break;
    }
    at = static_cast<UInt32>(end);
  }
  if (consistent && at != store->totalDataSize) consistent = false;
  if (!consistent) {
    debugProtocoll("Error in Datasize, log the whole array", kModuleName, __LINE__);
    memDumpFlexDynArray(store);
  }
}

void memDumpFlexDynArray(const FlexDynArray* store) {
  debugFormat("\nDump FlexDynArray:  TotalDataSize %lu Bytes", static_cast<unsigned long>(store->totalDataSize));
  const UInt32 used = usedBytes(store);
  for (UInt32 at = 0; headerFits(at, used);) {
    const FlexItemHeader h = readHeader(store, at);
    debugFormat("Location: %lu, ItemID: %lu, ItemType: %lu, ItemSize: %lu", static_cast<unsigned long>(at),
                static_cast<unsigned long>(h.itemID), static_cast<unsigned long>(h.itemType),
                static_cast<unsigned long>(h.itemSize));
    const UInt64 end = recordEnd(at, h);
    if (end > used) {
      debugProtocoll("Error in Datasize", kModuleName, __LINE__);
      return;
    }
    at = static_cast<UInt32>(end);
  }
}
