// What a killed run leaves beside the names it was writing: its
// temporaries (".<name>.<pid>-<n>.tmp", up to an output's size), and, when
// it was killed between the renames of its commit, the earlier files it
// had moved aside (".<name>.<pid>-<n>.old"), which nothing else would put
// back.
#pragma once

#include <string>
#include <vector>

namespace velk::outfile {

// Clears the leftovers of processes that are gone beside `targets`: their
// temporaries are removed; an earlier file moved aside goes back under its
// name when the commit that moved it had not put all its files in place (a
// temporary of it is left), so the earlier set stands whole again, and is
// removed when it had (the name holds the later file, or was to be
// cleared). Only with the names' lock held: a live run's commit moves
// files under that lock.
void clear_leftovers(const std::vector<std::string>& targets);

}  // namespace velk::outfile
