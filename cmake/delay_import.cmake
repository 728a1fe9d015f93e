# Delay-loaded imports (mingw): an import library made with `dlltool -y`
# binds its DLL at the first call of one of its functions instead of at
# start. Every module of the Windows build links the agent's libkit.dll,
# OpenSSL's DLLs and the system DLLs the platform layer calls through such
# libraries, so that nothing but msvcrt and KERNEL32 loads before the tool's
# hook has made the DLL search safe.
find_program(PATHVANE_DLLTOOL NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool dlltool REQUIRED)
find_program(PATHVANE_NM NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-nm nm REQUIRED)
set(PATHVANE_DELAY_DIR ${CMAKE_BINARY_DIR}/delay)

# out_var: the delay-load library for dll_name, made now from import_lib
# (an import library that exists when the build is configured).
function(pathvane_delay_import_now out_var dll_name import_lib)
  string(REGEX REPLACE "\\.dll$" "" stem "${dll_name}")
  set(def ${PATHVANE_DELAY_DIR}/${stem}.def)
  set(lib ${PATHVANE_DELAY_DIR}/${stem}-delay.a)
  file(MAKE_DIRECTORY ${PATHVANE_DELAY_DIR})
  execute_process(COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/def-from-import-lib.sh ${PATHVANE_NM} ${import_lib} ${dll_name} ${def}
                  RESULT_VARIABLE def_result)
  execute_process(COMMAND ${PATHVANE_DLLTOOL} --input-def ${def} --dllname ${dll_name} --output-delaylib ${lib}
                  RESULT_VARIABLE lib_result)
  if(NOT def_result EQUAL 0 OR NOT lib_result EQUAL 0 OR NOT EXISTS ${lib})
    message(FATAL_ERROR "cannot make the delay-load library of ${dll_name} from ${import_lib}")
  endif()
  set(${out_var} ${lib} PARENT_SCOPE)
endfunction()

# out_var: the delay-load library for dll_name, made at build time from the
# import library of target (a DLL of this build).
function(pathvane_delay_import_of_target out_var dll_name target)
  string(REGEX REPLACE "\\.dll$" "" stem "${dll_name}")
  set(def ${PATHVANE_DELAY_DIR}/${stem}.def)
  set(lib ${PATHVANE_DELAY_DIR}/${stem}-delay.a)
  add_custom_command(OUTPUT ${lib}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${PATHVANE_DELAY_DIR}
                     COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/def-from-import-lib.sh ${PATHVANE_NM}
                             $<TARGET_LINKER_FILE:${target}> ${dll_name} ${def}
                     COMMAND ${PATHVANE_DLLTOOL} --input-def ${def} --dllname ${dll_name} --output-delaylib ${lib}
                     DEPENDS ${target} ${CMAKE_SOURCE_DIR}/cmake/def-from-import-lib.sh VERBATIM)
  set(${out_var} ${lib} PARENT_SCOPE)
endfunction()
