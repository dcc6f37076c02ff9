// The memory engine: growable arrays of fixed-size items (DynArray), stores of variable-size
// records keyed by ID and type (FlexDynArray), and their file images.
//
// The caller owns the small header records; the engine owns the one heap block behind each of
// them (and the index block of a store). A header record with all fields 0 is invalid; the
// creating functions overwrite the record without releasing an earlier block, so a record is
// freed before it is created anew.
//
// DynArray: items of one size lie back to back from `data`; item i starts at
// data + i * itemSize. The ID operations read the first 4 bytes of an item as an unsigned 32-bit
// host-order number (the UInt64 ones the first 8 bytes); "sorted" means ascending by that ID.
// The block grows by 40 items at a time, never geometrically.
//
// FlexDynArray: records of a 12-byte FlexItemHeader (itemID, itemSize, itemType, host order)
// and itemSize payload bytes lie back to back, without padding, from byte 0 to totalDataSize,
// ascending by ID. An optional index (a DynArray of FlexIndexEntry) names the location of the
// first record of an ID: one entry per ID for up to 2048 IDs, sampled above that.
//
// File images are the in-use bytes exactly as they lie in memory, with nothing added: the
// caller records the count and item size (DynArray) or the byte length (FlexDynArray) and the
// offset beside them. The engine never trusts the record headers of a store: every walk reads
// only whole headers within totalDataSize, and a record that claims more payload than remains
// is reported, never read past.
//
// Sizes are 32-bit: a product or sum that would not fit in 32 bits is refused with
// memErrNoMemory and changes nothing. Status codes are signed 16-bit, 0 for success. Nothing
// here takes a lock: an array or store is used by one thread at a time. Pointers into a block
// stay good only until the next operation that may grow, shrink or move its contents.
#pragma once

#include "MacTypes.h"

// ---- Status codes
constexpr OSErr memErrNoMemory = 22001;    // storage could not be had or grown (or its size would not fit)
constexpr OSErr memErrNotFound = 22002;    // no such index, ID or record, or no storage
constexpr OSErr memErrOutOfRange = 22003;  // a position beyond the items, or a record reaching past the data
constexpr OSErr memErrEmpty = -1;          // an empty array, a missing or mismatched destination, a short file
constexpr OSErr memErrVerifySize = -403;       // a record does not lie within the store
constexpr OSErr memErrVerifyEmpty = -404;      // a record of type 0 with an empty payload
constexpr OSErr memErrVerifyDuplicate = -405;  // a record repeats the ID and type of the one before it

// ---- Growth and index constants
constexpr UInt32 kMemGrowthItems = 40;             // DynArray growth step, in items
constexpr UInt32 kMemFlexGrowthPercent = 12;       // memAddFlexDataAtEnd grows by at least this share of the block
constexpr UInt32 kMemFlexChangeSlack = 4096;       // memChangeFlexData adds this many bytes to each growth
constexpr UInt32 kMemFlexIndexDenseLimit = 2048;   // up to this many distinct IDs the index has one entry per ID
constexpr UInt32 kMemFlexNoLocation = 0xFFFFFFFF;  // the location a failed lookup reports

struct DynArray {
  UInt32 itemSize;         // bytes per item, fixed at creation
  UInt32 allocatedAmount;  // items the block can hold
  UInt32 itemCount;        // items in use
  Ptr data;                // the block of allocatedAmount * itemSize bytes, or null
};

struct FlexItemHeader {
  UInt32 itemID;
  UInt32 itemSize;  // payload bytes behind the header
  UInt32 itemType;
};
static_assert(sizeof(FlexItemHeader) == 12);

struct FlexIndexEntry {
  UInt32 itemID;
  UInt32 location;  // byte offset of the first record of that ID
};
static_assert(sizeof(FlexIndexEntry) == 8);

