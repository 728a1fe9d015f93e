// The words of a cause: lines an admin reads, made from the cause's code,
// key and evidence alone, so a hint names nothing its evidence lacks.
#pragma once
#include <string>
#include <vector>

#include "diagnosis/cause.h"

// The hint lines for one cause (without the "[hint] " prefix).
std::vector<std::string> hint_words(const Cause& cause);
// One line for a cause an earlier check already told in full.
std::string repeat_words(const Cause& cause, const std::string& first_check);
