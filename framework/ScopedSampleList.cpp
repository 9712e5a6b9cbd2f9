#include "framework/ScopedSampleList.h"

#include <array>

namespace tarsio {

namespace {

// A chain's fan-in per node is small (one source, or a mixer's few): the first use of a level
// reserves this much, so a level normally allocates once per thread.
constexpr size_t kInitialCapacity = 8;

struct ThreadLists {
  std::array<AudioSampleList, ScopedSampleList::kLevels> lists;
  int depth = 0;
};

ThreadLists& Lists() {
  thread_local ThreadLists lists;
  return lists;
}

}  // namespace

ScopedSampleList::ScopedSampleList() : list_(&own_) {
  ThreadLists& lists = Lists();
  if (lists.depth < kLevels) {
    list_ = &lists.lists[static_cast<size_t>(lists.depth)];
    ++lists.depth;
    borrowed_ = true;
    if (list_->capacity() < kInitialCapacity) list_->reserve(kInitialCapacity);
  }
}

ScopedSampleList::~ScopedSampleList() {
  list_->clear();
  if (borrowed_) --Lists().depth;
}

}  // namespace tarsio
