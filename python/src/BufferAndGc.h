#pragma once

#include "PyMatrix.h"

namespace kestrim::python {

// Installs the buffer protocol and the garbage-collector hooks on the
// Matrix type.
py::custom_type_setup MatrixTypeSetup();

}  // namespace kestrim::python
