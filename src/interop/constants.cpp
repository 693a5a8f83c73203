#include "interop/constants.hpp"

#include "interop/ref.hpp"

namespace lq {

ConstantSlot::ConstantSlot(Factory factory) : index_(process_state().constants.size()) {
    process_state().constants.push_back({factory, Ref()});
}

int create_constants() {
    for (ProcessState::Constant& constant : process_state().constants) {
        if (constant.object) continue;  // a failed earlier execution may have created some already
        constant.object = Ref::steal(constant.make());
        if (!constant.object) return -1;
    }
    return 0;
}

PyObject* make_int_tuple(const long* values, Py_ssize_t count) {
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return nullptr;
    for (Py_ssize_t index = 0; index < count; ++index) {
        PyObject* item = PyLong_FromLong(values[index]);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), index, item);
    }
    return tuple.release();
}

}  // namespace lq
