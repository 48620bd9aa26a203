// Small numeric routines shared by the orthogonal decompositions and the
// eigensolvers: a hypotenuse without destructive overflow, a sign transfer,
// max/min with fixed tie results and a scaled complex division.
//
// They are pure, inline and flag-based: none of them tests the processor's
// fault flags itself, so they can sit in hot loops and vectorise. The
// caller tests the sticky flags (fp::HasFault) at its own coarse points.
// The *Checked variants perform the same arithmetic in the same order but
// call fp::TestStep after every stored intermediate; use them when
// replaying a segment step by step to find the first faulting step (so the
// error raised is the one that step gives, e.g. invalid for 0/0 before a
// later division by zero).
//
// The branch rules and tie results are fixed: callers' results (signs of
// Householder vectors, convergence thresholds) depend on them.
#pragma once

#include <cmath>
#include <cstdint>

#include "host/runtime/FloatingPoint.h"

namespace kestrim::detail {

namespace helpers_impl {
// In checked mode, makes `value` really computed (not folded, sunk past the
// test, or dropped as unused) before the flags are tested.
template <bool Checked>
inline void Step(double& value) {
    if constexpr (Checked) {
#if defined(__GNUC__)
        __asm__ volatile("" : "+m"(value));
#else
        volatile double materialised = value;
        value = materialised;
#endif
        fp::TestStep();
    }
}

template <bool Checked>
inline double Pythag(double a, double b) {
    const double p = std::fabs(a);
    const double q = std::fabs(b);
    if (p > q) {
        double r = q / p;
        Step<Checked>(r);
        double result = p * std::sqrt(1.0 + r * r);
        Step<Checked>(result);
        return result;
    }
    if (q == 0.0) return 0.0;
    double r = p / q;
    Step<Checked>(r);
    double result = q * std::sqrt(1.0 + r * r);
    Step<Checked>(result);
    return result;
}

template <bool Checked>
inline void ComplexDivide(double ar, double ai, double br, double bi, double& cr, double& ci) {
    double s = std::fabs(br) + std::fabs(bi);
    Step<Checked>(s);
    double ars = ar / s;
    Step<Checked>(ars);
    double ais = ai / s;
    Step<Checked>(ais);
    double brs = br / s;
    Step<Checked>(brs);
    double bis = bi / s;
    Step<Checked>(bis);
    double d = brs * brs + bis * bis;
    Step<Checked>(d);
    double re = (ars * brs + ais * bis) / d;
    Step<Checked>(re);
    cr = re;
    double im = (ais * brs - ars * bis) / d;
    Step<Checked>(im);
    ci = im;
}
}  // namespace helpers_impl

// sqrt(a*a + b*b) by the ratio method: p = |a|, q = |b|; if p > q,
// p*sqrt(1 + (q/p)^2); else 0 when q == 0 (no division), otherwise
// q*sqrt(1 + (p/q)^2). Equal magnitudes take the second branch. Only the
// final product can overflow.
inline double Pythag(double a, double b) { return helpers_impl::Pythag<false>(a, b); }
inline double PythagChecked(double a, double b) { return helpers_impl::Pythag<true>(a, b); }

// |a| when b >= 0 (both +0 and -0 count as non-negative), -|a| when b < 0
// (so a zero a gives -0 there).
inline double SignOf(double a, double b) noexcept {
    return b >= 0.0 ? std::fabs(a) : -std::fabs(a);
}

// b when a < b, otherwise a: ties return the first argument, so
// MaxDouble(+0, -0) is +0 and MaxDouble(-0, +0) is -0.
inline double MaxDouble(double a, double b) noexcept { return a < b ? b : a; }

// a when a <= b, otherwise b: ties return the first argument.
inline int32_t MinLong(int32_t a, int32_t b) noexcept { return a <= b ? a : b; }

// (cr + i*ci) = (ar + i*ai) / (br + i*bi), with all four parts first
// divided by s = |br| + |bi|. All inputs are read and scaled before cr and
// then ci are written, so an output may alias an input variable. A zero
// divisor divides by s == 0 and leaves a fault flag set.
inline void ComplexDivide(double ar, double ai, double br, double bi, double& cr, double& ci) {
    helpers_impl::ComplexDivide<false>(ar, ai, br, bi, cr, ci);
}
inline void ComplexDivideChecked(double ar, double ai, double br, double bi, double& cr,
                                 double& ci) {
    helpers_impl::ComplexDivide<true>(ar, ai, br, bi, cr, ci);
}

}  // namespace kestrim::detail
