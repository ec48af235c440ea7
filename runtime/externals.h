// External-resource table: operating-system objects (bitmaps, fonts, COM
// objects) that Vel values hold. A value keeps the 32-bit index of a
// record, never the handle, so indexes stay valid while the table grows.
// The collector marks the records its values reach and then sweeps: the
// handles of unmarked records are released through their class's callback.
//
// Records sit in one array. A free record is on the free list; a live one
// is on the live chain, newest first. Growth doubles the array when the
// free-list head is the last free record.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace vel {

using ExternalHandle = uintptr_t;
using ExternalRelease = void (*)(ExternalHandle);

constexpr int EXTERNAL_CLASS_MAX = 20;
constexpr int32_t EXTERNAL_INITIAL_RECORDS = 1000;
constexpr int32_t EXTERNAL_END = -1;  // ends the free list and the live chain

// Record tags: the class id in bits 0-7 and the collector mark in bit 31;
// a free record holds EXTERNAL_FREE_TAG.
constexpr uint32_t EXTERNAL_CLASS_MASK = 0xFF;
constexpr uint32_t EXTERNAL_MARK = 0x80000000u;
constexpr uint32_t EXTERNAL_FREE_TAG = 0x40000000u;

struct ExternalClass {
  const char* name;  // static text
  ExternalRelease release;  // null: the handles need no release
};

struct ExternalRecord {
  uint32_t tag;
  int32_t link;  // next free record, or the next (older) live record
  int32_t prev;  // the previous (newer) live record, so unlinking is O(1)
  ExternalHandle handle;  // 0 in a free record
};

class ExternalTable {
 public:
  // Empties the table: no classes, EXTERNAL_INITIAL_RECORDS free records.
  void reset();

  // Answers the new class's 1-based id. A class beyond the 20th is an
  // internal fault (fatal error 98), never an overwrite.
  int register_class(const char* name, ExternalRelease release);
  int class_count() const { return int(classes_.size()); }
  // The class of a registered id (1-based); any other id is fatal error 98.
  const ExternalClass& class_at(int id) const;

  // Takes a free record for the handle and puts it at the front of the live
  // chain; answers its index. class_id 0 means no class (nothing to release).
  int32_t store(ExternalHandle handle, int class_id);

  // Operations on a record answer false (and do nothing) when index is not
  // a live record.

  // Stores a new handle; the old one is released when it differs.
  [[nodiscard]] bool replace(int32_t index, ExternalHandle handle);
  // Frees the record, releasing its handle first when asked.
  [[nodiscard]] bool remove(int32_t index, bool release);
  // Releases the handle now and keeps the record, holding no handle. This is
  // how an owner that refreshes handles through mark() drops the old one.
  [[nodiscard]] bool release_handle(int32_t index);
  // Sets the collector mark; answers true when the record was not marked.
  // A non-zero handle replaces the stored one without releasing it: the
  // owner has already released it (checked in debug builds).
  bool mark(int32_t index, ExternalHandle handle = 0);

  // Calls fn(handle, context) for every live record of the class, newest
  // first. fn may remove the record it is given.
  void for_each(int class_id, void (*fn)(ExternalHandle, void*), void* context) const;
  template <typename F>
  void for_each(int class_id, F&& f) const {
    using Fn = std::remove_reference_t<F>;
    for_each(
        class_id, [](ExternalHandle h, void* c) { (*static_cast<Fn*>(c))(h); }, const_cast<void*>(static_cast<const void*>(&f)));
  }

  // After the collector's marking: releases and frees every unmarked live
  // record, and clears the mark of the others.
  void sweep();

  bool is_live(int32_t index) const {
    return index >= 0 && size_t(index) < records_.size() && records_[size_t(index)].tag != EXTERNAL_FREE_TAG;
  }
  // The handle of a live record (0 otherwise).
  ExternalHandle handle(int32_t index) const { return is_live(index) ? records_[size_t(index)].handle : 0; }
  int class_of(int32_t index) const {
    return is_live(index) ? int(records_[size_t(index)].tag & EXTERNAL_CLASS_MASK) : 0;
  }
  bool is_marked(int32_t index) const { return is_live(index) && (records_[size_t(index)].tag & EXTERNAL_MARK); }
  int32_t capacity() const { return int32_t(records_.size()); }
  int32_t live_count() const { return live_count_; }

 private:
  void grow();
  void release(const ExternalRecord& r) const;
  void unlink_live(int32_t index);
  void push_free(int32_t index);

  std::vector<ExternalClass> classes_;
  std::vector<ExternalRecord> records_;
  int32_t free_head_ = EXTERNAL_END;
  int32_t live_head_ = EXTERNAL_END;
  int32_t live_count_ = 0;
};

// The runtime's table.
extern ExternalTable g_externals;

// Start-up step: right after the memory manager.
void externals_init();

}  // namespace vel
