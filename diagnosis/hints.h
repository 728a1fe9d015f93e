// Hints: the causes of a check's verdict, decided from the runner's record
// of it, and their words. A cause an earlier check of the run already told
// is said again in one line that names that check; the record keeps every
// cause whole.
#pragma once
#include "diagnosis/check_record.h"
#include "diagnosis/diagnosis_context.h"

// Fills record.causes and record.hints (lines without the "[hint] "
// prefix); none for a check that passed, unless it saw a server's clock
// far from ours.
void diagnose_check(CheckRecord& record, DiagnosisContext& context);
