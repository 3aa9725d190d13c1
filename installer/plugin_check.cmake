cmake_minimum_required(VERSION 3.25)
# Fails the build when the installer or its uninstaller uses any plug-in. NSIS before 3.11 makes
# its plug-in folder in C:\Windows\Temp when run as the system account and accepts one a user
# made there first. makensis adds the plug-ins' initialising function whenever a plug-in is
# called anywhere, by the script or inside a library's macros, and says so in its output; a
# check of the calls' names would miss one a macro makes.
# LOG: makensis's -V4 output.
file(STRINGS "${LOG}" lines REGEX "initializing function")
foreach(line IN LISTS lines)
    if(line MATCHES "plug-ins initializing function")
        message(FATAL_ERROR "the installer uses a plug-in (makensis: \"${line}\")")
    endif()
endforeach()
