#include "externals.h"

#include <new>

#include "errors.h"
#include "fatal.h"

namespace vel {

ExternalTable g_externals;

namespace {

// Indexes are 32-bit and must stay positive.
constexpr size_t MAX_RECORDS = size_t(1) << 30;

constexpr ExternalRecord free_record(int32_t link) { return {EXTERNAL_FREE_TAG, link, EXTERNAL_END, 0}; }

}  // namespace

void externals_init() { g_externals.reset(); }

void ExternalTable::reset() {
  classes_.clear();
  classes_.reserve(EXTERNAL_CLASS_MAX);
  records_.clear();
  free_head_ = EXTERNAL_END;
  live_head_ = EXTERNAL_END;
  live_count_ = 0;
  grow();
}

int ExternalTable::register_class(const char* name, ExternalRelease release) {
  if (classes_.size() >= size_t(EXTERNAL_CLASS_MAX)) fatal_error(98, 0);
  classes_.push_back({name, release});
  return int(classes_.size());
}

const ExternalClass& ExternalTable::class_at(int id) const {
  if (id < 1 || id > class_count()) fatal_error(98, 0);
  return classes_[size_t(id - 1)];
}

// Doubles the records and chains the new half, in index order, after the
// last free record (the free-list head when this is called).
void ExternalTable::grow() {
  size_t old = records_.size();
  size_t want = old ? old * 2 : size_t(EXTERNAL_INITIAL_RECORDS);
  if (want > MAX_RECORDS) fire(ErrId::NO_MEMORY);
  try {
    records_.resize(want);
  } catch (const std::bad_alloc&) {
    fire(ErrId::NO_MEMORY);
  }
  for (size_t i = old; i < want; i++) records_[i] = free_record(i + 1 < want ? int32_t(i + 1) : EXTERNAL_END);
  if (free_head_ == EXTERNAL_END) free_head_ = int32_t(old);
  else records_[size_t(free_head_)].link = int32_t(old);
}

int32_t ExternalTable::store(ExternalHandle handle, int class_id) {
  if (class_id < 0 || class_id > class_count()) fatal_error(98, 0);
  // Grow before taking the last free record, so the free list never empties.
  if (free_head_ == EXTERNAL_END || records_[size_t(free_head_)].link == EXTERNAL_END) grow();
  int32_t index = free_head_;
  ExternalRecord& r = records_[size_t(index)];
  free_head_ = r.link;
  r = {uint32_t(class_id), live_head_, EXTERNAL_END, handle};
  if (live_head_ != EXTERNAL_END) records_[size_t(live_head_)].prev = index;
  live_head_ = index;
  live_count_++;
  return index;
}

// Class ids below 1, classes without a callback and empty handles release
// nothing. Takes a copy: the callback may store or remove records.
void ExternalTable::release(const ExternalRecord& r) const {
  int id = int(r.tag & EXTERNAL_CLASS_MASK);
  if (id < 1 || id > class_count() || r.handle == 0) return;
  if (ExternalRelease fn = classes_[size_t(id - 1)].release) fn(r.handle);
}

void ExternalTable::unlink_live(int32_t index) {
  const ExternalRecord& r = records_[size_t(index)];
  if (r.prev != EXTERNAL_END) records_[size_t(r.prev)].link = r.link;
  else live_head_ = r.link;
  if (r.link != EXTERNAL_END) records_[size_t(r.link)].prev = r.prev;
  live_count_--;
}

void ExternalTable::push_free(int32_t index) {
  records_[size_t(index)] = free_record(free_head_);
  free_head_ = index;
}

bool ExternalTable::replace(int32_t index, ExternalHandle handle) {
  if (!is_live(index)) return false;
  ExternalRecord old = records_[size_t(index)];
  records_[size_t(index)].handle = handle;
  if (old.handle != handle) release(old);
  return true;
}

bool ExternalTable::remove(int32_t index, bool release_it) {
  if (!is_live(index)) return false;
  ExternalRecord old = records_[size_t(index)];
  unlink_live(index);
  push_free(index);
  if (release_it) release(old);
  return true;
}

bool ExternalTable::release_handle(int32_t index) {
  if (!is_live(index)) return false;
  ExternalRecord old = records_[size_t(index)];
  records_[size_t(index)].handle = 0;
  release(old);
  return true;
}

bool ExternalTable::mark(int32_t index, ExternalHandle handle) {
  if (!is_live(index)) return false;
  ExternalRecord& r = records_[size_t(index)];
  if (handle) {
#ifndef NDEBUG
    // Overwriting a handle that was never released leaks it.
    if (r.handle != 0 && r.handle != handle) fatal_error(98, 0);
#endif
    r.handle = handle;
  }
  bool was_marked = r.tag & EXTERNAL_MARK;
  r.tag |= EXTERNAL_MARK;
  return !was_marked;
}

void ExternalTable::for_each(int class_id, void (*fn)(ExternalHandle, void*), void* context) const {
  for (int32_t i = live_head_; i != EXTERNAL_END;) {
    const ExternalRecord& r = records_[size_t(i)];
    int32_t next = r.link;
    if (int(r.tag & EXTERNAL_CLASS_MASK) == class_id) fn(r.handle, context);
    i = next;
  }
}

void ExternalTable::sweep() {
  for (int32_t i = live_head_; i != EXTERNAL_END;) {
    ExternalRecord& r = records_[size_t(i)];
    int32_t next = r.link;
    if (r.tag & EXTERNAL_MARK) {
      r.tag &= ~EXTERNAL_MARK;
    } else {
      ExternalRecord dead = r;
      unlink_live(i);
      push_free(i);
      release(dead);
    }
    i = next;
  }
}

}  // namespace vel
