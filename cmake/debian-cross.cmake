# Cross-build with one of Debian's cross compilers and its multiarch libraries, running the
# results under qemu-user. Pass -DPELMAR_TRIPLET=mipsel-linux-gnu (or s390x-linux-gnu, ...).
set(PELMAR_TRIPLET "" CACHE STRING "Debian multiarch triplet of the target")
if(NOT PELMAR_TRIPLET)
  message(FATAL_ERROR "Set PELMAR_TRIPLET, for example mipsel-linux-gnu")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PELMAR_TRIPLET)

string(REGEX REPLACE "-.*" "" arch "${PELMAR_TRIPLET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${arch})
set(CMAKE_C_COMPILER ${PELMAR_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PELMAR_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${PELMAR_TRIPLET})

set(CMAKE_FIND_ROOT_PATH /usr/${PELMAR_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The target's .pc files only, from Debian's multiarch directories.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${PELMAR_TRIPLET}/pkgconfig:/usr/share/pkgconfig")

# The cross sysroot's loader and C library first: the host's loader cache would otherwise hand
# it the multiarch C library of another build, and the two do not mix.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${arch} -L /usr/${PELMAR_TRIPLET}
    -E LD_LIBRARY_PATH=/usr/${PELMAR_TRIPLET}/lib:/usr/lib/${PELMAR_TRIPLET})
