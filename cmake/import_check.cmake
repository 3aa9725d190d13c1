cmake_minimum_required(VERSION 3.25)
# Fails when a program named in FILES (';'-separated) imports at start a library that Windows
# does not keep as a known system one (or, comctl32, take from its side-by-side store by the
# manifest): the loader would look for it in the program's own folder first. Such libraries are
# imported when first called instead (ordane_delay_import). OBJDUMP: the target's objdump.
set(allowed ADVAPI32.DLL COMCTL32.DLL GDI32.DLL KERNEL32.DLL MSVCRT.DLL OLE32.DLL SHELL32.DLL
            USER32.DLL WS2_32.DLL)
set(offending "")
foreach(program IN LISTS FILES)
    execute_process(COMMAND ${OBJDUMP} -p ${program} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${OBJDUMP} -p ${program} failed")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${dump}")
    foreach(entry IN LISTS names)
        string(REPLACE "DLL Name: " "" dll "${entry}")
        string(TOUPPER "${dll}" dll)
        if(NOT dll IN_LIST allowed)
            list(APPEND offending "${program}: ${dll}")
        endif()
    endforeach()
endforeach()
if(offending)
    list(JOIN offending "\n  " text)
    message(FATAL_ERROR "imported at start, not a known system library:\n  ${text}")
endif()
