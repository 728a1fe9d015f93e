# Delay-loaded imports for a Windows executable (mingw): an import library
# made with `dlltool -y` binds a DLL at the first call of one of its
# functions instead of at start.
find_program(PATHVANE_DLLTOOL NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool dlltool REQUIRED)
find_program(PATHVANE_NM NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-nm nm REQUIRED)

# out_var: the delay-load library made for dll_name from import_lib (an
# import library file) or from def_file (a definition file made by a target).
function(pathvane_delay_import out_var dll_name)
  cmake_parse_arguments(arg "" "IMPORT_LIB;DEF_FILE;DEPENDS" "" ${ARGN})
  string(REGEX REPLACE "\\.dll$" "" stem "${dll_name}")
  set(dir ${CMAKE_BINARY_DIR}/delay)
  set(lib ${dir}/${stem}-delay.a)
  if(arg_IMPORT_LIB)
    set(def ${dir}/${stem}.def)
    add_custom_command(OUTPUT ${def}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
                       COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/def-from-import-lib.sh ${PATHVANE_NM} ${arg_IMPORT_LIB}
                               ${dll_name} ${def}
                       DEPENDS ${arg_IMPORT_LIB} ${CMAKE_SOURCE_DIR}/cmake/def-from-import-lib.sh VERBATIM)
  else()
    set(def ${arg_DEF_FILE})
  endif()
  add_custom_command(OUTPUT ${lib}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
                     COMMAND ${PATHVANE_DLLTOOL} --input-def ${def} --dllname ${dll_name} --output-delaylib ${lib}
                     DEPENDS ${def} ${arg_DEPENDS} VERBATIM)
  set(${out_var} ${lib} PARENT_SCOPE)
endfunction()
