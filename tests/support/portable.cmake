# The helpers that need nothing of POSIX, so that the Windows build's tests
# can link them as well.
set(test_support_portable_sources
  ${CMAKE_CURRENT_LIST_DIR}/check_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fake_curl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_certs.cpp)
