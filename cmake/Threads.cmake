# OpenMP for the dense kernels: every target made after this line compiles
# and links with it, so the component's libraries carry it. Results never
# depend on the thread count (see include/kestrim/Threading.h).
if(MINGW)
  # The automation DLL must not need the compiler's DLLs: with the -static
  # link option of that build, the driver's -fopenmp links the static
  # libgomp and winpthread archives (FindOpenMP would name the import
  # libraries).
  add_compile_options(-fopenmp)
  add_link_options(-fopenmp)
else()
  # As flags rather than the imported target: the installed CMake package
  # must not name OpenMP::OpenMP_CXX in its link interface (the shared
  # library carries its OpenMP runtime as an ordinary dependency).
  find_package(OpenMP REQUIRED COMPONENTS CXX)
  separate_arguments(kestrim_openmp_flags NATIVE_COMMAND "${OpenMP_CXX_FLAGS}")
  add_compile_options(${kestrim_openmp_flags})
  add_link_options(${kestrim_openmp_flags})
endif()
