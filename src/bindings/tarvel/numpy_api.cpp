#include "numpy_api.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>

#include "numeric/fault.hpp"
#include "errors.hpp"

namespace tarvel::py {
namespace {

static_assert(offsetof(ArrayObject, data) == 16 && offsetof(ArrayObject, nd) == 24 &&
                  offsetof(ArrayObject, dimensions) == 32 && offsetof(ArrayObject, strides) == 40 &&
                  offsetof(ArrayObject, base) == 48 && offsetof(ArrayObject, descr) == 56 &&
                  offsetof(ArrayObject, flags) == 64,
              "ndarray layout differs from NumPy's");

// Slots of the API table and constants, identical in NumPy 1.26 and 2.x.
enum Slot : int {
    kArrayType = 2,
    kDescrFromType = 45,
    kNewFromDescr = 94,
    kEquivTypes = 182,
    kSetBaseObject = 282,
};
constexpr int kTypeDouble = 12;
constexpr int kTypeUByte = 2;
constexpr int kCArrayFlags = 0x1 | 0x100 | 0x400;  // C_CONTIGUOUS | ALIGNED | WRITEABLE

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int,
                                   PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

void** api_table = nullptr;  // written once, with the interpreter lock held

// The pending error, told in words; it stays pending.
std::string text_of_pending_error() {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!error) return "unknown error";
    Ref text = Ref::steal(PyObject_Str(error.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    std::string result = utf8 ? utf8 : "unprintable error";
    PyErr_SetRaisedException(error.release());  // replaces any error of str()
    return result;
}

// The internal fault for an unusable NumPy, naming what went wrong and
// caused by the pending error.
[[noreturn]] void fail_to_load(const std::string& what) {
    const std::string message = "Failed to access NumPy array API capsule: " + what + text_of_pending_error();
    raise_fault_from_pending_error(message.c_str());
}

void** load_api_table() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) fail_to_load("");
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    const char* text = version ? PyUnicode_AsUTF8AndSize(version.get(), nullptr) : nullptr;
    if (text == nullptr) fail_to_load("numpy.__version__ is unreadable: ");
    const long major = std::strtol(text, nullptr, 10);
    const char* module_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref multiarray = Ref::steal(PyImport_ImportModule(module_name));
    if (!multiarray) fail_to_load("");
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) fail_to_load("");
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) fail_to_load("");
    // The table lives as long as NumPy's extension module, which is never
    // unloaded once imported.
    return static_cast<void**>(table);
}

void** api() {
    if (api_table == nullptr) api_table = load_api_table();
    return api_table;
}

template <class Fn>
Fn slot(Slot index) {
    return reinterpret_cast<Fn>(api()[index]);
}

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(api()[kArrayType]); }

Ref descriptor(int type_number) { return Ref::check(slot<DescrFromType>(kDescrFromType)(type_number)); }

[[noreturn]] void refuse_matrix(PyObject* object) {
    Ref name = Ref::check(PyType_GetQualName(Py_TYPE(object)));
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyArray<T, D>'", name.get());
    throw PythonErrorSet{};
}

template <class T>
void free_holder(PyObject* capsule) {
    delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, "tarvel.buffer"));
}

template <class T>
Ref adopt(std::vector<T>&& buffer, int type_number, int nd, npy_intp* shape) {
    if (buffer.capacity() == 0) buffer.reserve(1);  // NumPy allocates its own memory for NULL data
    auto owned = std::make_unique<std::vector<T>>(std::move(buffer));
    void* data = owned->data();
    Ref holder = Ref::check(PyCapsule_New(owned.get(), "tarvel.buffer", free_holder<T>));
    owned.release();  // the holder frees it from now on
    Ref descr = descriptor(type_number);
    Ref array = Ref::check(slot<NewFromDescr>(kNewFromDescr)(array_type(), descr.release(), nd, shape,
                                                               nullptr, data, kCArrayFlags, nullptr));
    // Steals the holder even when it fails.
    check_status(slot<SetBaseObject>(kSetBaseObject)(array.get(), holder.release()));
    return array;
}

}  // namespace

MatrixArgument to_float64_matrix(PyObject* object) {
    if (!PyObject_TypeCheck(object, array_type())) refuse_matrix(object);
    auto* array = reinterpret_cast<ArrayObject*>(object);
    if (array->nd != 2) refuse_matrix(object);
    Ref float64 = descriptor(kTypeDouble);
    if (!slot<EquivTypes>(kEquivTypes)(array->descr, float64.get())) refuse_matrix(object);
    MatrixView view{array->data, static_cast<std::size_t>(array->dimensions[0]),
                    static_cast<std::size_t>(array->dimensions[1]), array->strides[0], array->strides[1]};
    return MatrixArgument{Ref::borrow(object), view};
}

Ref adopt_as_float64_array(std::vector<double>&& buffer, std::initializer_list<npy_intp> shape) {
    npy_intp dims[2] = {0, 0};
    if (shape.size() < 1 || shape.size() > std::size(dims)) raise_fault("float64 arrays have one or two dimensions");
    std::copy(shape.begin(), shape.end(), dims);
    npy_intp size = 1;
    for (const npy_intp extent : shape) size *= extent;
    require_equal(buffer.size(), static_cast<std::uint64_t>(size), "array shape holds the buffer");
    return adopt(std::move(buffer), kTypeDouble, static_cast<int>(shape.size()), dims);
}

Ref adopt_as_uint8_array(std::vector<std::uint8_t>&& buffer) {
    npy_intp length = static_cast<npy_intp>(buffer.size());
    return adopt(std::move(buffer), kTypeUByte, 1, &length);
}

}  // namespace tarvel::py
