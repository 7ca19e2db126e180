#include "host/net/form_encoding.h"

#include <gtest/gtest.h>

namespace velmora::host {
namespace {

TEST(FormEncodingTest, EncodesParamText) {
  struct Row {
    const char* what;
    std::string params;
    std::string body;
  };
  const Row rows[] = {
      {"nothing", "", ""},
      {"one field", "id=42\r\n", "id=42"},
      {"order kept", "op=download2\r\nid=7Qx2\r\nrand=\r\n", "op=download2&id=7Qx2&rand="},
      {"split at the first =", "a==b=c\r\n", "a=%3Db%3Dc"},
      {"& = space + in values", "q=a b&c=d+e\r\n", "q=a%20b%26c%3Dd%2Be"},
      {"name encoded too", "my name[]=x\r\n", "my%20name%5B%5D=x"},
      {"unreserved kept", "k=AZaz09-._~\r\n", "k=AZaz09-._~"},
      {"bytes, not characters", "n=\xEE\xF2\xEF\r\n", "n=%EE%F2%EF"},
      {"utf-8 as bytes", "n=\xC3\xA4\r\n", "n=%C3%A4"},
      {"no =: empty value", "flag\r\n", "flag="},
      {"empty name", "=v\r\n", "=v"},
      {"empty lines carry nothing", "\r\na=1\r\n\r\nb=2\r\n", "a=1&b=2"},
      {"bare LF and CR end lines", "a=1\nb=2\rc=3", "a=1&b=2&c=3"},
      {"percent and slash", "u=100%/x?y#z\r\n", "u=100%25%2Fx%3Fy%23z"},
  };
  for (const Row& row : rows) EXPECT_EQ(EncodeFormBody(row.params), row.body) << row.what;
}

}  // namespace
}  // namespace velmora::host
