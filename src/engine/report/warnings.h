// Where a run's stages put what does not stop it, as they find it: a
// warning (the files may not be what the user meant), a note (what the run
// did not check or write), a hint (what to try after a verdict). Each is
// one line. The reporter is one such sink; the stages know no more of it.
#pragma once

#include <string>

namespace velk {

class Warnings {
public:
    virtual void warning(const std::string& text) = 0;
    virtual void note(const std::string& text) = 0;
    virtual void hint(const std::string& text) = 0;

protected:
    ~Warnings() = default;
};

}  // namespace velk
