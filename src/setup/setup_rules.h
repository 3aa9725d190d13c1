// The installer's decisions, apart from the Win32 calls that carry them out (the installer's
// helper program, installer/setup_tool_win32.cpp): which running processes are an installed
// Ordane, where Ordane may be installed and how its folder is protected, and how Ordane is
// started at the end of an installation.
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
    kProtect,  // made with an access list of its own, or adopted as ExistingFolder decides
    kRefuse,   // a drive or share root, a system-managed folder itself, or a system tree
};

// Whether Ordane may be installed into the folder. Being below Program Files says nothing of a
// folder's rights, so every folder is judged on its own. `managedRoots` are Program Files and
// Program Files (x86), whose own rights must not be taken; `systemTrees` are folders nothing may
// be installed in or below (the Windows folder, ProgramData, the users' profiles and their
// root, Common Files): their contents belong to others. A relative folder is refused.
FolderRule DecideFolder(const Text& folder, const std::vector<Text>& managedRoots,
                        const std::vector<Text>& systemTrees);

// The folders above `folder`, from its drive or share root down to its parent ("D:\",
// "D:\Apps" for "D:\Apps\Ordane"): each of them, once it exists, decides whether someone may
// put another tree in the folder's place. Letter case as given: missing ones are made from these
// names. Empty for a relative folder or a root.
std::vector<Text> Ancestors(const Text& folder);

// Access masks the rules look at (the Windows values).
inline constexpr std::uint32_t kDeleteChild = 0x00000040;  // FILE_DELETE_CHILD
inline constexpr std::uint32_t kDelete = 0x00010000;       // DELETE
inline constexpr std::uint32_t kWriteDac = 0x00040000;     // WRITE_DAC
inline constexpr std::uint32_t kWriteOwner = 0x00080000;   // WRITE_OWNER
inline constexpr std::uint32_t kGenericAll = 0x10000000;   // GENERIC_ALL

// One entry of an access list, with its account as a SID string ("S-1-5-32-545").
struct AccessEntry {
    bool allow = true;
    bool inheritOnly = false;  // only for what is made inside, not for the folder itself
    Text sid;
    std::uint32_t mask = 0;
};

// The owner and access list of an existing folder, as GetSecurityInfo tells them.
struct FolderSecurity {
    Text owner;
    std::vector<AccessEntry> entries;
    bool reparsePoint = false;  // a junction or link: where it leads may change
};

// The accounts trusted with Ordane's folder and the path to it: SYSTEM, Administrators,
// TrustedInstaller, CREATOR OWNER and OWNER RIGHTS (which give no one more than the owner has),
// and the account running the installer (an administrator, or SYSTEM).
std::vector<Text> TrustedAccounts(const Text& runningAccount);

// Whether anybody not trusted may rename, re-permission or re-own one of the existing folders
// above Ordane's (`existing`: from the root down, as Ancestors lists them, the missing ones left
// out: those are made with their protection): the owner and every entry that applies to the
// folder itself count; DELETE of a folder below the root and delete-child of any of them (its
// child may be renamed), WRITE_DAC, WRITE_OWNER and GENERIC_ALL. Refusing entries do not count:
// their order and inheritance are not weighed. A junction or link among them counts too.
bool PathChangeableByOthers(const std::vector<FolderSecurity>& existing,
                            const std::vector<Text>& trusted);

// Whether nobody but the trusted accounts owns the object or may write, add, delete,
// re-permission or re-own it (inherit-only entries count: what is made inside would carry them).
bool ProtectedFromOthers(const FolderSecurity& security, const std::vector<Text>& trusted);

// One entry of a folder that already exists, as read through a handle on the entry itself.
struct FolderEntry {
    Text name;
    bool directory = false;
    bool reparsePoint = false;
    std::uint32_t links = 1;
    FolderSecurity security;
};

enum class ExistingFolderRule {
    kAdopt,   // already protected and only Ordane's: installed into as it is
    kRefuse,  // the installation is refused and nothing in the folder is touched
};

// Whether a folder that exists already may become Ordane's. Re-permissioning what is there
// cannot undo what a user did before (a handle he opened with WRITE_DAC stays, a library he put
// there would be loaded), and it would take other programs' files. So it is adopted only when it
// is protected already: owner trusted, no entry letting anyone untrusted write, add, delete,
// re-permission or re-own it (inherit-only entries count: new files would carry them), and it
// holds only Ordane's own names (Ordane.exe, Setting.ini, the removal's two programs, the card
// reader's sdtapi.dll, an Ordane.exe.new waiting for a restart), each of them a plain file
// protected the same way, Setting.ini's entry letting Users read and write it excepted. Never a
// subfolder, a link or a file with a second name, but Setting.ini: Users may write it, so any of
// them may give it a second name elsewhere; its bytes are then copied into a file of its own.
ExistingFolderRule DecideExistingFolder(const FolderSecurity& folder,
                                        const std::vector<FolderEntry>& entries,
                                        const std::vector<Text>& trusted);

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

// After an upgrade, Ordane is started again in every session where a copy was closed for it,
// and with /RUN in `runSession` too (the console session for the system account, the
// installer's own for an administrator): each once, in the order first seen, never in session 0
// (services: no user's desktop). `runAsked`: /RUN was given.
std::vector<std::uint32_t> SessionsToRestart(const std::vector<std::uint32_t>& closedIn,
                                             bool runAsked, std::uint32_t runSession);

enum class RestartWay {
    kAsSessionUser,   // that session's user's token, on its winsta0\default
    kWithShellToken,  // this session's desktop shell's token (the installer's own session)
    kDirect,          // the installer's own, ordinary rights (its own session)
    kNotStarted,      // out of reach: the Run entry starts it at that user's next log-on
};

// How Ordane is started in `session` after an upgrade, by an installer running in
// `ownSession`: the system account reaches every session with its user's token; an
// administrator only his own session, as DecideLaunch starts it there.
RestartWay DecideRestart(const LaunchContext& context, std::uint32_t session,
                         std::uint32_t ownSession);

// The command line that runs NSIS's uninstaller from its temporary copy for the installed
// uninstall.exe, so that it removes that folder and can be waited for: the options uninstall.exe
// was given, as typed, then "_?=" and the installed folder, last and unquoted even with spaces
// (NSIS reads the rest of the line as the folder). An "_?=" already given (the older documented
// quiet command) is replaced, not repeated.
Text UninstallerCommandLine(const Text& launcherCommandLine, const Text& uninstallerCopy,
                            const Text& installedFolder);

// PendingFileRenameOperations (a REG_MULTI_SZ's characters, its NULs included) without its
// deletions of `folder` and of what is in it: what a removal that ended with "done at the next
// restart" left, by name, for that restart. An installation into the folder takes them back, or
// the restart would delete what it installed. The value is pairs of a source and a target
// ("\??\C:\…", a target "!\??\…" replaces), an empty target a deletion; renames and
// deletions elsewhere stay, in order. A value that is not whole pairs comes back unchanged.
Text WithoutPendingDeletions(const Text& operations, const Text& folder);

// Whether the installer got the folder its command line asked for with "/D=". The installer reads
// its options as NSIS does: separated by spaces only, one that starts with a quote taken to its
// closing quote, and "/D=" taking the rest of the line; NSIS silently puts its default folder in
// place of one it finds invalid, and tells the script nothing. "/d=" in another case counts as
// asked too (NSIS ignores it, installing elsewhere). Trailing blanks and a trailing separator
// do not count. True when no folder was asked for.
bool GotAskedFolder(const Text& installerCommandLine, const Text& installDir);

}  // namespace ordane::setup
