# ordane_delay_import(<target> <dll> <Name@bytes>...): <target> imports those functions of the
# system library <dll> only when first called, not when the program starts, so that the
# program has restricted its library search to the system folder by then (RestrictLibrarySearch,
# common/system_library_win32.h) and the library comes from there, never from the program's
# folder. Only for libraries Windows does not already keep as known ones (wininet, winmm,
# userenv, wtsapi32). The import library is made from the names given (bytes of arguments for
# the 32-bit build's decoration).
function(ordane_delay_import target dll)
    if(MSVC)  # the linker does it itself
        string(REGEX REPLACE "\\.dll$" "" name "${dll}")
        target_link_libraries(${target} PUBLIC ${name} delayimp)
        target_link_options(${target} PUBLIC /DELAYLOAD:${dll})
        return()
    endif()
    string(MAKE_C_IDENTIFIER "${dll}" stem)
    set(def ${CMAKE_CURRENT_BINARY_DIR}/${stem}_delay.def)
    set(lib ${CMAKE_CURRENT_BINARY_DIR}/lib${stem}_delay.a)
    set(text "LIBRARY ${dll}\nEXPORTS\n")
    foreach(name IN LISTS ARGN)
        if(CMAKE_SIZEOF_VOID_P EQUAL 8)
            string(REGEX REPLACE "@[0-9]+$" "" name "${name}")
        endif()
        string(APPEND text "    ${name}\n")
    endforeach()
    file(WRITE ${def}.in "${text}")
    configure_file(${def}.in ${def} COPYONLY)
    set(kill "")
    if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(kill --kill-at)
    endif()
    add_custom_command(
        OUTPUT ${lib}
        COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --dllname ${dll} ${kill} --output-delaylib
                ${lib}
        DEPENDS ${def}
        VERBATIM)
    add_custom_target(${target}_${stem}_delay DEPENDS ${lib})
    add_dependencies(${target} ${target}_${stem}_delay)
    target_link_libraries(${target} PRIVATE ${lib} delayimp)
endfunction()
