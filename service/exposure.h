// Who besides administrators could replace what runs as LocalSystem: the
// permissions of the program's file and of every directory above it.
#ifndef QELN_SERVICE_EXPOSURE_H
#define QELN_SERVICE_EXPOSURE_H

#include "platform/platform.h"

// The groups that hold ordinary users (Everyone first), by index.
constexpr int kOrdinaryGroups = 8;
const platform::WCHAR* OrdinaryGroupName(int group);

// The rights that `dacl` grants the ordinary users' `group` on the object it
// guards and that let them replace what runs: on a file, writing or appending
// data, deleting it, changing its permissions or owner; on a directory,
// deleting what it holds or itself, changing its permissions or owner
// (creating in it is none of these); generic write and all on both. Entries
// that only pass on to what a directory holds do not count. A null `dacl`
// (no permissions kept) grants Everyone all (GENERIC_ALL).
platform::DWORD ReplacingRights(const platform::ACL* dacl, bool directory, int group);

// Says on standard error, a line each, which ordinary users could change the
// program at `path` (its long path), its directory or a directory above it
// up to the root of its volume, and where the permissions cannot be read.
void WarnWhoCouldReplace(const platform::WCHAR* path);

#endif
