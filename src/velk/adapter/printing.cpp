#include "printing.h"

#include "text.h"

namespace velk {

void say_to_stderr(const std::string& line) {
    print_stderr(text_object(line).get());
}

}  // namespace velk
