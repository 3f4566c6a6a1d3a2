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

# --- MAPI imports -------------------------------------------------------------
# mapi32.dll exports its stdcall utilities only under their decorated names
# (FreeProws@4, HrGetOneProp@12, OpenIMsgSession@12, ...), and the entry
# points under both forms. mingw-w64's libmapi32.a imports the undecorated
# names, which mapi32 does not have: Windows then refuses to load the DLL
# (ERROR_PROC_NOT_FOUND, an UnsatisfiedLinkError in Java), while Wine quietly
# binds stubs that abort at the first call. The DLL links this import library
# instead, which names every function as mapi32 exports it. A MAPI function
# missing here fails the link: add it with its @N.
set(_tolvane_mapi32_exports
  BuildDisplayTable@40 CbOfEncoded@4 CchOfEncoding@4 CloseIMsgSession@4 CreateIProp@24
  CreateTable@36 DeinitMapiUtil@0 EncodeID@12 FBadColumnSet@4 FBadEntryList@4 FBadProp@4
  FBadPropTag@4 FBadRestriction@4 FBadRglpNameID@8 FBadRglpszA@8 FBadRglpszW@8 FBadRow@4
  FBadRowSet@4 FBadSortOrderSet@4 FBinFromHex@8 FDecodeID@12 FEqualNames@8
  FGetComponentPath@20 FPropCompareProp@12 FPropContainsProp@12 FPropExists@8
  FreePadrlist@4 FreeProws@4 FtAddFt@16 FtMulDw@12 FtMulDwDw@8 FtNegFt@8 FtSubFt@16
  GetAttribIMsgOnIStg@12 HexFromBin@12 HrAddColumns@16 HrAddColumnsEx@20
  HrAllocAdviseSink@12 HrDispatchNotifications@4 HrEntryIDFromSz@12 HrGetOneProp@12
  HrIStorageFromStream@16 HrQueryAllRows@24 HrSetOneProp@8 HrSzFromEntryID@12
  HrThisThreadAdviseSink@8 LPropCompareProp@8 LpValFindProp@12 MAPIAdminProfiles@8
  MAPIAllocateBuffer@8 MAPIAllocateMore@12 MAPIDeinitIdle@0 MAPIFreeBuffer@4
  MAPIGetDefaultMalloc@0 MAPIInitIdle@4 MAPIInitialize@4 MAPILogonEx@20
  MAPIOpenFormMgr@8 MAPIOpenLocalFormContainer@4 MAPIUninitialize@0 MapStorageSCode@4
  OpenIMsgOnIStg@44 OpenIMsgSession@12 OpenStreamOnFile@24 OpenTnefStream@28
  OpenTnefStreamEx@32 PpropFindProp@12 PropCopyMore@16 RTFSync@12 ScCopyNotifications@16
  ScCopyProps@16 ScCountNotifications@12 ScCountProps@12 ScCreateConversationIndex@16
  ScDupPropset@16 ScInitMapiUtil@4 ScLocalPathFromUNC@12 ScRelocNotifications@20
  ScRelocProps@20 ScUNCFromLocalPath@12 SetAttribIMsgOnIStg@16 SzFindCh@8
  SzFindLastCh@8 SzFindSz@8 UFromSz@4 UlAddRef@4 UlFromSzHex@4 UlPropSize@4 UlRelease@4
  WrapCompressedRTFStream@12 WrapStoreEntryID@24)
string(REPLACE ";" "\n" _tolvane_mapi32_lines "${_tolvane_mapi32_exports}")
set(_tolvane_mapi32_def ${CMAKE_CURRENT_BINARY_DIR}/mapi32-imports.def)
set(_tolvane_mapi32_lib ${CMAKE_CURRENT_BINARY_DIR}/libmapi32-imports.a)
# Written through a copy so that an unchanged list leaves the file (and the
# import library) as it was.
file(WRITE ${_tolvane_mapi32_def}.new
     "; mapi32.dll's exports as the DLL imports them (cmake/win32.cmake)\nLIBRARY MAPI32.DLL\nEXPORTS\n${_tolvane_mapi32_lines}\n")
configure_file(${_tolvane_mapi32_def}.new ${_tolvane_mapi32_def} COPYONLY)
find_program(TOLVANE_MINGW_DLLTOOL NAMES i686-w64-mingw32-dlltool dlltool)
if(NOT TOLVANE_MINGW_DLLTOOL)
  message(FATAL_ERROR "i686-w64-mingw32-dlltool not found: install binutils-mingw-w64-i686")
endif()
add_custom_command(
  OUTPUT ${_tolvane_mapi32_lib}
  COMMAND ${TOLVANE_MINGW_DLLTOOL} --def ${_tolvane_mapi32_def} --output-lib ${_tolvane_mapi32_lib}
  DEPENDS ${_tolvane_mapi32_def}
  COMMENT "Writing the mapi32 import library (decorated names)"
  VERBATIM)
add_custom_target(tolvane_mapi32_imports DEPENDS ${_tolvane_mapi32_lib})

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
add_dependencies(${TOLVANE_LIBRARY_NAME} tolvane_mapi32_imports)
set_property(TARGET ${TOLVANE_LIBRARY_NAME} APPEND PROPERTY LINK_DEPENDS ${_tolvane_mapi32_lib})
target_link_libraries(${TOLVANE_LIBRARY_NAME} PRIVATE ${_tolvane_mapi32_lib} ole32 oleaut32 uuid)
set_target_properties(${TOLVANE_LIBRARY_NAME} PROPERTIES
  PREFIX ""
  OUTPUT_NAME ${TOLVANE_LIBRARY_NAME}
  SUFFIX ".dll"
  IMPORT_PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

# --- the programs of the run under Wine ---------------------------------------
include(${_tolvane_cmake}/win32-tests.cmake)
