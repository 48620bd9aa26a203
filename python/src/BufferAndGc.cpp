// The Matrix type's buffer protocol (zero-copy views of the column-major
// storage) and its garbage-collector hooks (handlers may refer back to the
// matrix they are connected to).
#include "BufferAndGc.h"

#include "core/MatrixAccess.h"

namespace kestrim::python {

namespace {

PyMatrix* Get(PyObject* self) noexcept {
    try {
        return &py::cast<PyMatrix&>(py::handle(self));
    } catch (...) {
        PyErr_Clear();
        return nullptr;
    }
}

int Refuse(const char* why) {
    PyErr_SetString(PyExc_BufferError, why);
    return -1;
}

// A view is handed out only while nothing can move the storage under it:
// the matrix is not inside a running operation, and members that would
// replace the storage refuse while views exist (see Claim). Where a view is
// refused, numpy.asarray falls back to __array__, which copies.
int GetBuffer(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    PyMatrix* s = Get(self);
    if (s == nullptr) return Refuse("not an initialized kestrim.Matrix");
    if (s->busyDepth > 0) return Refuse("this Matrix is in use by a running operation; use to_numpy()");
    const DoubleArray& e = detail::MatrixAccess::Elements(*s->m);
    const Py_ssize_t rows = s->m->Rows(), cols = s->m->Cols();
    if (!e.HasStorage() || e.Dims() != 2 || static_cast<std::size_t>(rows * cols) != e.Count())
        return Refuse("this Matrix has no element storage");
    const bool bothOrders = rows <= 1 || cols <= 1;
    if ((flags & PyBUF_STRIDES) != PyBUF_STRIDES && !bothOrders)
        return Refuse("the storage is column-major: ask for a strided buffer");
    if ((flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS && !bothOrders)
        return Refuse("the storage is column-major, not C-contiguous");

    auto* dims = new Py_ssize_t[4]{rows, cols, static_cast<Py_ssize_t>(sizeof(double)),
                                   static_cast<Py_ssize_t>(sizeof(double)) * rows};
    const bool withShape = (flags & PyBUF_ND) == PyBUF_ND;
    view->buf = const_cast<double*>(e.Data());
    Py_INCREF(self);
    view->obj = self;
    view->len = rows * cols * static_cast<Py_ssize_t>(sizeof(double));
    view->readonly = 0;
    view->itemsize = sizeof(double);
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("d") : nullptr;
    view->ndim = withShape ? 2 : 1;
    view->shape = withShape ? dims : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? dims + 2 : nullptr;
    view->suboffsets = nullptr;
    view->internal = dims;
    ++s->exports;
    return 0;
}

void ReleaseBuffer(PyObject* self, Py_buffer* view) {
    delete[] static_cast<Py_ssize_t*>(view->internal);
    if (PyMatrix* s = Get(self)) --s->exports;
}

int Traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (PyMatrix* s = Get(self)) Py_VISIT(s->handlers.ptr());
    return 0;
}

int Clear(PyObject* self) {
    if (PyMatrix* s = Get(self)) s->handlers = py::list();
    return 0;
}

}  // namespace

py::custom_type_setup MatrixTypeSetup() {
    return py::custom_type_setup([](PyHeapTypeObject* heapType) {
        auto* type = &heapType->ht_type;
        type->tp_flags |= Py_TPFLAGS_HAVE_GC;
        type->tp_traverse = Traverse;
        type->tp_clear = Clear;
        heapType->as_buffer.bf_getbuffer = GetBuffer;
        heapType->as_buffer.bf_releasebuffer = ReleaseBuffer;
        type->tp_as_buffer = &heapType->as_buffer;
    });
}

}  // namespace kestrim::python
