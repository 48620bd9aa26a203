# OpenMP for the dense kernels: every subsystem library links it, so the
# component's shared library carries it. Results never depend on the thread
# count (see include/kestrim/Threading.h).
find_package(OpenMP REQUIRED COMPONENTS CXX)
link_libraries(OpenMP::OpenMP_CXX)
