// The event-intake check's document and form body.
#pragma once
#include "pathvane/pathvane.h"
#include "velta_client/src/json_writer.h"

// The run so far as a JSON document into *out (the writer's buffer, the caller frees it): 0 or -1.
int _json_result_data(pathvane_handle* handle, char** out, json_buf* w);
// The URL-encoded event form into a new heap text *out: 0, 28 (escaping failed) or 17 (no memory).
int _velta_event_completed_post_create(CURL* curl, const char* affiliate_guid, const char* business_guid,
                                       const char* agent_guid, const char* json, char** out);