struct FlexDynArray {
  UInt32 allocatedAmount;  // bytes in the block
  UInt32 totalDataSize;    // bytes of records from the start of the block
  Ptr data;
  DynArray index;          // entries of FlexIndexEntry
};

// Called for each item of memWalkDynArray: true goes on, false stops.
typedef Boolean (*memWalkProc)(UInt32 index, void* item, void* context1, void* context2);
// Called for each record of memWalkFlexDynArray: true goes on, false stops.
typedef Boolean (*memFlexWalkProc)(UInt32 itemID, UInt32 itemType, UInt32 itemSize, void* payload, void* context);
// Negative, 0 or positive as item a sorts before, with or after item b. The context is null.
typedef int (*memCompareProc)(void* context, const void* a, const void* b);

// ======== DynArray

// ---- Lifecycle and storage
// Sets the counts to 0 and obtains a block of itemSize * initialAmount bytes (none for 0 bytes);
// memErrNoMemory with data null and the counts 0 when it cannot be had.
OSErr memNewDynArray(DynArray* array, UInt32 itemSize, UInt32 initialAmount);
void memSetInvalid(DynArray* array);
// allocatedAmount is not 0 and data is not null.
Boolean memValidDynArray(const DynArray* array);
// Releases the block of a valid array; keeps itemSize. Always 0.
OSErr memFreeDynArray(DynArray* array);
// Resizes the block to newAmount items. memErrOutOfRange and no change for fewer items than
// itemCount; memErrNoMemory and no change when the block cannot be had.
OSErr memResizeMemory(DynArray* array, UInt32 newAmount);
// Resizes the block to itemCount items.
OSErr memShrinkToUsed(DynArray* array);
// Copies the items into destination, which ends with the source's allocatedAmount. A null
// destination or one with storage and another item size: memErrEmpty. A destination without
// storage is created first.
OSErr memCopyDynArray(const DynArray* source, DynArray* destination);
UInt32 memGetItemSize(const DynArray* array);
UInt32 memGetItemCount(const DynArray* array);
UInt32 memGetAllocatedAmount(const DynArray* array);

// ---- Items by position. An item passed in may lie inside the array's own block.
// The item's address, or null and memErrNotFound for an index not below itemCount.
OSErr memGetItemPtr(DynArray* array, UInt32 index, void** item);
OSErr memCopyItemData(const DynArray* array, UInt32 index, void* destination);
// Grows by 40 items when full.
OSErr memAppendItem(DynArray* array, const void* item);
// index == itemCount appends; beyond: memErrOutOfRange. Grows by 40 items when full.
OSErr memInsertOneItem(DynArray* array, UInt32 index, const void* item);
// count items from one buffer. Grows to allocatedAmount + count + 40 whenever
// allocatedAmount <= itemCount + count, also when the items would just fit.
OSErr memInsertMoreItems(DynArray* array, UInt32 index, UInt32 count, const void* items);
OSErr memDeleteOneItem(DynArray* array, UInt32 index);
// memErrEmpty for an empty array.
OSErr memDeleteLastItem(DynArray* array);
// Empties the array and keeps its block. Always 0.
OSErr memDeleteAllItems(DynArray* array);
// Moves an item so that it ends at toIndex (a position among the other items, 0 to
// itemCount - 1). memErrNotFound for a fromIndex not below itemCount, memErrOutOfRange for a
// toIndex beyond itemCount - 1; in both cases nothing moves.
OSErr memMoveItemToNewIndex(DynArray* array, UInt32 fromIndex, UInt32 toIndex);
// length is itemSize * itemCount and the items' bytes equal bytes.
Boolean memSameData(const DynArray* array, UInt32 length, const void* bytes);
// Calls proc for items 0, 1, ... until it returns false; memErrEmpty (and no call) for an empty
// array. The count is read once; a procedure that removes items ends the walk at the new end.
OSErr memWalkDynArray(DynArray* array, void* context1, void* context2, memWalkProc proc);
// Logs the item count and each item's index and ID.
void memDumpDynArray(const DynArray* array);

