# The programs of the Windows run under Wine (tests/win32, run by
# tests/win32/run_wine_tests.sh): the test program that plays the JVM and
# calls the DLL's natives, and the stand-in MAPI provider that Wine's mapi32
# hands MAPIInitialize, MAPILogonEx and MAPIUninitialize to.
#
# Included from cmake/win32.cmake, which sets _tolvane_mapi32_lib (mapi32
# imported under its exported names) and TOLVANE_WIN32_JNI_INCLUDE.

set(_tolvane_wine_tests ${CMAKE_CURRENT_LIST_DIR}/../tests/win32)
set(_tolvane_wine_bin ${CMAKE_BINARY_DIR}/wine-test)

add_library(standin_mapi SHARED
  ${_tolvane_wine_tests}/standin_mapi.c
  ${_tolvane_wine_tests}/standin_mapi.def)
target_compile_options(standin_mapi PRIVATE -Wall -Wextra)
target_link_options(standin_mapi PRIVATE -static-libgcc)
add_dependencies(standin_mapi tolvane_mapi32_imports)
target_link_libraries(standin_mapi PRIVATE ${_tolvane_mapi32_lib} ole32 uuid)
set_target_properties(standin_mapi PROPERTIES
  PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${_tolvane_wine_bin}
  ARCHIVE_OUTPUT_DIRECTORY ${_tolvane_wine_bin})

add_executable(wine_jni_test
  ${_tolvane_wine_tests}/wine_jni_test.c
  ${_tolvane_wine_tests}/fakejvm.c
  ${_tolvane_wine_tests}/stack_probe.c)
target_include_directories(wine_jni_test PRIVATE ${TOLVANE_WIN32_JNI_INCLUDE} ${_tolvane_wine_tests})
target_compile_options(wine_jni_test PRIVATE -Wall -Wextra)
target_link_options(wine_jni_test PRIVATE -static-libgcc)
target_link_libraries(wine_jni_test PRIVATE oleaut32)
set_target_properties(wine_jni_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${_tolvane_wine_bin})
