// kestrim._core: the Matrix class for Python. Every member of the C++ class
// under the same name; by-reference outputs that are not matrices come back
// as return values. The library computes without the GIL.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pythread.h>

#include <array>

#include "BufferAndGc.h"
#include "Convert.h"
#include "Operation.h"
#include "core/MatrixAccess.h"

namespace kestrim::python {

namespace {

// A Matrix argument: a kestrim.Matrix, None (an empty reference, which the
// library reports as a missing object) or any array-like (copied into a
// temporary Matrix).
struct MatrixArg {
    std::unique_ptr<PyMatrix> temp;
    PyMatrix* py = nullptr;
    MatrixPtr ptr;
};

MatrixArg ArgFrom(py::handle h) {
    MatrixArg a;
    if (h.is_none()) return a;
    if (py::isinstance<PyMatrix>(h)) {
        a.py = h.cast<PyMatrix*>();
    } else {
        a.temp = std::make_unique<PyMatrix>(MatrixFromPython(h));
        a.py = a.temp.get();
    }
    a.ptr = a.py->m;
    return a;
}

// A decomposition output: a kestrim.Matrix, or None for "not wanted".
PyMatrix* OutFrom(py::handle h, const char* name) {
    if (h.is_none()) return nullptr;
    if (!py::isinstance<PyMatrix>(h)) {
        PyErr_Format(PyExc_TypeError, "%s must be a kestrim.Matrix or None", name);
        throw py::error_already_set();
    }
    return h.cast<PyMatrix*>();
}

MatrixPtr* Slot(PyMatrix* out, MatrixPtr& local) {
    if (out == nullptr) return nullptr;
    local = out->m;
    return &local;
}

// Quick members run with the GIL; they still refuse a matrix that another
// thread is computing on, and storage replacement under live views.
void Check(PyMatrix& s, bool written) { Claim claim(s, written, {}); }

template <class Fn>
auto Run(PyMatrix& s, bool written, Involved others, EventMode mode, Fn&& fn) {
    return RunOperation(s, written, others, mode, std::forward<Fn>(fn));
}

// A member that returns a new Matrix from one Matrix argument.
template <MatrixPtr (Matrix::*Member)(MatrixPtr), EventMode Mode>
py::object BinaryOp(PyMatrix& s, py::object other) {
    MatrixArg b = ArgFrom(other);
    return Wrap(Run(s, false, {{b.py}, {}}, Mode, [&] { return ((*s.m).*Member)(b.ptr); }));
}

template <void (Matrix::*Member)(MatrixPtr)>
void InPlaceOp(PyMatrix& s, py::object other) {
    MatrixArg b = ArgFrom(other);
    Run(s, true, {{b.py}, {}}, EventMode::AtStart, [&] { ((*s.m).*Member)(b.ptr); });
}

template <void (Matrix::*Member)(MatrixPtr*, MatrixPtr*, Variant*, int32_t*)>
py::tuple LUMember(PyMatrix& s, py::object l, py::object U) {
    PyMatrix* pl = OutFrom(l, "l");
    PyMatrix* pu = OutFrom(U, "U");
    MatrixPtr lp, up;
    Variant perm;
    int32_t sign = 0;
    Run(s, false, {{}, {pl, pu}}, EventMode::Live,
        [&] { ((*s.m).*Member)(Slot(pl, lp), Slot(pu, up), &perm, &sign); });
    return py::make_tuple(VariantToPython(perm), sign);
}

template <void (Matrix::*Member)(MatrixPtr*)>
void CholeskyMember(PyMatrix& s, py::object l) {
    PyMatrix* pl = OutFrom(l, "l");
    MatrixPtr lp;
    Run(s, false, {{}, {pl}}, EventMode::Live, [&] { ((*s.m).*Member)(Slot(pl, lp)); });
}

// The index is passed by reference: the library swaps its entries as it
// goes, and a Python list given as the index receives them.
void RearrangeMember(PyMatrix& s, py::object PermIndex, void (Matrix::*member)(Variant&)) {
    Variant perm = VariantFromPython(PermIndex);
    Run(s, true, {}, EventMode::None, [&] { ((*s.m).*member)(perm); });
    if (py::isinstance<py::list>(PermIndex)) {
        const py::list after = VariantToPython(perm);
        py::list target = PermIndex;
        for (std::size_t i = 0; i < after.size() && i < target.size(); ++i) target[i] = after[i];
    }
}

py::object Connect(PyMatrix& s, py::object progress, py::object done, bool takesCancel) {
    Check(s, false);
    const py::int_ cookie(s.nextCookie++);
    s.handlers.append(py::make_tuple(cookie, progress, done, takesCancel));
    return cookie;
}

void Disconnect(PyMatrix& s, py::object cookie) {
    Check(s, false);
    py::list kept;
    for (const auto& entry : s.handlers)
        if (!py::object(entry.cast<py::tuple>()[0]).equal(cookie)) kept.append(entry);
    s.handlers = kept;
}

// AsArray (let): arrays go through the numpy checks; a scalar reaches the
// library, which reports "Not an array.".
void SetAsArray(PyMatrix& s, py::object vData) {
    Check(s, true);
    if (py::isinstance<py::array>(vData) ? py::array(vData).ndim() == 0
                                         : !py::isinstance<py::sequence>(vData) || py::isinstance<py::str>(vData))
        s.m->SetAsArray(VariantFromPython(py::isinstance<py::array>(vData) ? vData.attr("item")() : vData));
    else
        s.m->SetAsArray(ArrayFromPython(vData, true));
}

// QR, SVD and Eigen may leave outputs partly written when they are
// cancelled. So that a handler's exception or Ctrl-C never leaves anything
// half-written, they run into fresh objects, and the caller's outputs adopt
// whatever the library wrote unless such an exception ended the call. (A
// cancel by returning True, or a library error, gives the caller the
// library's own partial outputs.) Outputs that alias each other or the
// receiver are written directly, to keep the library's order of writes.
template <std::size_t N, class Call>
void RunIntoFreshOutputs(PyMatrix& s, std::array<PyMatrix*, N> outs, Call call) {
    Involved involved;
    bool aliased = false;
    for (std::size_t i = 0; i < N; ++i) {
        if (outs[i] == nullptr) continue;
        involved.writes.push_back(outs[i]);
        aliased = aliased || outs[i] == &s;
        for (std::size_t j = 0; j < i; ++j) aliased = aliased || outs[j] == outs[i];
    }
    std::array<MatrixPtr, N> fresh;
    std::array<MatrixPtr*, N> slots{};
    for (std::size_t i = 0; i < N; ++i) {
        if (outs[i] == nullptr) continue;
        fresh[i] = aliased ? outs[i]->m : Matrix::New();
        slots[i] = &fresh[i];
    }
    auto adopt = [&] {
        if (aliased) return;
        for (std::size_t i = 0; i < N; ++i)
            if (outs[i] != nullptr && detail::MatrixAccess::Elements(*fresh[i]).HasStorage())
                detail::MatrixAccess::SetData(*outs[i]->m, std::move(detail::MatrixAccess::Elements(*fresh[i])));
    };
    try {
        Run(s, false, involved, EventMode::Live, [&] { call(slots); });
    } catch (py::error_already_set&) {
        throw;  // a handler's exception or Ctrl-C: the outputs stay as they were
    } catch (...) {
        adopt();
        throw;
    }
    adopt();
}

PyMatrix& Construct(py::object source) {
    if (source.is_none()) return *new PyMatrix(Matrix::New());
    if (py::isinstance<PyMatrix>(source)) {
        PyMatrix& from = source.cast<PyMatrix&>();
        Check(from, false);
        return *new PyMatrix(from.m->Clone());
    }
    return *new PyMatrix(MatrixFromPython(source));
}

}  // namespace
}  // namespace kestrim::python

