#include "result_buffer.hpp"

#include <memory>

namespace tarvel::py {
namespace {

// The vector behind a buffer, with what the buffer protocol reports of it.
class Storage {
public:
    virtual ~Storage() = default;
    void* data = nullptr;
    Py_ssize_t itemsize = 1;
    Py_ssize_t shape[1] = {0};
    Py_ssize_t strides[1] = {1};
    const char* format = "B";
    // Seen as plain bytes by a consumer that asks for no format.
    Py_ssize_t byte_shape[1] = {0};
    Py_ssize_t byte_strides[1] = {1};
};

template <class T>
class VectorStorage final : public Storage {
public:
    VectorStorage(std::vector<T>&& values, const char* type_code) : values_(std::move(values)) {
        data = values_.data();
        itemsize = sizeof(T);
        shape[0] = static_cast<Py_ssize_t>(values_.size());
        strides[0] = sizeof(T);
        format = type_code;
        byte_shape[0] = shape[0] * itemsize;
    }

private:
    std::vector<T> values_;
};

struct ResultBufferObject {
    PyObject_HEAD
    Storage* storage;  // owned; never null once created
};

ResultBufferObject* as_buffer(PyObject* object) { return reinterpret_cast<ResultBufferObject*>(object); }

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    const Storage& storage = *as_buffer(self)->storage;
    const bool typed = (flags & PyBUF_FORMAT) != 0;
    view->obj = Py_NewRef(self);
    view->buf = storage.data;
    view->len = storage.byte_shape[0];
    view->readonly = 0;  // private to the array that wraps it
    view->itemsize = typed ? storage.itemsize : 1;
    view->format = typed ? const_cast<char*>(storage.format) : nullptr;
    view->ndim = 1;
    view->shape = nullptr;
    view->strides = nullptr;
    if (flags & PyBUF_ND) view->shape = const_cast<Py_ssize_t*>(typed ? storage.shape : storage.byte_shape);
    if ((flags & PyBUF_STRIDES) == PyBUF_STRIDES) {
        view->strides = const_cast<Py_ssize_t*>(typed ? storage.strides : storage.byte_strides);
    }
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void deallocate(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_buffer(self)->storage;
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyType_Slot result_buffer_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(&get_buffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate)},
    {Py_tp_doc, const_cast<char*>("Memory of a result, for numpy.asarray; made only by tarvel_tools._native.")},
    {0, nullptr},
};

PyType_Spec result_buffer_spec = {
    "tarvel_tools._native.ResultBuffer",
    sizeof(ResultBufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    result_buffer_slots,
};

Ref adopt(PyObject* buffer_type, std::unique_ptr<Storage> storage) {
    auto* type = reinterpret_cast<PyTypeObject*>(buffer_type);
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref object = Ref::check(allocate(type, 0));
    as_buffer(object.get())->storage = storage.release();
    return object;
}

}  // namespace

Ref create_result_buffer_type(PyObject* module) {
    return Ref::check(PyType_FromModuleAndSpec(module, &result_buffer_spec, nullptr));
}

Ref make_result_buffer(PyObject* buffer_type, std::vector<std::uint8_t>&& values) {
    return adopt(buffer_type, std::make_unique<VectorStorage<std::uint8_t>>(std::move(values), "B"));
}

Ref make_result_buffer(PyObject* buffer_type, std::vector<std::int64_t>&& values) {
    // NumPy's int64 is C long where long has 64 bits: "q" would give an
    // equivalent but differently named type.
    constexpr const char* int64_code = sizeof(long) == 8 ? "l" : "q";
    return adopt(buffer_type, std::make_unique<VectorStorage<std::int64_t>>(std::move(values), int64_code));
}

Ref make_result_buffer(PyObject* buffer_type, std::vector<double>&& values) {
    return adopt(buffer_type, std::make_unique<VectorStorage<double>>(std::move(values), "d"));
}

}  // namespace tarvel::py
