# std::expected (C++23) is the one library feature the compiler must bring. GCC 12 has it.
# libstdc++ 12 offers it only when the compiler announces C++20 concepts in full: clang 16
# implements them (conditionally trivial special members included) but still announces the
# older value, so for clang the announcement is corrected when that is what makes it compile;
# clang 14 lacks the feature itself and is refused here, at configure time.
include(CheckCXXSourceCompiles)

set(certwright_expected_probe [[
#include <expected>
int main() {
  std::expected<int, int> value(1);
  return *value - 1;
}
]])
check_cxx_source_compiles("${certwright_expected_probe}" CERTWRIGHT_HAS_STD_EXPECTED)
if(NOT CERTWRIGHT_HAS_STD_EXPECTED AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # As flags, not definitions: the -U must come before the -D.
  set(CMAKE_REQUIRED_FLAGS "-U__cpp_concepts -D__cpp_concepts=202002L")
  check_cxx_source_compiles("${certwright_expected_probe}" CERTWRIGHT_HAS_STD_EXPECTED_WITH_CONCEPTS)
  unset(CMAKE_REQUIRED_FLAGS)
  if(CERTWRIGHT_HAS_STD_EXPECTED_WITH_CONCEPTS)
    add_compile_options(-U__cpp_concepts -D__cpp_concepts=202002L)
  endif()
endif()
if(NOT CERTWRIGHT_HAS_STD_EXPECTED AND NOT CERTWRIGHT_HAS_STD_EXPECTED_WITH_CONCEPTS)
  message(FATAL_ERROR
    "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} with this standard library has no "
    "usable std::expected. Supported compilers: GCC 12 or later, and clang 16 or later "
    "(for example CXX=clang++-16).")
endif()
