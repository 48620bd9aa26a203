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
  find_package(OpenMP REQUIRED COMPONENTS CXX)
  link_libraries(OpenMP::OpenMP_CXX)
endif()
