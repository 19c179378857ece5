# The hardening a distribution builds its own packages with (Debian's
# dpkg-buildflags with hardening=+all): stack protector, stack clash and
# control-flow protection, checked libc calls, position-independent programs,
# read-only relocations bound at start. The programs parse downloaded zips and
# what a USB device answers, so every build that is run or packaged gets them;
# the sanitizer and fuzzing builds have their own instrumentation instead.
option(TREVIK_HARDEN "Build with the distribution's hardening flags" ON)
if(NOT TREVIK_HARDEN OR TREVIK_SANITIZE OR TREVIK_FUZZ)
  return()
endif()

include(CheckCXXCompilerFlag)
if(NOT WIN32)
  # Windows programs are relocatable already (the linker's dynamic base).
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
set(_trevik_flags -fstack-clash-protection -fcf-protection)
if(WIN32)
  # mingw's GCC 12 crashes on stack-clash probes in SEH unwind code; Windows
  # probes each new stack page by itself (guard page, __chkstk).
  set(_trevik_flags -fcf-protection)
endif()
foreach(flag ${_trevik_flags})
  string(MAKE_C_IDENTIFIER "TREVIK_HAS${flag}" var)
  check_cxx_compiler_flag(${flag} ${var})
  if(${var})
    add_compile_options(${flag})
  endif()
endforeach()
# FORTIFY needs the optimizer; a Debug build would only warn about it.
add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                    $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
if(WIN32)
  # mingw's stack protector and checked calls live in libssp, which the
  # linker takes only when told.
  add_link_options(-fstack-protector-strong)
else()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
