#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

namespace veltra::forest {

// The states of a forest's nodes when every state is an array of one shape and dtype: one row of
// `row_bytes` bytes per id, indexed like the node store (or, for pending roots, by root), so that
// an id that advance or reset frees and a later node takes again simply has its row overwritten.
// It grows as the node store does (reserve to its capacity) and never shrinks. Rows are plain
// bytes: the caller knows their dtype and shape, and copies whole rows.
class StateStore {
 public:
  explicit StateStore(std::size_t row_bytes) : row_bytes_(row_bytes) {}

  std::size_t row_bytes() const noexcept { return row_bytes_; }
  std::size_t rows() const noexcept { return rows_; }
  // The bytes the rows take (capacity included), for memory reports.
  std::size_t memory_bytes() const noexcept { return bytes_.capacity(); }

  // Room for ids below `rows`; throws bad_alloc with nothing changed.
  void reserve(std::size_t rows) {
    if (rows <= rows_) return;
    bytes_.resize(rows * row_bytes_);
    rows_ = rows;
  }

  unsigned char* row(std::size_t id) noexcept { return bytes_.data() + id * row_bytes_; }
  const unsigned char* row(std::size_t id) const noexcept {
    return bytes_.data() + id * row_bytes_;
  }

  void write(std::size_t id, const void* source) noexcept {
    if (row_bytes_ > 0) std::memcpy(row(id), source, row_bytes_);
  }
  void read(std::size_t id, void* destination) const noexcept {
    if (row_bytes_ > 0) std::memcpy(destination, row(id), row_bytes_);
  }

 private:
  std::size_t row_bytes_;
  std::size_t rows_ = 0;
  std::vector<unsigned char> bytes_;
};

}  // namespace veltra::forest
