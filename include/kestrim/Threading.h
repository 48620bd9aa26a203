// How many threads the component's dense kernels may use.
//
// The heavy operations (Times, LU, Determinant, Inverse, Solve, SolveGauss,
// Cholesky, QR, and the eigen and singular value solvers where they use the
// same kernels) split independent result elements across threads with a
// static partition. Every element receives exactly the same floating-point
// operations in the same order whatever the thread count, so results are
// bit-identical at every setting. Events, cancellation and errors always
// happen on the calling thread, at the same points as with one thread.
//
// The count starts as the value of the environment variable
// KESTRIM_NUM_THREADS when it holds a positive integer, otherwise as the
// number of processors the system reports. Small problems always run on
// the calling thread alone.
#pragma once

namespace kestrim {

// Sets the largest number of threads an operation may use, for the whole
// process. A value below 1 restores the default (the environment variable,
// else the processor count).
void SetNumThreads(int count);

// The largest number of threads an operation may use (at least 1).
int NumThreads();

}  // namespace kestrim
