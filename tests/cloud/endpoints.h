// The cloud services the test cloud plays, one group per file. A new group
// adds its function here and a call in add_all_endpoints.
#pragma once
#include "tests/cloud/service.h"

namespace testcloud {

// GET /health: 200 "OK". GET /url-reputation: 400, as the reputation service
// answers a request without a query.
void add_plain_endpoints(Service& service);

void add_all_endpoints(Service& service);

}  // namespace testcloud