// ---- Items by ID
// No checks: index is below itemCount.
UInt32 memGetItemID(const DynArray* array, UInt32 index);
UInt64 memGetItemIDUInt64(const DynArray* array, UInt32 index);
// The first item with the ID, scanning from item 0; null and memErrNotFound when none has it;
// memErrEmpty (item untouched) for an empty array.
OSErr memGetItemByUnsortedID(DynArray* array, UInt32 itemID, void** item);
// Binary search of a sorted array: 0 with the item's index, or memErrNotFound with a start hint
// in index (an item with a smaller ID, or item 0), from which a forward scan cannot pass the ID;
// memErrEmpty (index untouched) for an empty array.
OSErr memGetItemIndexFromID(const DynArray* array, UInt32 itemID, UInt32* index);
OSErr memGetItemBySortedID(DynArray* array, UInt32 itemID, void** item);
OSErr memUInt64GetIndexFromSortedID(const DynArray* array, UInt64 itemID, UInt32* index);
Boolean memUInt64SortedArrayHasID(const DynArray* array, UInt64 itemID);

// ---- Sorting
void memQuickSort(DynArray* array, memCompareProc compare);
// Ascending by 64-bit ID.
void memSortUInt64ArrayByID(DynArray* array);
int memUInt64SortCompare(void* context, const void* a, const void* b);

// ---- Byte helpers
void memFillZero(void* bytes, UInt32 count);
// Copies one byte at a time from the lowest address up: of two overlapping ranges only a
// destination below the source receives a faithful copy.
void memCopy(const void* source, void* destination, UInt32 count);

// ======== FlexDynArray

// ---- Lifecycle, storage and index
// Sets every field to 0 and obtains a block of size bytes (none for 0).
OSErr memNewFlexDynArray(FlexDynArray* store, UInt32 size);
void memSetFlexInvalid(FlexDynArray* store);
Boolean memValidFlexDynArray(const FlexDynArray* store);
UInt32 memGetFlexAllocatedAmount(const FlexDynArray* store);
// totalDataSize: the bytes in use, not the number of records.
UInt32 memGetFlexCount(const FlexDynArray* store);
// memErrOutOfRange and no change for fewer bytes than totalDataSize.
OSErr m2ResizeFlexDynArray(FlexDynArray* store, UInt32 newSize);
OSErr memShrinkFlexToUsed(FlexDynArray* store);
// Releases the block and the index's block. Always 0.
OSErr memFreeFlexDynArray(FlexDynArray* store);
// Empties the store (keeping its block) and removes the index. Always 0.
OSErr memDeleteAllFlexItems(FlexDynArray* store);
Boolean memHasFlexIndex(const FlexDynArray* store);
OSErr memBuildFlexIndex(FlexDynArray* store);
// As memBuildFlexIndex with the caller's count of distinct IDs.
OSErr memBuildFlexIndexNumItems(FlexDynArray* store, UInt32 distinctIDs);
// memErrNotFound when there is no index.
OSErr memRemoveFlexIndex(FlexDynArray* store);

// ---- Reading
// 0 with the record's location; otherwise location is kMemFlexNoLocation: memErrNotFound when
// there is no such record, memErrOutOfRange when its payload would reach past totalDataSize.
OSErr m2LookupFlexDataOffset(const FlexDynArray* store, UInt32 itemID, UInt32 itemType, UInt32* location);
// Stores the full payload size in size and copies at most capacity bytes of it.
OSErr memGetFlexData(const FlexDynArray* store, UInt32 itemID, UInt32 itemType, void* destination, UInt32* size,
                     UInt32 capacity);
// The payload's size and, when payload is not null, its address inside the block.
OSErr memGetFlexDataInfo(const FlexDynArray* store, UInt32 itemID, UInt32 itemType, UInt32* size,
                         const void** payload);
