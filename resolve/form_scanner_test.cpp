#include "resolve/form_scanner.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/scan_form.h"

namespace velmora {
namespace {

constexpr char kUnset[] = "<unset>";

struct ScanRow {
  const char* what;
  std::string page;
  std::string action;  // kUnset: formAction left as it was
  std::string params;
};

void ExpectScan(const ScanRow& row) {
  std::string action = kUnset;
  std::string params = "stale";
  testing::ScanForm(row.page, action, params);
  EXPECT_EQ(action, row.action) << row.what;
  EXPECT_EQ(params, row.params) << row.what;
}

TEST(ScanFormTest, FindsTheForm) {
  const ScanRow rows[] = {
      {"no form", "<INPUT NAME=\"a\" VALUE=\"1\">", kUnset, ""},
      {"lower-case markup", "<form action=\"/x\"><input name=\"a\" value=\"1\"></form>", kUnset,
       ""},
      {"no closing marker", "<FORM ACTION=\"/x\"><INPUT NAME=\"a\" VALUE=\"1\">", kUnset, ""},
      {"no action", "<FORM><INPUT NAME=\"a\" VALUE=\"1\"></FORM>", kUnset, ""},
      {"unterminated action", "<FORM ACTION=\"/x></FORM>", kUnset, ""},
      {"action after the closing marker", "<FORM></FORM ACTION=\"/x\">", kUnset, ""},
      {"action marker at the very end", "<FORM ACTION=\"</FORM>", kUnset, ""},
      {"empty action", "<FORM ACTION=\"\"><INPUT NAME=\"a\" VALUE=\"1\"></FORM>", "", "a=1\r\n"},
      {"form without inputs", "<FORM ACTION=\"/go\"></FORM>", "/go", ""},
      {"action borrowed from an element inside",
       "<FORM METHOD=\"post\"><BUTTON ACTION=\"/b\"></BUTTON><INPUT NAME=\"a\"></FORM>", "/b",
       "a=\r\n"},
      {"first form only",
       "<FORM ACTION=\"/1\"><INPUT NAME=\"a\" VALUE=\"1\"></FORM>"
       "<FORM ACTION=\"/2\"><INPUT NAME=\"b\" VALUE=\"2\"></FORM>",
       "/1", "a=1\r\n"},
      {"unclosed first form runs to the second's end",
       "<FORM ACTION=\"/1\"><INPUT NAME=\"a\" VALUE=\"1\">"
       "<FORM ACTION=\"/2\"><INPUT NAME=\"b\" VALUE=\"2\"></FORM><INPUT NAME=\"c\"></FORM>",
       "/1", "a=1\r\nb=2\r\n"},
      {"text before the form", "x<FORM ACTION=\"u\"><INPUT NAME=\"n\" VALUE=\"v\"></FORM>", "u",
       "n=v\r\n"},
  };
  for (const ScanRow& row : rows) ExpectScan(row);
}

TEST(ScanFormTest, ActionLengthLimit) {
  const std::string at255(255, 'a');
  const std::string at256(256, 'a');
  const std::string tail = "\"><INPUT NAME=\"k\" VALUE=\"v\"></FORM>";
  ExpectScan({"255 bytes", "<FORM ACTION=\"" + at255 + tail, at255, "k=v\r\n"});
  ExpectScan({"256 bytes", "<FORM ACTION=\"" + at256 + tail, kUnset, ""});
  ExpectScan({"1000 bytes", "<FORM ACTION=\"" + std::string(1000, 'b') + tail, kUnset, ""});
  // The form may end before 256 bytes have been looked at.
  ExpectScan({"short form", "<FORM ACTION=\"abc</FORM>\"", kUnset, ""});
}

TEST(ScanFormTest, NamesAndValuesAreBorrowedFromLaterTags) {
  const ScanRow rows[] = {
      {"name and value", "<FORM ACTION=\"a\"><INPUT NAME=\"id\" VALUE=\"42\"></FORM>", "a",
       "id=42\r\n"},
      {"attribute order does not matter",
       "<FORM ACTION=\"a\"><INPUT VALUE=\"42\" NAME=\"id\"></FORM>", "a", "id=42\r\n"},
      {"nameless tag after a named one",
       "<FORM ACTION=\"a\"><INPUT NAME=\"id\" VALUE=\"42\"><INPUT VALUE=\"Go\"></FORM>", "a",
       "id=42\r\n"},
      {"nameless tag borrows the next name",
       "<FORM ACTION=\"a\"><INPUT VALUE=\"Go\"><INPUT NAME=\"id\" VALUE=\"42\"></FORM>", "a",
       "id=Go\r\nid=42\r\n"},
      {"valueless tag borrows the next value from any element",
       "<FORM ACTION=\"a\"><INPUT NAME=\"x\"><OPTION VALUE=\"o\"><INPUT NAME=\"y\" "
       "VALUE=\"v\"></FORM>",
       "a", "x=o\r\ny=v\r\n"},
      {"no value anywhere later", "<FORM ACTION=\"a\"><INPUT NAME=\"x\"></FORM>", "a", "x=\r\n"},
      {"name without closing quote",
       "<FORM ACTION=\"a\"><INPUT VALUE=\"v\"><INPUT NAME=\"x></FORM>", "a", ""},
      {"empty name is skipped", "<FORM ACTION=\"a\"><INPUT NAME=\"\" VALUE=\"v\"></FORM>", "a", ""},
      {"FILENAME counts as NAME", "<FORM ACTION=\"a\"><INPUT FILENAME=\"f\" VALUE=\"1\"></FORM>",
       "a", "f=1\r\n"},
      {"bytes are taken as they are",
       "<FORM ACTION=\"a&amp;b\"><INPUT NAME=\" n&amp; \" VALUE=\"\xE9 \"></FORM>", "a&amp;b",
       " n&amp; =\xE9 \r\n"},
      {"line breaks inside a value are kept",
       "<FORM ACTION=\"a\"><INPUT NAME=\"t\" VALUE=\"l1\r\nl2\"></FORM>", "a", "t=l1\r\nl2\r\n"},
      {"markers before the input are not seen",
       "<FORM ACTION=\"a\" NAME=\"f\" VALUE=\"z\"><INPUT><INPUT NAME=\"k\"></FORM>", "a",
       "k=\r\nk=\r\n"},
      {"adjacent input markers", "<FORM ACTION=\"a\"><INPUT<INPUT NAME=\"k\"></FORM>", "a",
       "k=\r\nk=\r\n"},
      {"input marker at the very end", "<FORM ACTION=\"a\"><INPUT</FORM>", "a", ""},
  };
  for (const ScanRow& row : rows) ExpectScan(row);
}

TEST(ScanFormTest, ManyInputsKeepTheirOrder) {
  std::string page = "<FORM ACTION=\"/post\">";
  std::string expected;
  for (int i = 0; i < 500; ++i) {
    const std::string n = std::to_string(i);
    page += (i % 3 == 0) ? "<INPUT>" : "<INPUT NAME=\"n" + n + "\" VALUE=\"v" + n + "\">";
  }
  page += "</FORM>";
  for (int i = 0; i < 500; ++i) {
    // A nameless tag takes the name and value of the next tag.
    const std::string n = std::to_string(i % 3 == 0 ? i + 1 : i);
    if (i + 1 < 500 || i % 3 != 0) expected += "n" + n + "=v" + n + "\r\n";
  }
  ExpectScan({"500 inputs", page, "/post", expected});
}

}  // namespace
}  // namespace velmora
