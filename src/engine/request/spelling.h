// How each asker names an option in what a run says: the option table's
// spelling on the command line, its keyword in the Python API.
#pragma once

#include "option_table.h"
