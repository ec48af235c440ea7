// Precise roots held by C++ code.
//
// The collector never scans the machine stack. C++ code that keeps a value
// or a series alive across a `may_gc` call puts it in one of these RAII
// roots; the collector marks what they hold and rewrites node handles it
// relocates. Roots nest strictly (constructed and destroyed in LIFO order),
// so each kind is one intrusive list.
//
// What a module keeps for the whole run (a global cell array, a table
// node) is registered once instead, under a tag that says where it comes
// from. visit_roots (collector.h) lists every root, both kinds among them.
#pragma once
#include <cstddef>
#include <vector>

#include "cell.h"

namespace vel {

// Registers cells, a node slot or a hash table's node slot that stay roots
// for the rest of the run. The tag names the owner; it is kept, not copied.
// Registering the same place again changes nothing.
void register_root(const char* tag, Cell* cells, size_t count);
void register_root_node(const char* tag, NodeId* slot);
void register_root_table(const char* tag, NodeId* slot);
// Registers the slot of an ownership table (hashtable.h) that the collector
// holds weakly: its arrays live, and an entry lives only while its key
// series and its owner's context live; a key series that survives its
// entry loses its owned flag. Not a root: visit_roots does not list it.
void register_weak_table(const char* tag, NodeId* slot);

// Registers a module's global cells at static initialisation.
struct StaticRoot {
  StaticRoot(const char* tag, Cell* cells, size_t count) { register_root(tag, cells, count); }
  StaticRoot(const char* tag, NodeId* slot) { register_root_node(tag, slot); }
};

// A range of cells owned by C++ (a local, a std::vector's storage that does
// not reallocate while rooted, a scratch array).
class RootedCells {
 public:
  RootedCells(Cell* cells, size_t count) : cells_(cells), count_(count), prev_(top_) { top_ = this; }
  ~RootedCells() { top_ = prev_; }
  RootedCells(const RootedCells&) = delete;
  RootedCells& operator=(const RootedCells&) = delete;

  void resize(Cell* cells, size_t count) {
    cells_ = cells;
    count_ = count;
  }
  Cell* cells() const { return cells_; }
  size_t count() const { return count_; }
  const RootedCells* prev() const { return prev_; }
  static const RootedCells* top() { return top_; }

 private:
  Cell* cells_;
  size_t count_;
  RootedCells* prev_;
  static inline RootedCells* top_ = nullptr;
};

// One cell kept alive by C++ code.
class RootedCell {
 public:
  explicit RootedCell(const Cell& c = unset_cell()) : cell_(c), root_(&cell_, 1) {}
  Cell& operator*() { return cell_; }
  Cell* operator->() { return &cell_; }
  Cell* get() { return &cell_; }

 private:
  Cell cell_;
  RootedCells root_;
};

// A growing stack of cells owned by C++ (a decoder's partial results): the
// root follows the vector's storage as it reallocates.
class RootedCellStack {
 public:
  RootedCellStack() : root_(nullptr, 0) {}
  void push(const Cell& c) {
    cells_.push_back(c);
    root_.resize(cells_.data(), cells_.size());
  }
  void truncate(size_t n) {
    cells_.resize(n);
    root_.resize(cells_.data(), cells_.size());
  }
  size_t size() const { return cells_.size(); }
  Cell& operator[](size_t i) { return cells_[i]; }
  Cell& back() { return cells_.back(); }

 private:
  std::vector<Cell> cells_;
  RootedCells root_;
};

// A node handle kept alive (and rewritten if the collector relocates nodes).
class RootedNode {
 public:
  explicit RootedNode(NodeId n = 0) : node_(n), prev_(top_) { top_ = this; }
  ~RootedNode() { top_ = prev_; }
  RootedNode(const RootedNode&) = delete;
  RootedNode& operator=(const RootedNode&) = delete;

  NodeId get() const { return node_; }
  operator NodeId() const { return node_; }
  RootedNode& operator=(NodeId n) {
    node_ = n;
    return *this;
  }
  NodeId* slot() { return &node_; }
  RootedNode* prev() const { return prev_; }
  static RootedNode* top() { return top_; }

 private:
  NodeId node_;
  RootedNode* prev_;
  static inline RootedNode* top_ = nullptr;
};

}  // namespace vel
