# The 32-bit Windows build of the JNI library: tolvanemapi81_build001.dll,
# the native objects and the bridge against the real Extended MAPI (mingw-w64's
# SDK headers, mapi32), with the OS services of platform/win32.
#
# Included from src/CMakeLists.txt, which sets CORE_SOURCES and
# BRIDGE_SOURCES (relative to src/); TOLVANE_LIBRARY_NAME comes from the top
# level. Configure with cmake/toolchain-i686-w64-mingw32.cmake.

if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "the Windows JNI library is a 32-bit DLL: configure with "
                      "-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake")
endif()

set(_tolvane_src ${CMAKE_CURRENT_SOURCE_DIR})
set(_tolvane_cmake ${CMAKE_CURRENT_LIST_DIR})

# --- JNI headers --------------------------------------------------------------
# jni.h is the same on every platform; jni_md.h is not. jni.h includes
# "jni_md.h" with quotes, which finds the file beside jni.h before any include
# path, so both go into one folder of the build tree: the host JDK's jni.h
# next to our Win32 jni_md.h.
set(TOLVANE_JDK_JNI_H "" CACHE FILEPATH "jni.h of a JDK (any platform's)")
if(NOT TOLVANE_JDK_JNI_H)
  set(_jni_candidates /usr/lib/jvm/java-17-openjdk-amd64/include/jni.h)
  if(DEFINED ENV{JAVA_HOME})
    list(APPEND _jni_candidates $ENV{JAVA_HOME}/include/jni.h)
  endif()
  file(GLOB _jni_more /usr/lib/jvm/*/include/jni.h)
  list(APPEND _jni_candidates ${_jni_more})
  foreach(_candidate IN LISTS _jni_candidates)
    if(EXISTS ${_candidate})
      set(TOLVANE_JDK_JNI_H ${_candidate} CACHE FILEPATH "jni.h of a JDK (any platform's)" FORCE)
      break()
    endif()
  endforeach()
endif()
if(NOT EXISTS "${TOLVANE_JDK_JNI_H}")
  message(FATAL_ERROR "jni.h not found: install openjdk-17-jdk-headless or set TOLVANE_JDK_JNI_H")
endif()
set(TOLVANE_WIN32_JNI_INCLUDE ${CMAKE_BINARY_DIR}/win32-jni/include)
configure_file(${TOLVANE_JDK_JNI_H} ${TOLVANE_WIN32_JNI_INCLUDE}/jni.h COPYONLY)
configure_file(${_tolvane_cmake}/win32-jni/jni_md.h ${TOLVANE_WIN32_JNI_INCLUDE}/jni_md.h COPYONLY)

# --- sources ------------------------------------------------------------------
set(_tolvane_win32_sources ${CORE_SOURCES} ${BRIDGE_SOURCES}
    platform/win32/platform_win32.cpp support/guids.cpp)
set(_tolvane_missing)
foreach(_s IN LISTS _tolvane_win32_sources)
  if(NOT EXISTS ${_tolvane_src}/${_s})
    list(APPEND _tolvane_missing src/${_s})
  endif()
endforeach()
if(_tolvane_missing)
  string(REPLACE ";" ", " _tolvane_missing "${_tolvane_missing}")
  message(FATAL_ERROR "sources listed in src/CMakeLists.txt are missing: ${_tolvane_missing}")
endif()
list(TRANSFORM _tolvane_win32_sources PREPEND ${_tolvane_src}/)
set(_tolvane_bridge_sources ${BRIDGE_SOURCES})
list(TRANSFORM _tolvane_bridge_sources PREPEND ${_tolvane_src}/)

# --- exports ------------------------------------------------------------------
# The .def file names the module and exports each native under its
# stdcall-decorated JNI name with the leading underscore, as the 32-bit JVM
# looks it up. It is written from the bridge sources at build time.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
file(GLOB _tolvane_bridge_headers CONFIGURE_DEPENDS ${_tolvane_src}/bridge/*.h)
set(_tolvane_def ${CMAKE_CURRENT_BINARY_DIR}/${TOLVANE_LIBRARY_NAME}.def)
add_custom_command(
  OUTPUT ${_tolvane_def}
  COMMAND ${Python3_EXECUTABLE} ${_tolvane_cmake}/gen_def.py
          --library ${TOLVANE_LIBRARY_NAME}.dll
          --output ${_tolvane_def}
          --include-dir ${_tolvane_src}
          ${_tolvane_bridge_sources}
  DEPENDS ${_tolvane_cmake}/gen_def.py ${_tolvane_bridge_sources} ${_tolvane_bridge_headers}
  COMMENT "Writing the export list ${TOLVANE_LIBRARY_NAME}.def"
  VERBATIM)

# --- the DLL ------------------------------------------------------------------
add_library(${TOLVANE_LIBRARY_NAME} SHARED ${_tolvane_win32_sources} ${_tolvane_def})
target_include_directories(${TOLVANE_LIBRARY_NAME} PRIVATE ${_tolvane_src} ${TOLVANE_WIN32_JNI_INCLUDE})
target_compile_definitions(${TOLVANE_LIBRARY_NAME} PRIVATE
  WIN32_LEAN_AND_MEAN  # the MAPI headers include the OLE headers they need themselves
  NOMINMAX             # keep std::min and std::max usable
  STRICT
  # The .def file exports the natives; a dllexport as well would give each
  # a second, undecorated export (mingw drops the underscore).
  JNIEXPORT=)
target_compile_options(${TOLVANE_LIBRARY_NAME} PRIVATE -Wall -Wextra)
# No mingw runtime DLLs beside ours: libgcc, libstdc++ and winpthread go in
# statically (the toolchain file says the same; this holds for any toolchain).
target_link_options(${TOLVANE_LIBRARY_NAME} PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(${TOLVANE_LIBRARY_NAME} PRIVATE mapi32 ole32 oleaut32 uuid)
set_target_properties(${TOLVANE_LIBRARY_NAME} PROPERTIES
  PREFIX ""
  OUTPUT_NAME ${TOLVANE_LIBRARY_NAME}
  SUFFIX ".dll"
  IMPORT_PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
