# Cross build for the board's CPU: ARMv5TE, little-endian, soft float (Debian
# armel), with Debian's arm-linux-gnueabi cross compiler.
#
#   scripts/armel-sysroot BUILD/sysroot
#   cmake -S . -B BUILD -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armel.cmake
#
# The C and C++ runtime come with the cross compiler (/usr/arm-linux-gnueabi).
# Paho MQTT C, OpenSSL and zlib come from the armel sysroot that scripts/armel-sysroot
# unpacks; it defaults to BUILD/sysroot (FIELDHUB_ARMEL_SYSROOT overrides it).
# Programs built here run on the host under qemu-arm (CMAKE_CROSSCOMPILING_EMULATOR),
# which is what CTest uses for the unit tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(FIELDHUB_ARMEL_TRIPLET arm-linux-gnueabi)

set(CMAKE_C_COMPILER ${FIELDHUB_ARMEL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FIELDHUB_ARMEL_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${FIELDHUB_ARMEL_TRIPLET})

# Stated although they are the compiler's defaults, so the board's CPU is not
# left to whichever cross compiler happens to be installed.
set(CMAKE_C_FLAGS_INIT "-march=armv5te -marm -mfloat-abi=soft")
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -marm -mfloat-abi=soft")

if(NOT FIELDHUB_ARMEL_SYSROOT)
  set(FIELDHUB_ARMEL_SYSROOT ${CMAKE_BINARY_DIR}/sysroot CACHE PATH
      "armel libraries unpacked by scripts/armel-sysroot")
endif()
# try_compile projects read this file again in their own build directory.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FIELDHUB_ARMEL_SYSROOT)
if(NOT EXISTS ${FIELDHUB_ARMEL_SYSROOT}/usr/include/MQTTClient.h)
  message(FATAL_ERROR "No armel sysroot at ${FIELDHUB_ARMEL_SYSROOT}: "
                      "run scripts/armel-sysroot ${FIELDHUB_ARMEL_SYSROOT} first")
endif()
set(FIELDHUB_ARMEL_LIBRARY_PATH
    ${FIELDHUB_ARMEL_SYSROOT}/usr/lib/${FIELDHUB_ARMEL_TRIPLET}:${FIELDHUB_ARMEL_SYSROOT}/lib/${FIELDHUB_ARMEL_TRIPLET})

# Debian keeps OpenSSL's configuration headers (openssl/configuration.h) in
# the multiarch include folder, which the cross compiler does not search.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${FIELDHUB_ARMEL_SYSROOT}/usr/include/${FIELDHUB_ARMEL_TRIPLET})
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${FIELDHUB_ARMEL_SYSROOT}/usr/include/${FIELDHUB_ARMEL_TRIPLET})

# Headers and libraries from the sysroot and the cross runtime only; build
# tools from the host.
set(CMAKE_FIND_ROOT_PATH ${FIELDHUB_ARMEL_SYSROOT} /usr/${FIELDHUB_ARMEL_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The sysroot's libraries name further libraries (libssl, libz) that the linker
# must find there too.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${FIELDHUB_ARMEL_LIBRARY_PATH}")

# qemu-arm emulates the board's ARM926 core, so an instruction newer than
# ARMv5TE stops the program; it finds the dynamic loader and the C/C++ runtime
# under -L and the sysroot's libraries through the guest's LD_LIBRARY_PATH.
find_program(FIELDHUB_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${FIELDHUB_QEMU_ARM} -cpu arm926 -L /usr/${FIELDHUB_ARMEL_TRIPLET} -E LD_LIBRARY_PATH=${FIELDHUB_ARMEL_LIBRARY_PATH})
