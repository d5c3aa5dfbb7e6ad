# Configures the build for clang-cl, Clang with the command line of MSVC's cl, for 64-bit
# Windows. Building needs the Windows SDK and MSVC's headers and libraries, which Linux does
# not have; CI configures with this file to check the options that a compiler with cl's
# command line gets. Give a clang-cl of another name with -DCMAKE_CXX_COMPILER.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER clang-cl)
endif()
set(CMAKE_CXX_COMPILER_TARGET x86_64-pc-windows-msvc)
# Without MSVC's libraries no program links, so the compiler checks build a library.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
