#include "korviad/kd_term.h"

const char* const kdTerm::Icon::INFO = "[i]";
const char* const kdTerm::Icon::WARN = "[!]";
