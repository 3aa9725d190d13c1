#include "setup/setup_rules.h"

#include <algorithm>
#include <iterator>

namespace ordane::setup {

namespace {

bool IsLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

char16_t Upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

// "C:" for a drive path, "\\SERVER\SHARE" for a UNC one; the rest of the path follows it.
std::size_t RootLength(const Text& path) {
    if (path.size() >= 2 && IsLetter(path[0]) && path[1] == u':') {
        return 2;
    }
    if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
        std::size_t end = path.find(u'\\', 2);
        if (end == Text::npos) {
            return path.size();
        }
        end = path.find(u'\\', end + 1);
        return end == Text::npos ? path.size() : end;
    }
    return 0;
}

}  // namespace

namespace {

// The path with its separators, prefixes, "." and ".." resolved; letters folded to upper case
// only when `fold` (a folder made from the result keeps the case it was given).
Text NormalPath(const Text& path, bool fold) {
    Text p = path;
    std::replace(p.begin(), p.end(), u'/', u'\\');
    if (StartsWith(p, u"\\\\?\\UNC\\")) {
        p = u"\\\\" + p.substr(8);
    } else if (StartsWith(p, u"\\\\?\\") || StartsWith(p, u"\\\\.\\")) {
        p = p.substr(4);
    }
    if (fold) {
        std::transform(p.begin(), p.end(), p.begin(), Upper);
    }
    const std::size_t rootLength = RootLength(p);
    Text out = p.substr(0, rootLength);
    std::vector<Text> parts;
    std::size_t at = rootLength;
    while (at <= p.size()) {
        std::size_t end = p.find(u'\\', at);
        if (end == Text::npos) {
            end = p.size();
        }
        const Text part = p.substr(at, end - at);
        if (part == u"..") {
            if (parts.empty()) {
                return {};
            }
            parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    for (const Text& part : parts) {
        out += u'\\';
        out += part;
    }
    return out;
}

}  // namespace

Text ComparablePath(const Text& path) {
    return NormalPath(path, true);
}

bool SamePath(const Text& a, const Text& b) {
    const Text left = ComparablePath(a);
    return !left.empty() && left == ComparablePath(b);
}

std::vector<std::uint32_t> CopiesToEnd(const std::vector<RunningProcess>& running,
                                       const Text& installedProgram, std::uint32_t self) {
    std::vector<std::uint32_t> ids;
    for (const RunningProcess& process : running) {
        if (process.id != self && !process.image.empty() &&
            SamePath(process.image, installedProgram)) {
            ids.push_back(process.id);
        }
    }
    return ids;
}

FolderRule DecideFolder(const Text& folder, const std::vector<Text>& managedRoots,
                        const std::vector<Text>& systemTrees) {
    const Text target = ComparablePath(folder);
    const std::size_t rootLength = RootLength(target);
    if (rootLength == 0 || target.size() <= rootLength) {
        return FolderRule::kRefuse;
    }
    for (const Text& root : managedRoots) {
        if (SamePath(target, root)) {
            return FolderRule::kRefuse;
        }
    }
    for (const Text& tree : systemTrees) {
        const Text top = ComparablePath(tree);
        // An unknown tree (its variable unset) refuses nothing.
        if (!top.empty() && (target == top || (target.size() > top.size() &&
                                               target.compare(0, top.size(), top) == 0 &&
                                               target[top.size()] == u'\\'))) {
            return FolderRule::kRefuse;
        }
    }
    return FolderRule::kProtect;
}

std::vector<Text> Ancestors(const Text& folder) {
    const Text target = NormalPath(folder, false);
    const std::size_t rootLength = RootLength(target);
    std::vector<Text> ancestors;
    if (rootLength == 0 || target.size() <= rootLength) {
        return ancestors;
    }
    // A root is named with its separator ("D:" alone is the drive's current folder, and a share
    // opens as a folder only as "\\srv\apps\" too).
    ancestors.push_back(target.substr(0, rootLength) + u"\\");
    for (std::size_t at = target.find(u'\\', rootLength + 1); at != Text::npos;
         at = target.find(u'\\', at + 1)) {
        ancestors.push_back(target.substr(0, at));
    }
    return ancestors;
}

std::vector<Text> TrustedAccounts(const Text& runningAccount) {
    std::vector<Text> trusted = {
        u"S-1-5-18",                                                        // SYSTEM
        u"S-1-5-32-544",                                                    // Administrators
        u"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
        u"S-1-3-0",  // CREATOR OWNER: in an entry that applies, it names nobody
        u"S-1-3-4",  // OWNER RIGHTS: what the owner, judged on its own, may do
    };
    if (!runningAccount.empty()) {
        trusted.push_back(runningAccount);
    }
    return trusted;
}

bool PathChangeableByOthers(const std::vector<FolderSecurity>& existing,
                            const std::vector<Text>& trusted) {
    const auto isTrusted = [&trusted](const Text& sid) {
        return std::find(trusted.begin(), trusted.end(), sid) != trusted.end();
    };
    for (std::size_t i = 0; i < existing.size(); ++i) {
        const FolderSecurity& folder = existing[i];
        if (folder.reparsePoint || !isTrusted(folder.owner)) {
            return true;
        }
        // The root cannot be renamed; what is below it can.
        const std::uint32_t changes =
            kDeleteChild | kWriteDac | kWriteOwner | kGenericAll | (i == 0 ? 0 : kDelete);
        for (const AccessEntry& entry : folder.entries) {
            if (entry.allow && !entry.inheritOnly && (entry.mask & changes) != 0 &&
                !isTrusted(entry.sid)) {
                return true;
            }
        }
    }
    return false;
}

namespace {

// What lets an account change a folder or file, or what it holds (the Windows values):
// FILE_WRITE_DATA/ADD_FILE, FILE_APPEND_DATA/ADD_SUBDIRECTORY, FILE_WRITE_EA, FILE_DELETE_CHILD,
// FILE_WRITE_ATTRIBUTES, DELETE, WRITE_DAC, WRITE_OWNER, GENERIC_ALL, GENERIC_WRITE.
constexpr std::uint32_t kChanges = 0x00000002 | 0x00000004 | 0x00000010 | kDeleteChild |
                                   0x00000100 | kDelete | kWriteDac | kWriteOwner | kGenericAll |
                                   0x40000000;
// What GrantFile gives Users on Setting.ini: FILE_GENERIC_READ | FILE_GENERIC_WRITE.
constexpr std::uint32_t kSettingsUsersRights = 0x00120089 | 0x00120116;
constexpr char16_t kUsers[] = u"S-1-5-32-545";

bool Protected(const FolderSecurity& security, const std::vector<Text>& trusted,
               bool settingsFile) {
    const auto isTrusted = [&trusted](const Text& sid) {
        return std::find(trusted.begin(), trusted.end(), sid) != trusted.end();
    };
    if (security.reparsePoint || !isTrusted(security.owner)) {
        return false;
    }
    for (const AccessEntry& entry : security.entries) {
        if (!entry.allow || (entry.mask & kChanges) == 0 || isTrusted(entry.sid)) {
            continue;
        }
        if (settingsFile && entry.sid == kUsers && (entry.mask & ~kSettingsUsersRights) == 0) {
            continue;
        }
        return false;
    }
    return true;
}

bool OrdaneName(const Text& name) {
    // Ordane.exe.new: an upgrade's Ordane.exe waiting for the next restart.
    static const char16_t* const kNames[] = {u"ORDANE.EXE",           u"ORDANE.EXE.NEW",
                                             u"SETTING.INI",          u"UNINSTALL.EXE",
                                             u"UNINSTALL-ORDANE.EXE", u"SDTAPI.DLL"};
    const Text upper = ComparablePath(u"C:\\" + name).substr(3);
    return std::any_of(std::begin(kNames), std::end(kNames),
                       [&upper](const char16_t* known) { return upper == known; });
}

}  // namespace

bool ProtectedFromOthers(const FolderSecurity& security, const std::vector<Text>& trusted) {
    return Protected(security, trusted, false);
}

ExistingFolderRule DecideExistingFolder(const FolderSecurity& folder,
                                        const std::vector<FolderEntry>& entries,
                                        const std::vector<Text>& trusted) {
    if (!Protected(folder, trusted, false)) {
        return ExistingFolderRule::kRefuse;
    }
    for (const FolderEntry& entry : entries) {
        const bool settings = ComparablePath(u"C:\\" + entry.name) == u"C:\\SETTING.INI";
        if (entry.directory || entry.reparsePoint || (entry.links > 1 && !settings) ||
            !OrdaneName(entry.name) || !Protected(entry.security, trusted, settings)) {
            return ExistingFolderRule::kRefuse;
        }
    }
    return ExistingFolderRule::kAdopt;
}

LaunchWay DecideLaunch(const LaunchContext& context) {
    if (context.isLocalSystem) {
        return context.consoleUserLoggedOn ? LaunchWay::kAsConsoleUser : LaunchWay::kNotStarted;
    }
    if (context.isElevated) {
        return context.shellRunning ? LaunchWay::kWithShellToken : LaunchWay::kNotStarted;
    }
    return LaunchWay::kDirect;
}

std::vector<std::uint32_t> SessionsToRestart(const std::vector<std::uint32_t>& closedIn,
                                             bool runAsked, std::uint32_t runSession) {
    std::vector<std::uint32_t> sessions;
    const auto add = [&sessions](std::uint32_t session) {
        if (session != 0 &&
            std::find(sessions.begin(), sessions.end(), session) == sessions.end()) {
            sessions.push_back(session);
        }
    };
    for (std::uint32_t session : closedIn) {
        add(session);
    }
    if (runAsked && runSession != 0xFFFFFFFF) {  // 0xFFFFFFFF: no such session
        add(runSession);
    }
    return sessions;
}

RestartWay DecideRestart(const LaunchContext& context, std::uint32_t session,
                         std::uint32_t ownSession) {
    if (context.isLocalSystem) {
        return RestartWay::kAsSessionUser;
    }
    if (session != ownSession) {
        return RestartWay::kNotStarted;
    }
    switch (DecideLaunch(context)) {
        case LaunchWay::kWithShellToken:
            return RestartWay::kWithShellToken;
        case LaunchWay::kDirect:
            return RestartWay::kDirect;
        case LaunchWay::kAsConsoleUser:
        case LaunchWay::kNotStarted:
            break;
    }
    return RestartWay::kNotStarted;
}

Text UninstallerCommandLine(const Text& launcherCommandLine, const Text& uninstallerCopy,
                            const Text& installedFolder) {
    const Text& line = launcherCommandLine;
    // The program's own name ends at its closing quote, or unquoted at the first blank (no
    // escapes in it, as Windows reads it).
    std::size_t at = 0;
    if (!line.empty() && line[0] == u'"') {
        at = line.find(u'"', 1);
        at = at == Text::npos ? line.size() : at + 1;
    } else {
        at = std::min(line.find_first_of(u" \t"), line.size());
    }
    Text options = line.substr(at);
    const std::size_t folder = (u" " + options).find(u" _?=");
    if (folder != Text::npos) {
        options.resize(folder == 0 ? 0 : folder - 1);
    }
    const std::size_t first = options.find_first_not_of(u" \t");
    const std::size_t last = options.find_last_not_of(u" \t");
    options = first == Text::npos ? Text() : options.substr(first, last - first + 1);
    Text command = u"\"" + uninstallerCopy + u"\" ";
    if (!options.empty()) {
        command += options + u" ";
    }
    return command + u"_?=" + installedFolder;
}

Text WithoutPendingDeletions(const Text& operations, const Text& folder) {
    // Each name ends with a NUL, and the list with one more.
    if (operations.empty() || operations.back() != u'\0') {
        return operations;
    }
    std::vector<Text> names;
    for (std::size_t at = 0; at + 1 < operations.size();) {
        const std::size_t end = operations.find(u'\0', at);
        names.push_back(operations.substr(at, end - at));
        at = end + 1;
    }
    if (names.size() % 2 != 0) {
        return operations;
    }
    const Text top = ComparablePath(folder);
    const auto inFolder = [&top](Text name) {
        if (StartsWith(name, u"\\??\\UNC\\")) {
            name = u"\\\\" + name.substr(8);
        } else if (StartsWith(name, u"\\??\\")) {
            name = name.substr(4);
        }
        const Text path = ComparablePath(name);
        return !top.empty() && StartsWith(path, top) &&
               (path.size() == top.size() || path[top.size()] == u'\\');
    };
    Text kept;
    for (std::size_t i = 0; i < names.size(); i += 2) {
        if (names[i + 1].empty() && inFolder(names[i])) {
            continue;
        }
        kept += names[i] + u'\0' + names[i + 1] + u'\0';
    }
    return kept.empty() ? Text() : kept + u'\0';
}

bool GotAskedFolder(const Text& installerCommandLine, const Text& installDir) {
    const Text& line = installerCommandLine;
    std::size_t at = 0;
    bool first = true;  // the program's own name
    while (at < line.size()) {
        while (at < line.size() && line[at] == u' ') {
            ++at;
        }
        const bool quoted = at < line.size() && line[at] == u'"';
        const std::size_t start = quoted ? at + 1 : at;
        if (!first && line.size() - start >= 3 && line[start] == u'/' &&
            Upper(line[start + 1]) == u'D' && line[start + 2] == u'=') {
            Text asked = line.substr(start + 3);
            asked.erase(asked.find_last_not_of(u" \t") + 1);
            if (asked == installDir) {
                return true;
            }
            return SamePath(asked, installDir);
        }
        first = false;
        const std::size_t end = line.find(quoted ? u'"' : u' ', start);
        at = end == Text::npos ? line.size() : end + 1;
    }
    return true;
}

}  // namespace ordane::setup
