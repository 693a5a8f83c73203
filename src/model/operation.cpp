// The settings snapshot of a running operation (model/extractor.hpp).
#include <new>

#include "interop/state.hpp"
#include "model/extractor.hpp"

namespace lq {

namespace {

const Operation* running_on(ColorExtractor* self) noexcept {
    const auto& running_operations = ProcessState::running_operations;
    for (auto it = running_operations.rbegin(); it != running_operations.rend(); ++it)
        if ((*it)->self == self) return *it;
    return nullptr;
}

}  // namespace

Operation::Operation(ColorExtractor* extractor)
    : self(extractor),
      n_colors(extractor->n_colors),
      algorithm(extractor->algorithm),
      preprocessing(extractor->preprocessing),
      lab_space(extractor->lab_space),
      active_(false) {
    if (running_on(extractor)) return;
    try {
        ProcessState::running_operations.push_back(this);
        active_ = true;
    } catch (const std::bad_alloc&) {
        // Without a snapshot the operation reads the live settings, as a direct stage call does.
    }
}

Operation::~Operation() {
    if (active_) ProcessState::running_operations.pop_back();
}

Settings settings(ColorExtractor* self) noexcept {
    if (const Operation* operation = running_on(self))
        return {operation->n_colors, operation->algorithm.get(), operation->preprocessing, operation->lab_space};
    return {self->n_colors, self->algorithm.get(), self->preprocessing != 0, self->lab_space != 0};
}

}  // namespace lq
