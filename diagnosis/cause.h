// A cause is what the evidence of a check shows went wrong, decided as a
// value before any words are chosen for it: fleet tools group hosts by its
// code and key, and the hint's words name only what its evidence holds.
#pragma once
#include <nlohmann/json.hpp>
#include <string>

struct Cause {
  std::string code;  // stable dotted name: "tls.untrusted_ca", "tcp.refused", ...
  std::string key;   // the one text hosts are grouped by for this code
  nlohmann::json evidence = nlohmann::json::object();  // the facts the hint names
};
