// Conversions between Python values and the library's types: numpy arrays
// to and from element storage, permutation indices, and errors.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "PyMatrix.h"
#include "kestrim/DoubleArray.h"
#include "kestrim/Variant.h"

namespace kestrim::python {

// Reads a 1-D or 2-D array-like of real numbers (bool, integer or float
// dtype, any order or strides) into a zero-based column-major array: a
// 1-D input becomes one column. Raises TypeError for other dtypes and
// ValueError for other dimension counts or sizes, before anything changes.
// With `keepOneDimensional` a 1-D input stays a one-dimensional array (for
// the AsArray property, which judges it itself).
// `ndim`, when given, receives the input's dimension count.
DoubleArray ArrayFromPython(py::handle obj, bool keepOneDimensional = false, int* ndim = nullptr);

// A new Matrix holding a copy of `obj` (see ArrayFromPython).
MatrixPtr MatrixFromPython(py::handle obj);

// A Fortran-ordered copy of the matrix's elements (rows x cols). A matrix
// without storage raises the library's subscript error.
py::array_t<double> ToNumpy(const Matrix& m);

// Permutation indices: Python sequences become one-dimensional arrays of
// Variants (ints as Long, floats as Double, str, bool, None as Empty);
// anything else becomes a scalar Variant, which the library rejects as
// "Not an array.".
Variant VariantFromPython(py::handle obj);
py::object VariantToPython(const Variant& v);

// Turns kestrim::Error into the matching kestrim.MatrixError subclass.
void RegisterErrorTranslator();

}  // namespace kestrim::python
