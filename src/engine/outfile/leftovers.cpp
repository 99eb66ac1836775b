#include "leftovers.h"

#include <dirent.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <set>

#include "names.h"

namespace velk::outfile {

namespace {

struct Leftover {
    std::string path;
    const std::string* target;
    long pid;
    bool moved_aside;  // an .old file, else a temporary
};

bool gone(long pid) {
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// The leftovers of processes that are gone, among the entries of the
// targets' folders.
std::vector<Leftover> find_leftovers(const std::vector<std::string>& targets) {
    std::vector<Leftover> found;
    std::set<std::string> folders;
    for (const std::string& target : targets) folders.insert(directory_of(target));
    for (const std::string& folder : folders) {
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) continue;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name[0] != '.') continue;
            for (const std::string& target : targets) {
                if (directory_of(target) != folder) continue;
                for (bool old : {false, true}) {
                    long pid = hidden_owner(name, target, old ? ".old" : ".tmp");
                    if (gone(pid))
                        found.push_back({folder + "/" + name, &target, pid, old});
                }
            }
        }
        ::closedir(dir);
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
            ::unlink(l.path.c_str());
        }
    for (const Leftover& l : found) {
        if (!l.moved_aside) continue;
        if (unfinished.count(l.pid))
            ::rename(l.path.c_str(), l.target->c_str());
        else
            ::unlink(l.path.c_str());
    }
}

}  // namespace velk::outfile
