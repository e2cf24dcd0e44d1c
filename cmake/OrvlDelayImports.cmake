# orvl_delay_imports(TARGET target DLLS lib=DLLNAME ...)
# Links target against delay-load import libraries of the given system DLLs
# (lib: the import library's name, as in -luser32; DLLNAME: the file the
# program loads): each DLL is loaded when the program first calls into it,
# not at its start. The libraries are made with dlltool from the names the
# toolchain's own import library exports; the CRT's __delayLoadHelper2 does
# the loading. Put them before the libraries that use them.
function(orvl_delay_imports)
  cmake_parse_arguments(A "" "TARGET" "DLLS" ${ARGN})
  foreach(pair ${A_DLLS})
    string(REPLACE "=" ";" parts ${pair})
    list(GET parts 0 lib)
    list(GET parts 1 dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${lib}.a
                    OUTPUT_VARIABLE implib OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_NM} ${implib} OUTPUT_VARIABLE symbols)
    string(REGEX MATCHALL " I __imp_[A-Za-z0-9_@?]+" names "${symbols}")
    list(REMOVE_DUPLICATES names)
    set(def "LIBRARY ${dll}\nEXPORTS\n")
    foreach(name ${names})
      string(REPLACE " I __imp_" "" name "${name}")
      string(APPEND def "${name}\n")
    endforeach()
    set(base ${CMAKE_CURRENT_BINARY_DIR}/delay-${lib})
    file(WRITE ${base}.def.new "${def}")
    configure_file(${base}.def.new ${base}.def COPYONLY)
    add_custom_command(OUTPUT ${base}.a
                       COMMAND ${CMAKE_DLLTOOL} --input-def ${base}.def --dllname ${dll}
                               --output-delaylib ${base}.a
                       DEPENDS ${base}.def VERBATIM)
    add_custom_target(${A_TARGET}-delay-${lib} DEPENDS ${base}.a)
    add_dependencies(${A_TARGET} ${A_TARGET}-delay-${lib})
    target_link_libraries(${A_TARGET} PRIVATE ${base}.a)
  endforeach()
endfunction()
