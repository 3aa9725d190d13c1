// The installer's decisions, apart from the Win32 calls that carry them out (the installer's
// helper program, installer/setup_tool_win32.cpp): which running processes are an installed
// Ordane, whether a target folder needs an access list of its own, and how Ordane is started
// at the end of an installation.
#pragma once

#include <cstdint>
#include <vector>

#include "common/text.h"

namespace ordane::setup {

// A path in one form for comparison: "\\?\" and "\\?\UNC\" prefixes removed, '/' read as '\',
// repeated separators and a trailing one dropped, "." and ".." resolved, ASCII letters folded
// to upper case (as NTFS compares the names the installer deals with). Empty when ".." would
// climb above the root.
Text ComparablePath(const Text& path);

// Two names of the same file, as far as the text tells (short 8.3 names must be made long by
// the caller first).
bool SamePath(const Text& a, const Text& b);

struct RunningProcess {
    std::uint32_t id = 0;
    Text image;  // full image path; empty when the system would not tell it
};

// The copies of the installed program among the running processes, in every session: those
// whose image is the installed Ordane.exe. The caller's own process is never one of them, and a
// process whose image could not be read is left alone (it cannot be shown to be ours).
std::vector<std::uint32_t> CopiesToEnd(const std::vector<RunningProcess>& running,
                                       const Text& installedProgram, std::uint32_t self);

enum class FolderRule {
    kInheritsSafeRights,  // below a system-managed folder: only administrators may change it
    kProtect,             // anywhere else: give it an access list of its own before copying
    kRefuse,              // a drive or share root, or a system-managed folder itself
};

// Whether the folder Ordane is installed into must be protected. `managedRoots` are the folders
// whose contents Windows already keeps writable by administrators only (Program Files, Program
// Files (x86), the Windows folder). A relative folder is refused.
FolderRule DecideFolder(const Text& folder, const std::vector<Text>& managedRoots);

// Who runs the installer, and what the machine offers for a start in a user's session.
struct LaunchContext {
    bool isLocalSystem = false;        // a deployment tool's service: session 0
    bool isElevated = false;           // an administrator's full token (UAC's elevated half)
    bool consoleUserLoggedOn = false;  // the active console session has a user's token
    bool shellRunning = false;         // this session's desktop shell runs (its token is the
                                       // user's ordinary one)
};

enum class LaunchWay {
    kAsConsoleUser,   // the console user's token, in that session, on winsta0\default
    kWithShellToken,  // the desktop shell's token: the same user, not elevated
    kDirect,          // the installer's own, ordinary rights
    kNotStarted,      // nobody to start it for: the Run entry starts it at the next log-on
};

// Ordane always runs with a user's ordinary rights in a user's session: never as the system
// account (an invisible copy holding the ports) and never elevated (a business application at
// the ordinary level could not receive its keystrokes).
LaunchWay DecideLaunch(const LaunchContext& context);

// The command line that runs NSIS's uninstaller from its temporary copy for the installed
// uninstall.exe, so that it removes that folder and can be waited for: the options uninstall.exe
// was given, as typed, then "_?=" and the installed folder, last and unquoted even with spaces
// (NSIS reads the rest of the line as the folder). An "_?=" already given (the older documented
// quiet command) is replaced, not repeated.
Text UninstallerCommandLine(const Text& launcherCommandLine, const Text& uninstallerCopy,
                            const Text& installedFolder);

}  // namespace ordane::setup
