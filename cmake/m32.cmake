# Builds for the arm's own PC, 32-bit x86, with the host's multilib g++
# (Debian: gcc-multilib g++-multilib, and libgtest-dev:i386 for the tests).
# The system name is left unset: the 32-bit programs run on the build host,
# so the tests can be discovered and run as in any native build.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
# Multiarch libraries of the i386 architecture (GoogleTest) live here.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