// Calls proc for each record in order until it returns false; memErrOutOfRange at a record that
// does not lie within the store.
OSErr memWalkFlexDynArray(FlexDynArray* store, void* context, memFlexWalkProc proc);

// ---- Changing. A payload may lie inside the store's own block; a null payload stores zeros.
// Appends a record behind the last one without looking at the order; grows by at least 12 %.
// The index is left as it was.
OSErr memAddFlexDataAtEnd(FlexDynArray* store, UInt32 itemID, UInt32 itemType, UInt32 size, const void* payload);
// Stores the payload under the ID and type: replaces that record, or inserts a new one in ID
// order (behind the other records of the ID). memErrOutOfRange and no change when the record to
// replace, or one in front of the place, reaches past totalDataSize.
OSErr memChangeFlexData(FlexDynArray* store, UInt32 itemID, UInt32 itemType, UInt32 size, const void* payload);
// Removes the run of records of the ID; memErrNotFound when there is none.
OSErr memDeleteAllFlexData(FlexDynArray* store, UInt32 itemID);
// Creates destination (an empty or invalid record) holding a copy of the run of records of the
// ID, exactly as large as that run and without an index.
OSErr memExtractFlexItemsForSpecificID(const FlexDynArray* source, UInt32 itemID, FlexDynArray* destination);
// Stores every record of source in destination under itemID with the record's own type.
// memErrEmpty when both are the same store.
OSErr memReplaceFlexItemsForSpecificID(const FlexDynArray* source, FlexDynArray* destination, UInt32 itemID);
// Appends the records of source to destination and frees source. memErrEmpty (nothing changed)
// when both are the same store.
OSErr memAppendFlexDynArray(FlexDynArray* source, FlexDynArray* destination);
// Gives every record the ID; the index is left as it was.
OSErr memAdjustIDinFlexDynArray(FlexDynArray* store, UInt32 newID);

// ======== File images, through open forks of the file engine

// itemCount * itemSize bytes from data, at the fork's end or at the offset.
OSErr memAppendFileContentsMMIO(SInt16 forkRef, const DynArray* array);
OSErr memWriteToFileContentsMMIO(SInt16 forkRef, const DynArray* array, SInt64 offset);
// Reads itemCount items of itemSize bytes from the offset into a new array (the record passed
// in is empty or invalid) with exactly that room. memErrEmpty and no change when the fork is
// shorter than offset + the image; the file engine's status when the read fails.
OSErr memGetFileContentsMMIO(SInt16 forkRef, SInt64 offset, UInt32 itemCount, UInt32 itemSize, DynArray* array);
// totalDataSize bytes from data, at the fork's end or at the offset.
OSErr memAppendFlexArrayToFileMMIO(SInt16 forkRef, const FlexDynArray* store);
OSErr memWriteFlexArrayToFileMMIO(SInt16 forkRef, const FlexDynArray* store, SInt64 offset);
// Reads byteCount bytes from the offset into a new store without an index; the records are
// not checked.
OSErr memGetFileContentsFlexMMIO(SInt16 forkRef, SInt64 offset, UInt32 byteCount, FlexDynArray* store);

// ---- Byte order, verification and the log
// Reverses the bytes of each header field. direction 1: the headers are in host order now;
// any other value: they are swapped now. memErrOutOfRange at a record that does not lie within
// the store; the records before it are converted, it and the ones behind it are not.
OSErr memEndianConvertFlexDynArray(FlexDynArray* store, UInt8 direction);
// 0, memErrVerifyDuplicate, memErrVerifyEmpty or memErrVerifySize (also for bytes behind the
// last record that are too few for a header).
OSErr memVerifyFlexDynArray(const FlexDynArray* store);
// Logs the store's size, and when a record does not lie within it an error entry and the dump.
void memCheckFlexDynArray(const FlexDynArray* store);
// Logs the store's size and every record header, and an error entry at a record that does not
// lie within the store.
void memDumpFlexDynArray(const FlexDynArray* store);
