// How a run of tarnwick-dat ends when a signal arrives or its output goes
// away: whatever ends it, no temporary file it made is left behind.
//
// SIGPIPE is ignored, so a reader that goes away shows as EPIPE on a write;
// SIGHUP, SIGINT, SIGQUIT and SIGTERM are taken by a thread of their own,
// which removes every registered temporary file and ends the process by the
// signal, as its default action would have. Inside a `StopScope` the first
// of them only asks the run to stop (it then cleans up itself and ends by
// the signal); a second one ends the process at once, still removing the
// temporary files.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tarnwick_dat_tool {

/// Takes over the signals above; called once, before any other thread
/// starts. A signal ignored when the tool starts (as under nohup) stays
/// ignored.
void start_signal_handling();

/// True when SIGPIPE was at its default action when the tool started: a
/// broken pipe on standard output then ends the run by SIGPIPE, as it would
/// have had the tool not ignored it.
bool broken_pipe_ends_run();

/// The signal that asked the current `StopScope` to stop, or 0.
int stop_signal();

/// While one lives, the first signal sets `stop_signal()` instead of ending
/// the process; a second ends it at once.
class StopScope {
  public:
    StopScope();
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;
};

/// Removes every registered temporary file and ends the process by
/// `signal`, whatever its disposition was.
[[noreturn]] void end_by_signal(int signal);

/// A token for a registered temporary file; `kNoTemporary` for none.
using TemporaryToken = std::size_t;
inline constexpr TemporaryToken kNoTemporary = static_cast<TemporaryToken>(-1);

/// Creates a temporary file by `create`, which opens `name` relative to the
/// directory descriptor `dir` (AT_FDCWD for a path) and returns the new
/// descriptor, or -1 with errno set; it may change `name`, as mkostemp does.
/// From the moment the file exists it is known to the signal handling, which
/// removes it if the run ends by a signal, until `forget_temporary(token)`;
/// `dir` must stay open until then. Returns the descriptor (or -1, errno
/// kept) and sets `token` (`kNoTemporary` on failure).
int create_temporary(int dir, std::string& name, const std::function<int(std::string&)>& create,
                     TemporaryToken& token);

/// Forgets a temporary file once its owner has renamed or removed it; does
/// nothing for `kNoTemporary`.
void forget_temporary(TemporaryToken token);

}  // namespace tarnwick_dat_tool
