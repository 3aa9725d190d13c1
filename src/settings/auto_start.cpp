#include "settings/auto_start.h"

namespace ordane {

namespace {

// The program an entry starts, for comparison: without its quotes, '/' as '\', ASCII letters in
// upper case (as Windows compares paths).
Text ProgramOf(const Text& command) {
    Text program = command;
    if (program.size() >= 2 && program.front() == u'"') {
        const std::size_t close = program.find(u'"', 1);
        program = program.substr(1, close == Text::npos ? Text::npos : close - 1);
    }
    for (char16_t& c : program) {
        c = c == u'/' ? u'\\' : (c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c);
    }
    return program;
}

// An empty entry starts nothing: it is nobody's.
bool Foreign(const std::optional<Text>& entry, const Text& command) {
    return entry && !entry->empty() && ProgramOf(*entry) != ProgramOf(command);
}

}  // namespace

AutoStartPlan PlanAutoStart(bool shownChecked, bool wanted, bool protectedCopy, const Text& command,
                            const AutoStartEntries& entries) {
    AutoStartPlan plan;
    if (wanted == shownChecked) {
        return plan;
    }
    const auto other = [&plan, &command](const std::optional<Text>& entry) {
        if (Foreign(entry, command)) {
            plan.otherProgram = *entry;
            return true;
        }
        return false;
    };
    if (wanted) {
        const std::optional<Text>& place = protectedCopy ? entries.machine : entries.user;
        if (!other(place)) {
            plan.steps.push_back(protectedCopy ? AutoStartStep::kSetMachine
                                               : AutoStartStep::kSetUser);
        }
        return plan;
    }
    if (entries.machine && !other(entries.machine)) {
        plan.steps.push_back(AutoStartStep::kRemoveMachine);
    }
    if (entries.user && !other(entries.user)) {
        plan.steps.push_back(AutoStartStep::kRemoveUser);
    }
    return plan;
}

}  // namespace ordane
