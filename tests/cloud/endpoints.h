// The cloud services the test cloud plays, one group per file. A new group
// adds its function here and a call in add_all_endpoints.
#pragma once
#include "tests/cloud/service.h"

namespace testcloud {

// GET /health: 200 "OK". GET /url-reputation: 400, as the reputation service
// answers a request without a query.
void add_plain_endpoints(Service& service);

// Registration, policy download and the updater seed:
//   POST /agent/v1/register, POST /register: 200, the request body echoed
//     byte for byte as application/x-www-form-urlencoded;
//   GET /policy/...-N: 200, <policy serial="N"/> with N as received; 404
//     "no policy number" when the last segment does not end in -digits;
//   GET /updater/...: 200, "seed:" and the request path.
// Other methods get 405.
void add_cloud_service_endpoints(Service& service);

void add_all_endpoints(Service& service);

}  // namespace testcloud
