# The library detects arithmetic faults by reading the processor's sticky
# floating-point flags at coarse points. The compiler must therefore treat
# floating-point exceptions as observable: it may not speculate an operation
# the source does not execute (a division hoisted above its zero test raises
# a flag the source never raises), move operations across the flag tests, or
# fold away an operation that faults. Contraction stays off for bit-exact
# results (a fused multiply-add rounds once).
#
# Clang assumes by default that no one reads the flags; strict exception
# behaviour turns that off. GCC keeps trapping math by default; it is stated
# here so that no later option turns it off silently. Every operation runs in
# the default rounding mode, so neither compiler needs -frounding-math.
add_compile_options(-ffp-contract=off -fno-fast-math)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-ffp-exception-behavior=strict)
  # Except where the environment itself is saved and installed: in strict
  # mode clang follows every asm statement with fwait, which would deliver
  # an x87 exception that a host left pending and unmasked before the
  # component could clear it. That file does no arithmetic.
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/../host/runtime/FloatingPoint.cpp
    PROPERTIES COMPILE_OPTIONS -ffp-exception-behavior=ignore)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-ftrapping-math)
endif()
