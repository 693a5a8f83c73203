#include "interop/constants.hpp"

#include "interop/ref.hpp"

namespace lq {
namespace {

std::vector<ConstantSlot*>& registry() {
    static std::vector<ConstantSlot*> slots;
    return slots;
}

}  // namespace

ConstantSlot::ConstantSlot(Factory factory) : factory_(factory) { registry().push_back(this); }

int create_constants() {
    for (ConstantSlot* slot : registry()) {
        if (slot->object_) continue;  // a failed earlier execution may have created some already
        slot->object_ = slot->factory_();
        if (!slot->object_) return -1;
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
