#include "translate/kept_lines.h"

#include <algorithm>

namespace quayside {
namespace {

// A line's allocation beyond its bytes: the allocator's header, the NUL and
// the rounding up to its chunk size.
constexpr std::size_t kAllocationOverhead = 32;
constexpr std::size_t kFirstCapacity = 16;

std::size_t costOf(std::size_t bytes) {
  return bytes + kAllocationOverhead;
}

}  // namespace

const KeptLine& KeptLines::operator[](std::size_t index) const {
  return ring_[(first_ + index) % ring_.size()];
}

std::size_t KeptLines::memory() const {
  return ring_.capacity() * sizeof(KeptLine) + lineBytes_;
}

// The array's capacity once it holds `lines`: it grows in steps of its own
// (doubling, up to the limit exactly), so what it holds is known.
std::size_t KeptLines::capacityFor(std::size_t lines) const {
  if (lines <= ring_.capacity()) {
    return ring_.capacity();
  }
  return std::min(kKeptLineLimit, std::max(kFirstCapacity, ring_.capacity() * 2));
}

void KeptLines::keep(std::string_view command, std::int64_t at) {
  const std::size_t cost = costOf(command.size());
  // One that would not fit even beside a full array is never kept.
  if (cost + kKeptLineLimit * sizeof(KeptLine) > kKeptByteLimit) {
    ++dropped_;
    return;
  }
  while (count_ == kKeptLineLimit ||
         (count_ > 0 &&
          capacityFor(count_ + 1) * sizeof(KeptLine) + lineBytes_ + cost > kKeptByteLimit)) {
    dropOldest();
  }
  if (count_ == ring_.size()) {
    // Full: the ring becomes a straight array again and takes one more slot.
    std::rotate(ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(first_), ring_.end());
    first_ = 0;
    ring_.reserve(capacityFor(count_ + 1));
    ring_.emplace_back();
  }
  KeptLine& line = ring_[(first_ + count_) % ring_.size()];
  line.command.assign(command);
  line.at = at;
  ++count_;
  lineBytes_ += cost;
}

void KeptLines::dropOldest() {
  KeptLine& oldest = ring_[first_];
  lineBytes_ -= costOf(oldest.command.size());
  std::string().swap(oldest.command);
  first_ = (first_ + 1) % ring_.size();
  --count_;
  ++dropped_;
}

void KeptLines::clear() {
  std::vector<KeptLine>().swap(ring_);
  first_ = 0;
  count_ = 0;
  lineBytes_ = 0;
  dropped_ = 0;
}

}  // namespace quayside