using namespace kestrim;
using namespace kestrim::python;

PYBIND11_MODULE(_core, module) {
    module.doc() = "Dense matrices of doubles with bit-reproducible linear algebra.";
    RegisterErrorTranslator();
    // For the tests: raises the runtime layer's error `number` as the
    // library does, through the same translation as every member.
    module.def(
        "_raise_runtime_error",
        [](int64_t number, const std::string& description) {
            RaiseRuntimeError(static_cast<RuntimeError>(static_cast<int32_t>(number)), description);
        },
        py::arg("number"), py::arg("description"));
    SetMainThread(py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>());

    py::class_<PyMatrix> cls(module, "Matrix", MatrixTypeSetup(), R"doc(
A rectangular matrix of float64 values with arithmetic, tests,
decompositions (LU, Cholesky, QR, SVD), solvers and eigenanalysis.

Matrix() is a new, empty matrix (it reports 1 x 1 but has no storage until
it is sized); Matrix(a) copies any 1-D or 2-D array-like of real numbers (a
1-D array becomes one column); Matrix(other_matrix) copies another Matrix.
Indices are zero-based. Members have the names of the C++ class; failures
raise kestrim.MatrixError or one of its subclasses. numpy.asarray(m) is a
zero-copy, writable, Fortran-ordered view while no operation runs on m;
members that would replace the storage refuse (BufferError) while such
views exist.)doc");

    cls.def(py::init([](py::object a) { return &Construct(std::move(a)); }), py::arg("a") = py::none(),
            "Matrix(a=None): an empty Matrix, or a copy of an array-like or of another Matrix.")
        .def_static(
            "from_numpy", [](py::object a) { return &Construct(std::move(a)); }, py::arg("a"),
            "A new Matrix holding a copy of a 1-D (one column) or 2-D array-like of real numbers, in any "
            "memory order or strides. TypeError for other dtypes, ValueError for other shapes.")
        .def(
            "to_numpy", [](PyMatrix& s) { Check(s, false); return ToNumpy(*s.m); },
            "A Fortran-ordered float64 copy of the elements, shape (Rows, Cols).")
        .def(
            "__array__",
            [](PyMatrix& s, py::object dtype, py::object) {
                Check(s, false);
                py::object a = ToNumpy(*s.m);
                return dtype.is_none() ? a : a.attr("astype")(dtype);
            },
            py::arg("dtype") = py::none(), py::arg("copy") = py::none(),
            "numpy's conversion hook: a copy of the elements (used where a buffer view is refused).")
        .def_property_readonly(
            "shape", [](PyMatrix& s) { return py::make_tuple(s.m->Rows(), s.m->Cols()); },
            "(Rows, Cols).")
        .def("__repr__",
             [](PyMatrix& s) {
                 return "<kestrim.Matrix " + std::to_string(s.m->Rows()) + " x " + std::to_string(s.m->Cols()) + ">";
             },
             "<kestrim.Matrix rows x cols>.")
        .def(
            "__str__", [](PyMatrix& s) { Check(s, false); return s.m->GetString(); }, "GetString() with its defaults.")

        // ---- Dimensions, elements, events switch ----
        .def_property(
            "FireEvents", [](PyMatrix& s) { return s.fireEvents; },
            [](PyMatrix& s, bool Status) { Check(s, false); s.SetFireEvents(Status); },
            "Whether OnProgress and Done handlers are called (False in every new Matrix).")
        .def(
            "SetFireEvents", [](PyMatrix& s, bool Status) { Check(s, false); s.SetFireEvents(Status); },
            py::arg("Status"), "Sets FireEvents.")
        .def_property_readonly(
            "MaxSize", [](PyMatrix& s) { return s.m->MaxSize(); }, "The largest row or column count, 2147483647.")
        .def_property(
            "Rows", [](PyMatrix& s) { return s.m->Rows(); },
            [](PyMatrix& s, int32_t n) { Check(s, true); s.m->SetRows(n); },
            "Row count. Setting it gives a new matrix of zeros once both counts are known.")
        .def(
            "SetRows", [](PyMatrix& s, int32_t NumOfRows) { Check(s, true); s.m->SetRows(NumOfRows); },
            py::arg("NumOfRows"), "Sets the row count (the elements become zeros).")
        .def_property(
            "Cols", [](PyMatrix& s) { return s.m->Cols(); },
            [](PyMatrix& s, int32_t n) { Check(s, true); s.m->SetCols(n); },
            "Column count. Setting it keeps the surviving columns; added ones are zero.")
        .def(
            "SetCols", [](PyMatrix& s, int32_t NumOfCols) { Check(s, true); s.m->SetCols(NumOfCols); },
            py::arg("NumOfCols"), "Sets the column count, keeping the surviving columns.")
        .def(
            "Size", [](PyMatrix& s, int32_t NumOfRows, int32_t NumOfCols) { Check(s, true); s.m->Size(NumOfRows, NumOfCols); },
            py::arg("NumOfRows"), py::arg("NumOfCols"), "Resizes to NumOfRows x NumOfCols zeros.")
        .def(
            "Item", [](PyMatrix& s, int32_t RowIndex, int32_t ColIndex) { Check(s, false); return s.m->Item(RowIndex, ColIndex); },
            py::arg("RowIndex"), py::arg("ColIndex"), "The element at zero-based (RowIndex, ColIndex).")
        .def(
            "SetItem",
            [](PyMatrix& s, int32_t RowIndex, int32_t ColIndex, double vData) {
                Check(s, false);
                s.m->SetItem(RowIndex, ColIndex, vData);
            },
            py::arg("RowIndex"), py::arg("ColIndex"), py::arg("vData"), "Stores vData at (RowIndex, ColIndex).")
        .def(
            "__getitem__",
            [](PyMatrix& s, std::pair<int32_t, int32_t> rc) { Check(s, false); return s.m->Item(rc.first, rc.second); },
            "m[r, c] is m.Item(r, c).")
        .def(
            "__setitem__",
            [](PyMatrix& s, std::pair<int32_t, int32_t> rc, double v) {
                Check(s, false);
                s.m->SetItem(rc.first, rc.second, v);
            },
            "m[r, c] = v is m.SetItem(r, c, v).")

        // ---- Array exchange and cloning ----
        .def_property(
            "AsArray", [](PyMatrix& s) { Check(s, false); return ToNumpy(*s.m); },
            &SetAsArray,
            "A copy of the elements as a (Rows, Cols) numpy array; assigning a 2-D array (or a 1-D one, "
            "as one column) replaces dimensions and elements.")
        .def(
            "SetAsArray", &SetAsArray, py::arg("vData"), "Same as assigning AsArray.")
        .def(
            "Clone", [](PyMatrix& s) { Check(s, false); return Wrap(s.m->Clone()); },
            "An independent copy (FireEvents False).")

        // ---- Text, version, random fill ----
        .def(
            "GetString",
            [](PyMatrix& s, int16_t NumDecimalPlaces, const std::string& EndOfLineChars) {
                Check(s, false);
                return s.m->GetString(NumDecimalPlaces, EndOfLineChars);
            },
            py::arg("NumDecimalPlaces") = 3, py::arg("EndOfLineChars") = "\r\n",
            "The elements as text, one line per row: \"| 1.000 2.000 |\".")
        .def("Version", [](PyMatrix& s) { return s.m->Version(); }, "The component's version text.")
        .def(
            "FillRandom",
            [](PyMatrix& s, double LowLimit, double HighLimit, int16_t NumDecimalPlaces) {
                Run(s, true, {}, EventMode::AtStart, [&] { s.m->FillRandom(LowLimit, HighLimit, NumDecimalPlaces); });
            },
            py::arg("LowLimit") = 0.0, py::arg("HighLimit") = 10.0, py::arg("NumDecimalPlaces") = 0,
            "Fills every element with a pseudo-random value between LowLimit and HighLimit.")

        // ---- Elementwise and structural operations ----
        .def(
            "Transpose",
            [](PyMatrix& s) { return Wrap(Run(s, false, {}, EventMode::AtStart, [&] { return s.m->Transpose(); })); },
            "A new transposed Matrix (None when a handler cancelled).")
        .def("Plus", &BinaryOp<&Matrix::Plus, EventMode::AtStart>, py::arg("MatrixToAdd"),
             "A new Matrix, the sum (None when cancelled).")
        .def("PlusEquals", &InPlaceOp<&Matrix::PlusEquals>, py::arg("Matrix2"), "Adds Matrix2 in place.")
        .def("Minus", &BinaryOp<&Matrix::Minus, EventMode::AtStart>, py::arg("MatrixToSubtract"),
             "A new Matrix, the difference (None when cancelled).")
        .def("MinusEquals", &InPlaceOp<&Matrix::MinusEquals>, py::arg("Matrix2"), "Subtracts Matrix2 in place.")
        .def(
            "TimesScalar",
            [](PyMatrix& s, double Number) {
                return Wrap(Run(s, false, {}, EventMode::AtStart, [&] { return s.m->TimesScalar(Number); }));
            },
            py::arg("Number"), "A new Matrix, every element times Number (None when cancelled).")
        .def("Times", &BinaryOp<&Matrix::Times, EventMode::AtStart>, py::arg("Matrix2"),
             "A new Matrix, the product self x Matrix2 (None when cancelled).")
        .def("IsSquare", [](PyMatrix& s) { return s.m->IsSquare(); }, "Rows == Cols.")
        .def(
            "IsSymmetric", [](PyMatrix& s) { return Run(s, false, {}, EventMode::None, [&] { return s.m->IsSymmetric(); }); },
            "Whether the matrix equals its transpose exactly.")
        .def(
            "IsEqualTo",
            [](PyMatrix& s, py::object Matrix2, double MaxDifference) {
                MatrixArg b = ArgFrom(Matrix2);
                return Run(s, false, {{b.py}, {}}, EventMode::None, [&] { return s.m->IsEqualTo(b.ptr, MaxDifference); });
            },
            py::arg("Matrix2"), py::arg("MaxDifference") = 1e-09,
            "Whether both have the same size and every element differs by at most MaxDifference.")
        .def(
            "Normalize",
            [](PyMatrix& s) {
                double norm = 0.0;
                MatrixPtr r = Run(s, false, {}, EventMode::None, [&] { return s.m->Normalize(&norm); });
                return py::make_tuple(Wrap(std::move(r)), norm);
            },
            "(normalized copy, NormValue).")
        .def(
            "NormalizeMe",
            [](PyMatrix& s) {
                double norm = 0.0;
                Run(s, true, {}, EventMode::None, [&] { s.m->NormalizeMe(&norm); });
                return norm;
            },
            "Normalizes in place; returns NormValue.")
        .def(
            "RowVector",
            [](PyMatrix& s, int32_t RowIndex) { return Wrap(Run(s, false, {}, EventMode::None, [&] { return s.m->RowVector(RowIndex); })); },
            py::arg("RowIndex"), "A new 1 x Cols Matrix holding row RowIndex.")
        .def(
            "ColVector",
            [](PyMatrix& s, int32_t ColIndex) { return Wrap(Run(s, false, {}, EventMode::None, [&] { return s.m->ColVector(ColIndex); })); },
            py::arg("ColIndex"), "A new Rows x 1 Matrix holding column ColIndex.")
        .def(
            "RearrangeRows", [](PyMatrix& s, py::object p) { RearrangeMember(s, std::move(p), &Matrix::RearrangeRows); },
            py::arg("PermIndex"),
            "Moves the row at position i to position PermIndex[i], swapping rows in place; a list given as "
            "PermIndex receives the swapped entries, as the by-reference index does.")
        .def(
            "RearrangeCols", [](PyMatrix& s, py::object p) { RearrangeMember(s, std::move(p), &Matrix::RearrangeCols); },
            py::arg("PermIndex"), "As RearrangeRows, for columns.")

        // ---- LU and linear systems ----
        .def("LU", &LUMember<&Matrix::LU>, py::arg("l") = py::none(), py::arg("U") = py::none(),
             "LU decomposition into the given Matrix objects (None: not wanted). Returns (PermIndex, PermSign).")
        .def("LUdc", &LUMember<&Matrix::LUdc>, py::arg("l") = py::none(), py::arg("U") = py::none(),
             "Same as LU.")
        .def(
            "Determinant", [](PyMatrix& s) { return Run(s, false, {}, EventMode::Live, [&] { return s.m->Determinant(); }); },
            "The determinant (0.0 when cancelled).")
        .def(
            "Inverse", [](PyMatrix& s) { return Wrap(Run(s, false, {}, EventMode::Live, [&] { return s.m->Inverse(); })); },
            "A new Matrix, the inverse (None when cancelled).")
        .def("Solve", &BinaryOp<&Matrix::Solve, EventMode::Live>, py::arg("RightHandTerms"),
             "Solves self x X = RightHandTerms through the inverse; a new Matrix (None when cancelled).")
        .def("SolveGauss", &BinaryOp<&Matrix::SolveGauss, EventMode::Live>, py::arg("RightHandSide"),
             "Solves self x X = RightHandSide by Gauss elimination; a new Matrix (None when cancelled).")
        .def("Cholesky", &CholeskyMember<&Matrix::Cholesky>, py::arg("l") = py::none(),
             "Cholesky factor L (A = L x L^T) into l. Where the C++ member would clear the caller's "
             "reference, the Python object passed is left as it was.")
        .def("CHOLdc", &CholeskyMember<&Matrix::CHOLdc>, py::arg("l") = py::none(), "Same as Cholesky.")

        // ---- Orthogonal decompositions ----
        .def(
            "QR",
            [](PyMatrix& s, py::object Q, py::object R) {
                RunIntoFreshOutputs<2>(s, {OutFrom(Q, "Q"), OutFrom(R, "R")},
                                       [&](auto& o) { s.m->QR(o[0], o[1]); });
            },
            py::arg("Q") = py::none(), py::arg("R") = py::none(), "QR decomposition into Q and R.")
        .def(
            "SVD",
            [](PyMatrix& s, py::object U, py::object S, py::object V) {
                RunIntoFreshOutputs<3>(s, {OutFrom(U, "U"), OutFrom(S, "S"), OutFrom(V, "V")},
                                       [&](auto& o) { s.m->SVD(o[0], o[1], o[2]); });
            },
            py::arg("U") = py::none(), py::arg("S") = py::none(), py::arg("V") = py::none(),
            "Singular value decomposition A = U x S x V^T into U, S (diagonal) and V.")

        // ---- Eigenanalysis ----
        .def(
            "Eigen",
            [](PyMatrix& s, py::object RealValues, py::object ImagValues, py::object RealVectors, py::object ImagVectors) {
                RunIntoFreshOutputs<4>(s,
                                       {OutFrom(RealValues, "RealValues"), OutFrom(ImagValues, "ImagValues"),
                                        OutFrom(RealVectors, "RealVectors"), OutFrom(ImagVectors, "ImagVectors")},
                                       [&](auto& o) { s.m->Eigen(o[0], o[1], o[2], o[3]); });
            },
            py::arg("RealValues") = py::none(), py::arg("ImagValues") = py::none(),
            py::arg("RealVectors") = py::none(), py::arg("ImagVectors") = py::none(),
            "Eigenvalues and eigenvectors (real and imaginary parts) into the given Matrix objects.")

        // ---- Event handlers ----
        .def(
            "Connect",
            [](PyMatrix& s, py::object handler) {
                return Connect(s, py::getattr(handler, "OnProgress", py::none()), py::getattr(handler, "Done", py::none()), true);
            },
            py::arg("handler"),
            "Connects an object with OnProgress(Operation, Percent, Cancel) -> new Cancel (None keeps it) "
            "and/or Done(Operation) methods; returns a cookie for Disconnect.")
        .def("Disconnect", &Disconnect, py::arg("cookie"), "Disconnects the handler with this cookie.")
        .def(
            "on_progress", [](PyMatrix& s, py::function fn) { return Connect(s, fn, py::none(), false); }, py::arg("callback"),
            "Calls callback(operation, percent) at every progress point while FireEvents is true; a true "
            "result cancels the operation. Returns a cookie for Disconnect.")
        .def(
            "on_done", [](PyMatrix& s, py::function fn) { return Connect(s, py::none(), fn, false); }, py::arg("callback"),
            "Calls callback(operation) when an operation has finished while FireEvents is true. Returns a "
            "cookie for Disconnect.");
}
