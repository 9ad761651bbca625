#pragma once
// WriteBatch: what a loop's socket transports were given by write() during
// one pass over the ready queue, held until the pass ends and then sent
// with one sendmsg per transport (see flush_writes in socket_transport.h).
// A response written as a head and a body, or in several pieces, leaves in
// one system call and, over TCP, usually in one segment, where asyncio's
// loop makes a call and a segment of each write.
//
// Only writes that asyncio would have sent at once are held: onto a
// transport with nothing buffered, while the loop runs a pass. Whatever
// else a transport does that could tell the difference (another kind of
// write, write_eof, close, abort, asking its buffer's size or setting its
// limits, sendfile) sends what it holds first, in order. So does holding a
// transport's 64 KiB: flow control then sees the data as asyncio's would.

#include <Python.h>

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "core/pyref.h"

namespace velkorio {

class WriteBatch {
 public:
  // What a transport holds beyond which it sends at once.
  static constexpr std::size_t limit = 64 * 1024;

  struct Entry {
    velkor::PyRef transport;  // null once taken
    std::vector<velkor::PyRef> pieces;  // bytes objects, in the order written
    std::size_t bytes = 0;
  };

  // Whether writes are held now: while the loop runs a pass.
  bool open() const noexcept { return open_; }
  void set_open(bool open) noexcept { open_ = open; }
  bool empty() const noexcept { return entries_.empty(); }

  // Holds `piece` (bytes of `size` bytes) for `transport`; returns how much
  // the transport now holds.
  std::size_t add(PyObject* transport, velkor::PyRef piece, std::size_t size);
  // What `transport` holds (nothing when it holds nothing), no longer held.
  std::vector<velkor::PyRef> take(PyObject* transport);
  // Every transport's entry, in the order they were first written.
  std::vector<Entry> take_all();

  template <typename Visit>
  int traverse(Visit visit) const {
    for (const Entry& entry : entries_) {
      if (int status = visit(entry.transport.get())) return status;
      for (const velkor::PyRef& piece : entry.pieces) {
        if (int status = visit(piece.get())) return status;
      }
    }
    return 0;
  }

 private:
  std::vector<Entry> entries_;
  // Where each transport's entry is. Consecutive writes to one transport,
  // the common case, find theirs last and skip the lookup.
  std::unordered_map<PyObject*, std::size_t> index_;
  bool open_ = false;
};

}  // namespace velkorio
