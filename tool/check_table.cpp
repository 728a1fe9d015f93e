#include <iterator>

#include "tool/pathvane_wrapper.h"

namespace {

// A row whose check is null reports as failed (the tests' own tables use it).
const CheckRow kCheckTable[] = {
    {"Health Test", 0x1, pathvane_health_check},
    {"Velta Registration", 0x4, pathvane_velta_management_check},
    {"Policy D/L (company)", 0x100, pathvane_policy_check},
    {"Retro File Fetch", 0x10, pathvane_retro_fetch_check},
    {"Submit Server Upload", 0x20, pathvane_submit_upload_check},
    {"Crash Dump Upload", 0x8, pathvane_crash_dump_check},
    {"Updater update host", 0x400, pathvane_updater_host_check},
    {"Event Intake", 0x800, pathvane_event_intake_check},
    {"Url Reputation", 0x1000, pathvane_url_reputation_check},
};

struct SlotRow {
  uint32_t bit;
  uint32_t slot;
};

const SlotRow kSlotTable[] = {
    {0x1, 0},   {0x2, 1},   {0x4, 2},    {0x8, 3},    {0x10, 4},    {0x20, 5},    {0x40, 6},
    {0x80, 7},  {0x100, 8}, {0x200, 9},  {0x400, 10}, {0x800, 11},  {0x1000, 12},
};

}  // namespace

std::span<const CheckRow> default_check_table() { return kCheckTable; }

uint32_t slot_for_bit(uint32_t bit) {
  for (const auto& row : kSlotTable) {
    if (row.bit == bit) return row.slot;
  }
  return static_cast<uint32_t>(std::size(kSlotTable));
}
