#include "write_batch.h"

#include <utility>

namespace velkorio {

using velkor::PyRef;

std::size_t WriteBatch::add(PyObject* transport, PyRef piece, std::size_t size) {
  Entry* entry = nullptr;
  if (!entries_.empty() && entries_.back().transport.get() == transport) {
    entry = &entries_.back();
  } else if (auto found = index_.find(transport); found != index_.end()) {
    entry = &entries_[found->second];
  } else {
    index_.emplace(transport, entries_.size());
    entry = &entries_.emplace_back();
    entry->transport = PyRef::borrow(transport);
  }
  entry->pieces.push_back(std::move(piece));
  entry->bytes += size;
  return entry->bytes;
}

std::vector<PyRef> WriteBatch::take(PyObject* transport) {
  auto found = index_.find(transport);
  if (found == index_.end()) return {};
  Entry& entry = entries_[found->second];
  index_.erase(found);
  // The entry keeps its place, empty, so that the others keep theirs.
  PyRef released = std::move(entry.transport);
  entry.bytes = 0;
  return std::exchange(entry.pieces, {});
}

std::vector<WriteBatch::Entry> WriteBatch::take_all() {
  index_.clear();
  return std::exchange(entries_, {});
}

}  // namespace velkorio
