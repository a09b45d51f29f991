# Cross build for 64-bit ARM Linux with Debian's cross compilers; programs
# run under qemu-user with the cross C library as their root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ORV_ARM_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ORV_ARM_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${ORV_ARM_PREFIX}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${ORV_ARM_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest and try_run start target programs through qemu-user.
find_program(ORV_QEMU NAMES qemu-aarch64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ORV_QEMU} -L /usr/${ORV_ARM_PREFIX})
