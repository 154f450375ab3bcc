#pragma once

#include <QString>

// A seam under every write and sync a command makes: the engine's through a file layer (a VFS) wrapped
// around the engine's default one, the program's own through the file operations' fault hook. Every
// write, truncation, sync and rename of any file counts as one step. At the chosen step the plan either
// fails the step (an I/O error, or a full disk), or, at a sync, cuts the power: of every file, the writes not
// yet synced are lost from a point on (chosen at random per file), and the process ends at once without any
// clean-up. Meant for a child process
// (fork) that runs one command.
namespace pell::test {

struct FaultPlan {
    enum class Kind { Count, Fail, PowerCut };
    Kind kind = Kind::Count; // Count: nothing is injected, the steps are only counted
    int at = 0;              // the step (from 1) that fails, or the sync (from 1) at which the power goes
    int errnum = 0;          // for Fail: EIO or ENOSPC
};

// The exit status of a process whose power was cut, and of one whose power was cut right after its
// command had reported success (cutPowerNow).
inline constexpr int PowerCutStatus = 86;
inline constexpr int PowerCutAfterDoneStatus = 87;

// Wraps the engine's default file layer (once per process) and sets the plan; steps are counted from 0.
void injectFaults(const FaultPlan& plan);
// Steps counted so far (syncs alone: syncsSeen), and whether the planned fault happened.
int stepsSeen();
int syncsSeen();
bool faultInjected();
// Cuts the power now (after the command reported success): exits with PowerCutAfterDoneStatus.
[[noreturn]] void cutPowerNow();

} // namespace pell::test
