#include "testing/scan_form.h"

#include "resolve/form_scanner.h"

namespace velmora::testing {
namespace {

// Writes each field as its line "name=value" CR LF.
class LineWriter final : public FieldSink {
 public:
  explicit LineWriter(std::string& params) : params_(params) {}
  void Add(std::string_view name, std::string_view value) override {
    params_.append(name.data(), name.size()).append(1, '=');
    params_.append(value.data(), value.size()).append("\r\n", 2);
  }

 private:
  std::string& params_;
};

}  // namespace

void ScanForm(std::string_view page, std::string& formAction, std::string& params) {
  params.clear();
  std::string_view form;
  if (!FindForm(page, form, formAction)) return;
  LineWriter writer(params);
  ScanFields(form, writer);
}

}  // namespace velmora::testing
