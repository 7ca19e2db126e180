// Which failures --retries tries again: the network's or the server's own
// trouble, never an answer that another try would only repeat.
#include "host/net/http_connection.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

namespace velmora::host {
namespace {

TEST(HttpConnectionTest, RetriesOnlyWhatAnotherTryMayOvercome) {
  struct Row {
    CURLcode code;
    long status;
    bool retry;
  };
  const Row rows[] = {
      {CURLE_OK, 200, false},
      {CURLE_OK, 206, false},
      {CURLE_OK, 302, false},
      {CURLE_OK, 404, false},
      {CURLE_OK, 408, false},  // another 4xx is the site's answer, whatever it says
      {CURLE_OK, 429, true},  // too many requests: the site's pace, worth waiting for
      {CURLE_OK, 499, false},
      {CURLE_OK, 500, true},
      {CURLE_OK, 502, true},
      {CURLE_OK, 503, true},
      {CURLE_OK, 599, true},
      {CURLE_COULDNT_RESOLVE_HOST, 0, true},
      {CURLE_COULDNT_CONNECT, 0, true},
      {CURLE_OPERATION_TIMEDOUT, 0, true},
      {CURLE_SEND_ERROR, 0, true},
      {CURLE_RECV_ERROR, 0, true},
      {CURLE_GOT_NOTHING, 0, true},
      {CURLE_PARTIAL_FILE, 200, true},  // cut off: a retry goes on from there
      {CURLE_SSL_CONNECT_ERROR, 0, true},
      {CURLE_RECV_ERROR, 404, true},        // the transfer failed, whatever came before
      {CURLE_FILESIZE_EXCEEDED, 0, false},  // a page over the cap stays over it
      {CURLE_FILESIZE_EXCEEDED, 503, false},
      {CURLE_TOO_MANY_REDIRECTS, 302, false},
      {CURLE_UNSUPPORTED_PROTOCOL, 0, false},
      {CURLE_URL_MALFORMAT, 0, false},
      {CURLE_PEER_FAILED_VERIFICATION, 0, false},  // a certificate does not mend itself
      {CURLE_WRITE_ERROR, 200, false},
      {CURLE_ABORTED_BY_CALLBACK, 0, false},
      {CURLE_OUT_OF_MEMORY, 0, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsWorthRetrying(row.code, row.status), row.retry)
        << curl_easy_strerror(row.code) << ", status " << row.status;
  }
}

}  // namespace
}  // namespace velmora::host
