// The Memory Manager's relocatable blocks (handles) and nonrelocatable blocks (pointers), over
// the C heap.
//
// A Handle points to a master pointer, which points to the block's bytes; the bytes stay where
// they are for the life of the block (nothing is ever moved or purged, so locking is not
// needed). GetHandleSize and SetHandleSize check that they were given a live handle of this
// layer: anything else answers 0 (or fails) with nilHandleErr from MemError, never touching
// memory it does not own. A size below zero, or one the heap cannot give, fails with memFullErr.
// MemError is kept per thread.
#pragma once

#include "MacTypes.h"

// The status of the last Memory Manager call on this thread.
OSErr MemError(void);

// A new handle of byteCount bytes (zero-filled for NewHandleClear), or null.
Handle NewHandle(Size byteCount);
Handle NewHandleClear(Size byteCount);
// The block's size; 0 for null or for something that is not a live handle.
Size GetHandleSize(Handle h);
// Grows or shrinks the block, keeping its first bytes; new bytes are zero.
void SetHandleSize(Handle h, Size newSize);
// Frees the block and the master pointer; null is ignored.
void DisposeHandle(Handle h);
// A new handle holding a copy of size bytes at srcPtr, in *dstHndl; noErr or memFullErr.
OSErr PtrToHand(const void* srcPtr, Handle* dstHndl, long size);

// Nonrelocatable blocks: new (zero-filled for NewPtrClear) or null; DisposePtr ignores null.
Ptr NewPtr(Size byteCount);
Ptr NewPtrClear(Size byteCount);
void DisposePtr(Ptr p);
