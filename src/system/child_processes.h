// The registry of running child tools and the end of a tool's whole process tree.
//
// Every outside tool starts through spawn_tracked, which records its process number in one
// process-wide list; the run removes it again with untrack_child on every road out.
// kill_process_tree ends the tool together with every process it started (its process group);
// end_tracked_children ends every recorded tool when the service stops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>

#include "platform/errors.h"
#include "platform/process.h"

namespace kavel_lib::system {

// Starts the process and records its number before handing it back. A start failure is
// returned unchanged and records nothing. Once end_tracked_children has run, nothing is
// started and ERROR_OPERATION_ABORTED is returned.
std::expected<platform::SpawnedChild, platform::OsError> spawn_tracked(const platform::ProcessRequest& request);

// Appends a number to the registry (0 is never recorded); spawn_tracked's recording step.
void track_child(std::uint32_t process_id);

// Removes every entry equal to the number, keeping the order of the others; 0 does nothing.
void untrack_child(std::uint32_t process_id);

// Ends the process and its descendants (its process group) and returns once they have been
// signalled. Every failure is dropped; numbers that must never be signalled as a group (0, 1,
// numbers beyond the largest process number, this process) are refused.
void kill_process_tree(std::uint32_t process_id);

// The service's stop: waits for starts in progress to be recorded, ends the process group of
// every child spawn_tracked started that is still recorded and not yet reaped, and lets no child
// start afterwards, so that no tool outlives the service. Entries stay for their runs to remove.
void end_tracked_children();

// How many entries hold the number (for diagnostics and tests).
std::size_t tracked_count(std::uint32_t process_id);

}  // namespace kavel_lib::system
