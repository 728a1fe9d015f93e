#include "tests/cloud/endpoints.h"

namespace testcloud {

void add_all_endpoints(Service& service) {
  add_plain_endpoints(service);
  add_cloud_service_endpoints(service);
  add_upload_endpoints(service);
}

}  // namespace testcloud
