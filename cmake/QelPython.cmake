# Extension modules: one function, so that every module of the project gets
# the same stable-ABI build, the same exported surface and the same runtime.

find_package(Python 3.7 REQUIRED COMPONENTS Interpreter Development.SABIModule)

# Before 3.9 the interpreter's headers do not mark PyInit_* as exported, so
# compiling with hidden visibility would hide it as well; and the static
# libraries linked in are compiled with default visibility. A version script
# names exactly what a module exports, whichever interpreter's headers built it.
set(QEL_MODULE_EXPORTS ${CMAKE_CURRENT_LIST_DIR}/python-module.map)

# qel_add_python_module(<name> <sources>...)
#   A module loadable by every CPython from 3.7 on (Py_LIMITED_API 0x03070000),
#   exporting only PyInit_<name>.
function(qel_add_python_module name)
  Python_add_library(${name} MODULE USE_SABI 3.7 WITH_SOABI ${ARGN})
  target_compile_definitions(${name} PRIVATE PY_SSIZE_T_CLEAN)
  target_compile_options(${name} PRIVATE -Wall -Wextra -Werror)
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${QEL_MODULE_EXPORTS})
  target_link_options(${name} PRIVATE -Wl,--version-script=${QEL_MODULE_EXPORTS})
  # The C++ runtime is linked in, so the wheel asks for no libstdc++ newer
  # than its manylinux tag allows. Section garbage collection keeps out the
  # parts of it nothing calls (std::random_device would otherwise bring in a
  # glibc 2.36 symbol); libgcc_s stays shared, as the tags allow, since its
  # static unwinder wants a glibc 2.35 symbol. The sanitizer runtimes expect
  # the shared C++ runtime beside them, as does a fuzz build's driver.
  if(NOT QEL_SANITIZE AND NOT QEL_BUILD_FUZZERS)
    target_link_options(${name} PRIVATE -static-libstdc++ -Wl,--gc-sections)
  endif()
endfunction()
