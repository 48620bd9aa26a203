// The component's shared library is made of the subsystem libraries; this
// file gives the library target a translation unit of its own.
namespace kestrim::component {
extern const char kLibraryName[] = "kestrim_matrix";
}
