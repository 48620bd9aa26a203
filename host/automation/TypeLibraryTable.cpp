#include "host/automation/TypeLibraryTable.h"

namespace kestrim::automation::typelib {

namespace {

constexpr INVOKEKIND kGet = INVOKE_PROPERTYGET;
constexpr INVOKEKIND kLet = INVOKE_PROPERTYPUT;
constexpr INVOKEKIND kMethod = INVOKE_FUNC;
constexpr WORD kHidden = FUNCFLAG_FHIDDEN;
constexpr WORD kUiDefault = FUNCFLAG_FUIDEFAULT;

constexpr Param In(const wchar_t* name, Type type) { return Param{name, type, false, false}; }
constexpr Param Ref(const wchar_t* name, Type type) { return Param{name, type, true, false}; }
constexpr Param OptRef(const wchar_t* name, Type type) { return Param{name, type, true, true}; }
constexpr Param OptNumber(const wchar_t* name, Type type, double value) {
    return Param{name, type, false, true,
                 type == Type::Double ? Default::Double : Default::Integer, value};
}
constexpr Param OptText(const wchar_t* name, const wchar_t* value) {
    return Param{name, Type::String, false, true, Default::String, 0, value};
}

constexpr const wchar_t* kRowsHelp = L"Returns/sets number of rows. Values are preserved.";
constexpr const wchar_t* kColsHelp = L"Returns/sets the number of columns.";
constexpr const wchar_t* kAsArrayHelp = L"Returns/sets all values of matrix to/from an array.";
constexpr const wchar_t* kLuHelp = L"Performs LU decomposition of current matrix.";
constexpr const wchar_t* kCholeskyHelp =
    L"On exit L returns the lower triangular matrix of Cholesky decomposition.";

}  // namespace

const Member kMembers[] = {
    {L"FireEvents", kGet, 0x68030007, 0, {}, Type::Boolean, 0, nullptr, 0},
    {L"FireEvents", kLet, 0x68030007, 1, {Ref(L"Status", Type::Boolean)}, Type::Void, 0, nullptr, 0},
    {L"MaxSize", kGet, 0x68030006, 0, {}, Type::Long, 1126,
     L"Returns the maximum posible size of Matrix.", 0},
    {L"Rows", kLet, 0x68030005, 1, {In(L"NumOfRows", Type::Long)}, Type::Void, 1101, kRowsHelp, 0},
    {L"Rows", kGet, 0x68030005, 0, {}, Type::Long, 1101, kRowsHelp, 0},
    {L"Cols", kLet, 0x68030004, 1, {In(L"NumOfCols", Type::Long)}, Type::Void, 1102, kColsHelp, 0},
    {L"Cols", kGet, 0x68030004, 0, {}, Type::Long, 1102, kColsHelp, 0},
    {L"Size", kMethod, 0x60030009, 2, {In(L"NumOfRows", Type::Long), In(L"NumOfCols", Type::Long)},
     Type::Void, 1103, L"Sets both number of rows and cols and initializes the matrix.", 0},
    {L"FillRandom", kMethod, 0x6003000A, 3,
     {OptNumber(L"LowLimit", Type::Double, 0), OptNumber(L"HighLimit", Type::Double, 10),
      OptNumber(L"NumDecimalPlaces", Type::Integer, 0)},
     Type::Void, 1104, L"Fills matrix elements with random values.", 0},
    {L"Item", kLet, 0, 3,
     {In(L"RowIndex", Type::Long), In(L"ColIndex", Type::Long), In(L"vData", Type::Double)},
     Type::Void, 0, nullptr, kUiDefault},
    {L"Item", kGet, 0, 2, {In(L"RowIndex", Type::Long), In(L"ColIndex", Type::Long)}, Type::Double, 0,
     nullptr, kUiDefault},
    {L"Clone", kMethod, 0x6003000B, 0, {}, Type::Matrix, 1106,
     L"Creates a copy of current matrix and returns a reference to it.", 0},
    {L"AsArray", kLet, 0x68030001, 1, {Ref(L"vData", Type::DoubleArray)}, Type::Void, 1107,
     kAsArrayHelp, 0},
    {L"AsArray", kGet, 0x68030001, 0, {}, Type::DoubleArray, 1107, kAsArrayHelp, 0},
    {L"Inverse", kMethod, 0x6003000C, 0, {}, Type::Matrix, 1108, L"Returns the inverted matrix.", 0},
    {L"Transpose", kMethod, 0x6003000E, 0, {}, Type::Matrix, 1109,
     L"Returns the result of current matrix transpore.", 0},
    {L"Plus", kMethod, 0x6003000F, 1, {Ref(L"MatrixToAdd", Type::Matrix)}, Type::Matrix, 1110,
     L"Adds current matrix with an other matrix and returns the result matrix.", 0},
    {L"PlusEquals", kMethod, 0x60030010, 1, {Ref(L"Matrix2", Type::Matrix)}, Type::Void, 1111,
     L"Adds current matrix with an other matrix.", 0},
    {L"Minus", kMethod, 0x60030011, 1, {Ref(L"MatrixToSubtract", Type::Matrix)}, Type::Matrix, 1112,
     L"Subtracts from matrix an other matrix and returns the result matrix.", 0},
    {L"MinusEquals", kMethod, 0x60030012, 1, {Ref(L"Matrix2", Type::Matrix)}, Type::Void, 1113,
     L"Subtracts from matrix an other matrix.", 0},
    {L"Times", kMethod, 0x60030013, 1, {Ref(L"Matrix2", Type::Matrix)}, Type::Matrix, 1114,
     L"Performs multiplication of matrices and returns the result matrix.", 0},
    {L"TimesScalar", kMethod, 0x60030014, 1, {Ref(L"Number", Type::Double)}, Type::Matrix, 1115,
     L"Multiplies all items of current matrix with a value.", 0},
    {L"Determinant", kMethod, 0x60030015, 0, {}, Type::Double, 1116,
     L"Returns the value of the determinant.", 0},
    {L"Solve", kMethod, 0x60030016, 1, {Ref(L"RightHandTerms", Type::Matrix)}, Type::Matrix, 1117,
     L"Solves a system of simultaneous equations.", 0},
    {L"SolveGauss", kMethod, 0x60030017, 1, {Ref(L"RightHandSide", Type::Matrix)}, Type::Matrix, 1118,
     L"Solves the system of simultaneous equations using the Gauss method.", 0},
    {L"IsSymmetric", kMethod, 0x60030018, 0, {}, Type::Boolean, 1119,
     L"Returns True if matrix is symmetric else False.", 0},
    {L"IsSquare", kMethod, 0x60030019, 0, {}, Type::Boolean, 1120,
     L"Returns True if matrix is square else False.", 0},
    {L"IsEqualTo", kMethod, 0x6003001A, 2,
     {Ref(L"Matrix2", Type::Matrix), OptNumber(L"MaxDifference", Type::Double, 1e-09)}, Type::Boolean,
     1121, L"Returns true if matrix is equal to the one compared to.", 0},
    {L"Normalize", kMethod, 0x6003001B, 1, {OptRef(L"NormValue", Type::Double)}, Type::Matrix, 1122,
     L"Creates a normalized matrix out of current matrix and returns a reference to it.", 0},
    {L"NormalizeMe", kMethod, 0x6003001C, 1, {OptRef(L"NormValue", Type::Double)}, Type::Void, 1123,
     L"Normalizes the current matrix.", 0},
    {L"GetString", kMethod, 0x6003001D, 2,
     {OptNumber(L"NumDecimalPlaces", Type::Integer, 3), OptText(L"EndOfLineChars", L"\r\n")},
     Type::String, 1124, L"Returns a formatted string with all matrix elements.", 0},
    {L"Version", kGet, 0x68030000, 0, {}, Type::String, 1125,
     L"Returns current component's version as a string.", 0},
    {L"LUdc", kMethod, 0x6003001E, 4,
     {OptRef(L"l", Type::Matrix), OptRef(L"U", Type::Matrix), OptRef(L"PermIndex", Type::Variant),
      OptRef(L"PermSign", Type::Long)},
     Type::Void, 1127, kLuHelp, kHidden},
    {L"LU", kMethod, 0x6003001F, 4,
     {OptRef(L"l", Type::Matrix), OptRef(L"U", Type::Matrix), OptRef(L"PermIndex", Type::Variant),
      OptRef(L"PermSign", Type::Long)},
     Type::Void, 1127, kLuHelp, 0},
    {L"CHOLdc", kMethod, 0x60030020, 1, {OptRef(L"l", Type::Matrix)}, Type::Void, 1128, kCholeskyHelp,
     kHidden},
    {L"Cholesky", kMethod, 0x60030021, 1, {OptRef(L"l", Type::Matrix)}, Type::Void, 1128,
     kCholeskyHelp, 0},
    {L"RearrangeRows", kMethod, 0x60030022, 1, {Ref(L"PermIndex", Type::Variant)}, Type::Void, 1129,
     L"Rearranges rows of the matrix according to a permutation index.", 0},
    {L"RearrangeCols", kMethod, 0x60030023, 1, {Ref(L"PermIndex", Type::Variant)}, Type::Void, 1130,
     L"Rearranges columns of the matrix according to a permutation index.", 0},
    {L"QR", kMethod, 0x60030026, 2, {OptRef(L"Q", Type::Matrix), OptRef(L"R", Type::Matrix)},
     Type::Void, 1131, L"Performs QR decomposition.", 0},
    {L"SVD", kMethod, 0x6003002C, 3,
     {OptRef(L"U", Type::Matrix), OptRef(L"S", Type::Matrix), OptRef(L"V", Type::Matrix)}, Type::Void,
     1132, L"Performs Singular Value Decomposition of current matrix", 0},
    {L"Eigen", kMethod, 0x6003002D, 4,
     {OptRef(L"RealValues", Type::Matrix), OptRef(L"ImagValues", Type::Matrix),
      OptRef(L"RealVectors", Type::Matrix), OptRef(L"ImagVectors", Type::Matrix)},
     Type::Void, 1137, L"Calculates EigenValues and EigenVectors of current matrix.", 0},
    {L"RowVector", kMethod, 0x6003002F, 1, {Ref(L"RowIndex", Type::Long)}, Type::Matrix, 1138,
     L"Returns a row vector using a row of current matrix.", 0},
    {L"ColVector", kMethod, 0x60030030, 1, {Ref(L"ColIndex", Type::Long)}, Type::Matrix, 1139,
     L"Returns a column vector using a column of current matrix.", 0},
};
const int kMemberCount = sizeof(kMembers) / sizeof(kMembers[0]);

const Member kEvents[] = {
    {L"OnProgress", kMethod, 1, 3,
     {In(L"Operation", Type::String), In(L"Percent", Type::Single), Ref(L"Cancel", Type::Boolean)},
     Type::Void, 1133, L"Fires during execution of a matrix operation.", 0},
    {L"Done", kMethod, 2, 1, {In(L"Operation", Type::String)}, Type::Void, 1134,
     L"Occurs when current operations has finishes its execution.", 0},
};
const int kEventCount = sizeof(kEvents) / sizeof(kEvents[0]);

}  // namespace kestrim::automation::typelib
