// Where the "自动启动" box's entry goes and when it is written: only when the box was changed,
// under the machine's Run key only for a protected copy (an installed one, which no user may
// replace), under the user's own Run key for a portable one, and never over or in place of an
// entry that starts a program in another folder.
#pragma once

#include <optional>
#include <vector>

#include "common/text.h"

namespace ordane {

// The two Run values as they are: absent, or the command they hold.
struct AutoStartEntries {
    std::optional<Text> machine;
    std::optional<Text> user;
};

enum class AutoStartStep {
    kSetMachine,
    kSetUser,
    kRemoveMachine,
    kRemoveUser,
};

struct AutoStartPlan {
    std::vector<AutoStartStep> steps;
    // An entry starts a program in another folder: left as it is, and the user is told.
    std::optional<Text> otherProgram;
};

// `shownChecked`: the box as the dialog opened; `wanted`: as OK found it; `command`: this copy's
// entry. Nothing is done for an unchanged box.
AutoStartPlan PlanAutoStart(bool shownChecked, bool wanted, bool protectedCopy, const Text& command,
                            const AutoStartEntries& entries);

}  // namespace ordane
