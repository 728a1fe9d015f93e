#include "diagnosis/check_record.h"

const char* verdict_word(int rc) { return rc == 0 ? "pass" : rc == 6 ? "warning" : "error"; }
