// The run's owner of the test handle: settings loading and the check run.
#pragma once
#include <cstdint>
#include <span>

#include "pathvane/pathvane.h"
#include "shared_agent/util/result_codes.h"

// One row of the check table.
struct CheckRow {
  const char* name;
  uint32_t bit;
  int (*check)(pathvane_handle* handle);  // null: not part of this build
};

// The fixed check table, in run order.
std::span<const CheckRow> default_check_table();
// Result slot of a check bit, 13 when the bit has none.
uint32_t slot_for_bit(uint32_t bit);

class PathvaneWrapper {
 public:
  PathvaneWrapper() = default;
  PathvaneWrapper(const PathvaneWrapper&) = delete;
  PathvaneWrapper& operator=(const PathvaneWrapper&) = delete;

  HRESULT Initialize(bool bypass, bool discover, bool verbose, const char* cmdline,
                     uint32_t policy_serial);
  HRESULT RunChecks(uint32_t mask);
  // The same run over another table (the tests inject their own checks).
  HRESULT RunChecks(uint32_t mask, std::span<const CheckRow> table);

  pathvane_handle*& handle() { return handle_; }

 private:
  pathvane_handle* handle_ = nullptr;
};
