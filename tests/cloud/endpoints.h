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

// The upload services, which take a multipart/form-data POST with a "file"
// part and Basic credentials (any user and password):
//   POST /upload/4/<identifier>: 200; for the retro server's identifier
//     (e3b0c442...b855) the file part's content echoed byte for byte as
//     application/octet-stream, for any other an empty body; 404 with no
//     identifier or one holding '/';
//   POST /crashdump: 200, an empty body.
// Without Basic credentials 401 with WWW-Authenticate: Basic; without a
// multipart body holding a file part 400; other methods 405.
void add_upload_endpoints(Service& service);

void add_all_endpoints(Service& service);

}  // namespace testcloud
