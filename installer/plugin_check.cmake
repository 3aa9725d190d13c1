cmake_minimum_required(VERSION 3.25)
# Fails the build when the installer calls a plug-in outside its pages. Run as the system
# account the installer has no page (it makes itself silent), so no plug-in is unpacked into the
# plug-in folder NSIS before 3.11 makes in C:\Windows\Temp, one a user may have made first.
# LOG: makensis's -V4 output, which names each function and section before its commands.
file(STRINGS "${LOG}" lines)
set(where "")
set(offending "")
foreach(line IN LISTS lines)
    if(line MATCHES "^(Function|Section): \"([^\"]*)\"")
        set(where "${CMAKE_MATCH_2}")
    elseif(line MATCHES "^Plugin command: " AND NOT where MATCHES "^(SdtapiPage|mui\\.)")
        list(APPEND offending "${where}: ${line}")
    endif()
endforeach()
if(offending)
    list(JOIN offending "\n  " text)
    message(FATAL_ERROR "plug-in called outside the installer's pages:\n  ${text}")
endif()
