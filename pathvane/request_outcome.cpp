#include "pathvane/request.h"

uint32_t outcome_from_transfer(int32_t curl_code, int32_t http_status) {
  switch (curl_code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return OUTCOME_UNRESOLVED_HOST;
    case CURLE_COULDNT_CONNECT:
      return OUTCOME_COULDNT_CONNECT;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
      return OUTCOME_SSL_ERROR;
    case CURLE_PEER_FAILED_VERIFICATION:
      return OUTCOME_UNKNOWN_CA;
    case CURLE_TOO_MANY_REDIRECTS:
      return OUTCOME_SERVER_ERROR;
    default:
      break;
  }
  if (http_status < 400) return OUTCOME_FAILED;
  if (http_status < 500) return OUTCOME_CONNECTION_REFUSED;
  return OUTCOME_SERVER_ERROR;
}
