#pragma once

// What the tests may see of the window beyond its own interface: the engine that runs its
// operations, for the watches that only the engine has (the update's hint and verdict).

#include "vortan_gui.h"

struct vortan_gui_test_access {
    static quillmar::operation_engine& engine(vortan_gui& window) { return *window.engine; }
};
