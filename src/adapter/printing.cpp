#include "printing.h"

#include "text.h"

namespace velk {

void say(const std::string& line) {
    print(text_object(line).get());
}

void say_to_stderr(const std::string& line) {
    print_stderr(text_object(line).get());
}

}  // namespace velk
