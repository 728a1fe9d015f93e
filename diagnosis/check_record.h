// What the runner keeps of each check it ran, beside the report it printed:
// the verdict, how the summary counted it, the slot as the check left it,
// the facts of its transfers and the hints that explain a failure. The
// hints and the results file read these; the report never does.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "diagnosis/cause.h"
#include "pathvane/pathvane.h"
#include "diagnosis/xfer_facts.h"

enum class Counted { kSuccess, kIssues, kFailed };

struct CheckRecord {
  std::string name;  // the check table's name
  uint32_t bit = 0;
  int rc = 0;                 // what the check returned: 0 pass, 6 not run, else error
  bool slot_read = false;     // false: "Failed to get check result details"
  check_result slot{};        // as the check left it
  Counted counted = Counted::kFailed;
  std::vector<xfer_facts> transfers;  // in the order they ran
  std::vector<Cause> causes;  // decided from the above, in the order found
  std::vector<std::string> hints;  // the causes in words
};

// "pass", "warning" or "error", as the verdict line says it.
const char* verdict_word(int rc);
