// Deciding the causes of one check from its record: each family of causes
// reads the facts of the transfer that explains the check and adds what
// they show as values; no words are chosen here.
#pragma once
#include <vector>

#include "diagnosis/cause.h"
#include "diagnosis/check_record.h"
#include "diagnosis/diagnosis_context.h"

using Causes = std::vector<Cause>;

// Every cause of the check, in the order they explain it; a clock far off
// is among them even for a pass (once a run).
Causes decide_causes(const CheckRecord& record, DiagnosisContext& context);

// The families, each true when it found the cause of the failure.
bool decide_proxy(const CheckRecord& record, const xfer_facts& t, const DiagnosisContext& context, Causes& out);
bool decide_connection(const xfer_facts& t, const DiagnosisContext& context, Causes& out);
bool decide_tls(const xfer_facts& t, const DiagnosisContext& context, Causes& out);
bool decide_answer(const CheckRecord& record, const xfer_facts& t, DiagnosisContext& context, Causes& out);
void decide_clock(const CheckRecord& record, DiagnosisContext& context, Causes& out);

// The settings a check reads, as the README lists them.
const char* check_keys(uint32_t bit);
