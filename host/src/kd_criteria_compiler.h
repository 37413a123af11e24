// Compiles criteria text into a tree of tests (the language is described in docs/criteria.md).
#pragma once

#include <cstddef>
#include <string>

#include "kd_criteria_node.h"

// Deepest nesting of '(' and '!' accepted; deeper input is refused rather than risking the stack.
constexpr size_t kdCriteriaMaxDepth = 256;

// Raises kdException "criteria: position <n>: <what was expected or is wrong>" on malformed text,
// unknown fields and values that do not suit their field.
kdCriteriaNodePtr kdCompileCriteria(const std::string& expression);
