// Libraries come from the system folder only: a program folder a user may write (a portable
// copy's, or an installation the user could reach first) must not supply a system library to a
// program run as administrator or as the system account, nor to Ordane.
#pragma once

#include <windows.h>

namespace ordane {

// First thing in a program's entry point: the process looks for libraries in the system folder
// only (LoadLibrary of a plain name, and the delayed imports of ordane_delay_import), and the
// libraries named are loaded from there by full path, so that on a Windows 7 without the search
// restriction (KB2533623) their delayed imports find them loaded. Explicit LoadLibraryEx flags
// (sdtapi.dll's) still apply.
void RestrictLibrarySearch(const wchar_t* const* preload, int count);

template <int N>
void RestrictLibrarySearch(const wchar_t* const (&preload)[N]) {
    RestrictLibrarySearch(preload, N);
}

}  // namespace ordane
