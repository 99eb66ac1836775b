#include "leftovers.h"

#include <set>

#include "../platform/platform.h"
#include "names.h"

namespace velk::outfile {

namespace {

struct Leftover {
    std::string path;
    const std::string* target;
    long pid;
    bool moved_aside;  // an .old file, else a temporary
};

// The leftovers of processes that are gone, among the entries of the
// targets' folders.
std::vector<Leftover> find_leftovers(const std::vector<std::string>& targets) {
    std::vector<Leftover> found;
    std::set<std::string> folders;
    for (const std::string& target : targets) folders.insert(directory_of(target));
    for (const std::string& folder : folders)
        for (const std::string& name : platform::entries(folder)) {
            if (name[0] != '.') continue;
            for (const std::string& target : targets) {
                if (directory_of(target) != folder) continue;
                for (bool old : {false, true}) {
                    long pid = hidden_owner(name, target, old ? ".old" : ".tmp");
                    if (platform::process_gone(pid))
                        found.push_back({join_path(folder, name), &target, pid, old});
                }
            }
        }
    return found;
}

}  // namespace

void clear_leftovers(const std::vector<std::string>& targets) {
    std::vector<Leftover> found = find_leftovers(targets);
    std::set<long> unfinished;  // killed before all their files were in place
    for (const Leftover& l : found)
        if (!l.moved_aside) {
            unfinished.insert(l.pid);
            platform::remove(l.path);
        }
    for (const Leftover& l : found) {
        if (!l.moved_aside) continue;
        if (unfinished.count(l.pid))
            platform::rename(l.path, *l.target);
        else
            platform::remove(l.path);
    }
}

}  // namespace velk::outfile
