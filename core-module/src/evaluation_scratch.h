// ScratchSlot: the storage of one evaluation, kept by an engine object
// between calls so that an evaluation reuses the allocations of the last.
//
// An evaluation needs an Event (its field map, its whole-event map), a
// PolicyResult (its lists) and the str objects its fields came from. Building
// them afresh costs allocations the result does not need; the slot keeps one
// set. A call borrows it for its whole length:
//
//   ScratchLease lease(self->scratch);   // the kept storage, or a fresh one
//   Event& event = lease->event;         // reset it before use
//   ...                                  // convert fields, evaluate into
//                                        // lease->result, build the dict
//   // leaving the scope hands the storage back
//
// Converting the fields may run Python code that calls back into the same
// engine. Such a nested call finds the slot empty and works on storage of
// its own, so no two calls ever share storage; whichever storage is handed
// back first is kept, the other is dropped. Everything happens under the
// interpreter lock, so taking and handing back need no lock of their own.
// Nothing of an event outlives its call: handing the storage back empties
// it, so kept storage holds no Python object.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <utility>

#include "halvo_runtime/event.h"
#include "halvo_runtime/policy_result.h"
#include "source_strings.h"

namespace corvanth_core {

struct EvaluationScratch {
  halvo_runtime::event::Event event{halvo::SmallString(), 0};
  halvo_runtime::engine::PolicyResult result;
  SourceStrings sources;  // the event's str fields, for the result
};

class ScratchSlot {
 public:
  // The kept storage, or a fresh one when a call is using it (or on the
  // first call). May throw std::bad_alloc.
  std::unique_ptr<EvaluationScratch> take() {
    if (kept_) return std::move(kept_);
    return std::make_unique<EvaluationScratch>();
  }

  // Empties `scratch` and keeps it for the next call, unless storage is
  // kept already. Storage grown past kMaxKept fields or actions is
  // dropped, so that one huge event does not pin its memory for the
  // engine's life.
  void give_back(std::unique_ptr<EvaluationScratch> scratch) noexcept {
    if (kept_ || scratch->event.fields().size() > kMaxKept ||
        scratch->result.actions.capacity() > kMaxKept) {
      return;
    }
    scratch->event.reset(std::string_view(), 0);
    scratch->result.clear();
    scratch->sources.clear();
    kept_ = std::move(scratch);
  }

 private:
  static constexpr std::size_t kMaxKept = 64;
  std::unique_ptr<EvaluationScratch> kept_;
};

// Borrows the slot's storage for one scope.
class ScratchLease {
 public:
  explicit ScratchLease(ScratchSlot& slot)
      : slot_(slot), scratch_(slot.take()) {}
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  ~ScratchLease() { slot_.give_back(std::move(scratch_)); }

  EvaluationScratch* operator->() const noexcept { return scratch_.get(); }

 private:
  ScratchSlot& slot_;
  std::unique_ptr<EvaluationScratch> scratch_;
};

}  // namespace corvanth_core
