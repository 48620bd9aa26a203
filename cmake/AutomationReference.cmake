# The native reference of the automation server's bit-identity cases:
# automation_bit_reference prints the digests that both Windows builds of
# KestrimMatrix.dll must reproduce exactly (.ci/automation.sh compares them).
if(KESTRIM_TESTS)
  add_executable(automation_bit_reference ${PROJECT_SOURCE_DIR}/tests/automation/reference/BitReference.cpp)
  target_include_directories(automation_bit_reference PRIVATE ${PROJECT_SOURCE_DIR}/tests/automation)
  target_link_libraries(automation_bit_reference PRIVATE kestrim_matrix)
  add_test(NAME automation_bit_reference COMMAND automation_bit_reference)
endif()
