#include "local/name_case.hpp"

bool platformNamesIgnoreCase() { return false; }
