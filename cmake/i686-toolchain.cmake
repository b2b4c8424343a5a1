# 32-bit x86 build on an x86-64 Debian host (g++-multilib). The build always
# counts as cross compiling, so that every test command goes through
# CMAKE_CROSSCOMPILING_EMULATOR when one is set: add_test, the GoogleTest
# discovery step and the programs the end-to-end tests run.
#
# Some kernels refuse 32-bit executables (ENOEXEC). A probe compiled and run
# here decides once per build folder whether the tests run natively or under
# qemu-i386 (Debian's qemu-user). TAMO_I686_RUNNER=native|qemu overrides it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# The toolchain file is read again for every try_compile: the answer is cached
# in the build folder and handed to those projects, so the probe runs once.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAMO_I686_RUNNER)
if(NOT TAMO_I686_RUNNER)
  set(probe_dir ${CMAKE_BINARY_DIR}/i686-probe)
  file(MAKE_DIRECTORY ${probe_dir})
  file(WRITE ${probe_dir}/probe.c "int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n")
  execute_process(COMMAND gcc -m32 ${probe_dir}/probe.c -o ${probe_dir}/probe
                  RESULT_VARIABLE compiled OUTPUT_QUIET ERROR_VARIABLE compile_errors)
  if(NOT compiled EQUAL 0)
    message(FATAL_ERROR "gcc -m32 cannot build a program (is g++-multilib installed?):\n"
                        "${compile_errors}")
  endif()
  execute_process(COMMAND ${probe_dir}/probe RESULT_VARIABLE ran
                  OUTPUT_QUIET ERROR_VARIABLE run_errors)
  if(ran EQUAL 0)
    set(runner native)
  else()
    set(runner qemu)
    message(STATUS "This host does not run 32-bit programs (${ran} ${run_errors}); "
                   "tests run under qemu-i386")
  endif()
  set(TAMO_I686_RUNNER ${runner} CACHE STRING
      "How the 32-bit tests run: native, or qemu (under qemu-i386)" FORCE)
endif()

if(TAMO_I686_RUNNER STREQUAL "qemu")
  find_program(TAMO_QEMU_I386 qemu-i386 REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAMO_QEMU_I386})
elseif(NOT TAMO_I686_RUNNER STREQUAL "native")
  message(FATAL_ERROR "TAMO_I686_RUNNER is '${TAMO_I686_RUNNER}'; expected native or qemu")
endif()
