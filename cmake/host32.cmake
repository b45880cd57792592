# The 32-bit module host, and the test modules built as 32-bit DLLs, from the same sources
# with MinGW's i686 compilers: a build of its own inside this one (one toolchain per build).
# p11agent-host32.exe lands beside p11agent.exe; the test modules in x86/.
include(ExternalProject)
set(P11AGENT_HOST32_DIR "${CMAKE_BINARY_DIR}/host32")
set(P11AGENT_HOST32_EXE "${CMAKE_BINARY_DIR}/p11agent-host32.exe")
set(host32_targets p11agent-host32)
if(BUILD_TESTING)
  list(APPEND host32_targets fake_pkcs11 fake_pkcs11_dependent watchdata_runtime)
endif()
set(host32_build_targets "")
foreach(target IN LISTS host32_targets)
  list(APPEND host32_build_targets --target ${target})
endforeach()
ExternalProject_Add(host32
  SOURCE_DIR "${PROJECT_SOURCE_DIR}"
  BINARY_DIR "${P11AGENT_HOST32_DIR}"
  CMAKE_ARGS
    "-DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-i686.cmake"
    "-DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}"
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=${CMAKE_CXX_FLAGS_RELWITHDEBINFO}"
    "-DCMAKE_C_FLAGS_RELWITHDEBINFO=${CMAKE_C_FLAGS_RELWITHDEBINFO}"
    -DP11AGENT_HOST32_BUILD=ON
    "-DBUILD_TESTING=${BUILD_TESTING}"
    "-DNLOHMANN_JSON_INCLUDE_DIR=${NLOHMANN_JSON_INCLUDE_DIR}"
    "-DP11KIT_PKCS11_HEADER=${P11KIT_PKCS11_HEADER}"
  # Copied only when it changed, so that what is made from it (the shipped host, the MSI)
  # is made again only then; and in the step that names it as made (BUILD_BYPRODUCTS):
  # copied in a later step, Ninja would look at it before the copy and take it as unchanged
  # until the next build.
  BUILD_COMMAND ${CMAKE_COMMAND} --build "${P11AGENT_HOST32_DIR}" ${host32_build_targets}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different "${P11AGENT_HOST32_DIR}/p11agent-host32.exe" "${P11AGENT_HOST32_EXE}"
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS "${P11AGENT_HOST32_EXE}")
# Building the agent builds the host of its 32-bit modules too.
add_dependencies(p11agent host32)
