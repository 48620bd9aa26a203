#include "Convert.h"

#include <cstring>
#include <limits>
#include <string>

#include "core/MatrixAccess.h"

namespace kestrim::python {

namespace {

[[noreturn]] void Fail(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
    throw py::error_already_set();
}

int32_t CheckedExtent(py::ssize_t n) {
    if (n > std::numeric_limits<int32_t>::max())
        Fail(PyExc_ValueError, "array dimension " + std::to_string(n) + " exceeds the largest Matrix size");
    return static_cast<int32_t>(n);
}

const py::module_& Numpy() {
    static const py::module_* np = new py::module_(py::module_::import("numpy"));
    return *np;
}

}  // namespace

DoubleArray ArrayFromPython(py::handle obj, bool keepOneDimensional, int* ndim) {
    const py::array any = Numpy().attr("asarray")(obj);
    const char kind = any.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f')
        Fail(PyExc_TypeError, "expected an array of real numbers (bool, integer or float), got dtype " +
                                  py::str(any.dtype()).cast<std::string>());
    if (any.ndim() != 1 && any.ndim() != 2)
        Fail(PyExc_ValueError, "expected a 1-D or 2-D array, got " + std::to_string(any.ndim()) +
                                   " dimension(s)");
    if (ndim != nullptr) *ndim = static_cast<int>(any.ndim());
    const auto values = py::array_t<double, py::array::forcecast>::ensure(any);
    if (!values) throw py::error_already_set();

    const int32_t rows = CheckedExtent(values.shape(0));
    const int32_t cols = values.ndim() == 2 ? CheckedExtent(values.shape(1)) : 1;
    const bool oneDimensional = values.ndim() == 1;
    DoubleArray out = oneDimensional && keepOneDimensional ? DoubleArray::Create1D(rows - 1)
                                                           : DoubleArray::Create2D(rows - 1, cols - 1);
    const auto* base = reinterpret_cast<const char*>(values.data());
    const py::ssize_t rowStride = values.strides(0);
    const py::ssize_t colStride = oneDimensional ? 0 : values.strides(1);
    double* dst = out.Data();
    if (rowStride == static_cast<py::ssize_t>(sizeof(double)) &&
        (cols == 1 || colStride == rowStride * rows)) {
        if (out.Count() != 0) std::memcpy(dst, base, out.Count() * sizeof(double));  // Fortran order
        return out;
    }
    for (int32_t c = 0; c < cols; ++c) {
        const char* column = base + static_cast<py::ssize_t>(c) * colStride;
        for (int32_t r = 0; r < rows; ++r) {
            double v;
            std::memcpy(&v, column + static_cast<py::ssize_t>(r) * rowStride, sizeof v);
            *dst++ = v;
        }
    }
    return out;
}

MatrixPtr MatrixFromPython(py::handle obj) {
    int ndim = 0;
    DoubleArray array = ArrayFromPython(obj, false, &ndim);
    if (ndim == 1 && array.Count() == 0)
        Fail(PyExc_ValueError, "an empty 1-D array has no column to load");
    auto m = Matrix::New();
    detail::MatrixAccess::SetData(*m, std::move(array));
    return m;
}

py::array_t<double> ToNumpy(const Matrix& m) {
    detail::MatrixAccess::RequireStorage(m);
    const DoubleArray& e = detail::MatrixAccess::Elements(m);
    const py::ssize_t rows = m.Rows(), cols = m.Cols();
    py::array_t<double, py::array::f_style> out({rows, cols});
    if (e.Count() != 0) std::memcpy(out.mutable_data(), e.Data(), e.Count() * sizeof(double));
    return out;
}

Variant VariantFromPython(py::handle obj) {
    if (obj.is_none()) return Variant();
    if (py::isinstance<py::bool_>(obj)) return Variant::FromBoolean(obj.cast<bool>());
    if (py::isinstance<py::int_>(obj) || py::isinstance(obj, Numpy().attr("integer"))) {
        const auto value = py::int_(py::reinterpret_borrow<py::object>(obj));
        const long long v = PyLong_AsLongLong(value.ptr());
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return Variant(obj.cast<double>());  // out of range: the library raises overflow
        }
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
            return Variant(static_cast<double>(v));
        return Variant(static_cast<int32_t>(v));
    }
    if (py::isinstance<py::float_>(obj) || py::isinstance(obj, Numpy().attr("floating")))
        return Variant(obj.cast<double>());
    if (py::isinstance<py::str>(obj)) return Variant(obj.cast<std::string>());
    if (py::isinstance<py::sequence>(obj) || py::isinstance<py::array>(obj)) {
        std::vector<Variant> items;
        for (const auto& item : py::iter(obj)) items.push_back(VariantFromPython(item));
        return Variant::MakeVariantArray(items);
    }
    Fail(PyExc_TypeError, "a permutation index holds ints (or numbers or numeric text), not " +
                              py::str(py::type::of(obj)).cast<std::string>());
}

py::object VariantToPython(const Variant& v) {
    switch (v.Type()) {
        case VariantType::Empty: return py::none();
        case VariantType::Boolean: return py::bool_(v.AsBoolean());
        case VariantType::Long: return py::int_(v.AsLongRaw());
        case VariantType::Double: return py::float_(v.AsDoubleRaw());
        case VariantType::String: return py::str(v.AsStringRaw());
        case VariantType::DoubleArray: {
            const auto& d = v.Doubles();
            py::list out;
            for (std::size_t i = 0; i < d.Count(); ++i) out.append(d.Data()[i]);
            return out;
        }
        case VariantType::VariantArray:
        case VariantType::LongArray: {
            py::list out;
            if (!v.IsArray()) return out;
            for (int32_t i = v.LBound(); i <= v.UBound(); ++i) out.append(VariantToPython(v.At(i)));
            return out;
        }
    }
    return py::none();
}

// ---- Errors ----------------------------------------------------------------

namespace {

const char* ErrorClassName(const Error& e) {
    const auto number = static_cast<uint32_t>(e.Number());
    if (number > kMatrixErrorBase && number <= kMatrixErrorBase + 20) return "MatrixError";
    switch (static_cast<RuntimeError>(e.Number())) {
        case RuntimeError::Overflow:
            return e.Description() == kInvalidOperationText ? "MatrixInvalidOperationError"
                                                            : "MatrixOverflowError";
        case RuntimeError::DivisionByZero: return "MatrixZeroDivisionError";
        case RuntimeError::SubscriptOutOfRange: return "MatrixSubscriptError";
        case RuntimeError::TypeMismatch: return "MatrixTypeMismatchError";
        case RuntimeError::OutOfMemory: return "MatrixMemoryError";
        case RuntimeError::InvalidArgument: return "MatrixArgumentError";
        case RuntimeError::MissingObject: return "MatrixObjectError";
    }
    return "MatrixRuntimeError";
}

void RaisePython(const Error& e) {
    static const py::module_* errors = new py::module_(py::module_::import("kestrim._errors"));
    const py::object cls = errors->attr(ErrorClassName(e));
    const py::object instance =
        cls(e.Number(), e.Description(), e.HelpFile(), e.HelpContext(), e.Source());
    PyErr_SetObject(cls.ptr(), instance.ptr());
}

}  // namespace

void RegisterErrorTranslator() {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Error& e) {
            RaisePython(e);
        }
    });
}

}  // namespace kestrim::python
