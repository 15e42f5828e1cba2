# The build's part of the platform unit (with platform.hpp and platform.cpp): how the modules are
# compiled and linked for the system at hand. A port changes this file and those two only.

# ELF: calls into the interpreter go straight through the global offset table, not by a jump in
# the procedure linkage table. Each function and datum in a section of its own, so that the
# link's --gc-sections drops the unused ones.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_compile_options(-fno-plt -ffunction-sections -fdata-sections)
endif()

# The binding layer, linked into every module. A toolchain that links LLVM's unwinder into a
# module for glibc asks for KESTRUM_OWN_UNWINDER: the names that platform.cpp wraps then go to
# its wrappers.
function(kestrum_platform_binding target)
  if(KESTRUM_OWN_UNWINDER)
    target_compile_definitions(${target} PUBLIC KESTRUM_OWN_UNWINDER)
    foreach(name __gxx_personality_v0 pthread_rwlock_rdlock pthread_rwlock_wrlock
                 pthread_rwlock_unlock dlsym dladdr)
      target_link_options(${target} PUBLIC "-Wl,--wrap=${name}")
    endforeach()
  endif()
endfunction()

# The shipped module. Only the initialisation entry point leaves the shared object (the version
# script of an ELF module; PE and Mach-O export only what is marked for export, which the hidden
# visibility already limits to it).
function(kestrum_platform_module target exports)
  if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    return()
  endif()
  target_link_options(${target} PRIVATE -Wl,--version-script=${exports} -Wl,--no-undefined-version)
  set_target_properties(${target} PROPERTIES LINK_DEPENDS ${exports})
  # The C++ runtime goes inside the module, so that the wheel asks its users' systems for no
  # libstdc++ newer than theirs, only for their C library (and libgcc_s, whose unwinder linked in
  # would need a newer C library). Dropping unused sections keeps the runtime's parts that would
  # raise that C library requirement further (std::random_device) out. Not under the
  # sanitizers, which must see the runtime's operator new.
  if(NOT KESTRUM_SANITIZE AND NOT KESTRUM_SANITIZE_THREAD)
    target_link_options(${target} PRIVATE -static-libstdc++ -Wl,--gc-sections)
  endif()
endfunction()
