// How the output files are named after their input, and the hidden files
// that stand beside them while a run writes them.
#pragma once

#include <string>

namespace velk::outfile {

// The path without its last extension, as os.path.splitext splits it: the
// root the output files are named after.
std::string path_root(const std::string& path);

// The folder of a path ("." for a bare name) and its last component. On
// Windows '\' separates too, and a drive's "Z:" is a folder of its own
// ("Z:fw.hex" is in "Z:", "Z:\fw.hex" in "Z:\").
std::string directory_of(const std::string& path);
std::string base_of(const std::string& path);

// A name in a folder as directory_of gives it.
std::string join_path(const std::string& folder, const std::string& name);

// A hidden name beside `path` that no flashing step takes for an output:
// "<dir>/.<base>.<pid>-<n><suffix>", the process's id in it so that a later
// run can tell a killed run's leftovers from a live run's files. A base
// longer than 200 characters keeps its last 200 (the ends tell the outputs
// apart), so the name stays within 255 bytes.
std::string hidden_sibling(const std::string& path, const char* suffix);

// The process id in `name`, an entry of path's folder, when it is a hidden
// sibling of `path` with `suffix`; 0 when it is not one.
long hidden_owner(const std::string& name, const std::string& path, const char* suffix);

// The lock file that runs writing the outputs named after `path`'s root
// take turns at: "<dir>/.<root>.lock" (".fw_CRC.lock" for fw_CRC.hex).
std::string lock_path_for(const std::string& path);

}  // namespace velk::outfile
