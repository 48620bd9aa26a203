// Fixed identities of the automation component. They never change for a
// given version of the type library: hosts that compiled against them keep
// working across builds.
#pragma once

#include <windows.h>

#include <oaidl.h>

namespace kestrim::automation {

// Type library KestrimMatrixLib 1.0
inline constexpr GUID kLibraryId = {
    0x744E6CBB, 0x3189, 0x4D3E, {0xB8, 0xA6, 0x77, 0x55, 0x6F, 0x14, 0x82, 0x28}};
// Dual interface _Matrix
inline constexpr GUID kMatrixInterfaceId = {
    0xD04D1253, 0xAB53, 0x47EC, {0x8A, 0x50, 0xF5, 0xE8, 0x5C, 0xFB, 0xBF, 0xCA}};
// Events dispinterface __Matrix
inline constexpr GUID kMatrixEventsId = {
    0x6C682DE4, 0xB0E8, 0x4281, {0x81, 0x25, 0xF6, 0x9F, 0xC6, 0x40, 0xD3, 0xD0}};
// Creatable class Matrix
inline constexpr GUID kMatrixClassId = {
    0x639F6DCC, 0xBEF5, 0x4E2F, {0x8C, 0xCF, 0x6C, 0xFD, 0x6E, 0x98, 0xAE, 0x2E}};
// Private interface through which the server recognises its own objects
// when they come back as Matrix arguments. Not in the type library and
// never marshalled: it only works inside the process.
inline constexpr GUID kMatrixSelfId = {
    0x7B125957, 0x63E0, 0x4DF0, {0x97, 0x3A, 0xF2, 0x7D, 0x3D, 0x29, 0xDF, 0xBA}};

inline constexpr const wchar_t* kLibraryName = L"KestrimMatrixLib";
inline constexpr const wchar_t* kProgIdW = L"KestrimMatrixLib.Matrix";
inline constexpr WORD kLibraryMajor = 1;
inline constexpr WORD kLibraryMinor = 0;
inline constexpr LCID kLibraryLocale = 0x409;
// The platform the type library is written and registered for: its
// vtable offsets follow the pointer size of the DLL that carries it.
inline constexpr SYSKIND kTargetSysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;

}  // namespace kestrim::automation
