// Test support: the JSON schemas host/README.md documents, and a checker for
// the part of JSON Schema they use (type, enum, minimum, required,
// properties, additionalProperties, items).
#ifndef VELMORA_TESTING_JSON_SCHEMA_H_
#define VELMORA_TESTING_JSON_SCHEMA_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>

namespace velmora::testing {

// The first ```json block after heading in readme.
inline nlohmann::json SchemaInReadme(const std::string& readme, const std::string& heading) {
  const size_t at = readme.find(heading);
  const size_t start = at == std::string::npos ? at : readme.find("```json\n", at);
  const size_t end = start == std::string::npos ? start : readme.find("```", start + 8);
  if (end == std::string::npos) {
    ADD_FAILURE() << "no JSON schema after " << heading << " in host/README.md";
    return {};
  }
  return nlohmann::json::parse(readme.substr(start + 8, end - start - 8));
}

// Empty when value follows schema; else where and how it does not.
inline std::string SchemaFault(const nlohmann::json& schema, const nlohmann::json& value,
                               const std::string& where) {
  if (schema.contains("type")) {
    const nlohmann::json types =
        schema["type"].is_array() ? schema["type"] : nlohmann::json::array({schema["type"]});
    bool matched = false;
    for (const auto& type : types) {
      const std::string t = type;
      matched |= (t == "string" && value.is_string()) || (t == "null" && value.is_null()) ||
                 (t == "integer" && value.is_number_integer()) ||
                 (t == "number" && value.is_number()) || (t == "object" && value.is_object()) ||
                 (t == "array" && value.is_array()) || (t == "boolean" && value.is_boolean());
    }
    if (!matched) return where + ": " + value.dump() + " is not " + types.dump();
  }
  if (schema.contains("enum") &&
      std::find(schema["enum"].begin(), schema["enum"].end(), value) == schema["enum"].end()) {
    return where + ": " + value.dump() + " is not one of " + schema["enum"].dump();
  }
  if (schema.contains("minimum") && value.is_number() && value < schema["minimum"]) {
    return where + ": " + value.dump() + " is below the minimum";
  }
  if (value.is_object()) {
    for (const auto& name : schema.value("required", nlohmann::json::array())) {
      if (!value.contains(name)) return where + ": " + name.dump() + " is missing";
    }
    for (const auto& [name, item] : value.items()) {
      if (schema.contains("properties") && schema["properties"].contains(name)) {
        const std::string fault = SchemaFault(schema["properties"][name], item, where + "." + name);
        if (!fault.empty()) return fault;
      } else if (schema.value("additionalProperties", true) == false) {
        return where + ": " + name + " is not in the schema";
      }
    }
  }
  if (value.is_array() && schema.contains("items")) {
    for (size_t i = 0; i < value.size(); ++i) {
      const std::string fault =
          SchemaFault(schema["items"], value[i], where + "[" + std::to_string(i) + "]");
      if (!fault.empty()) return fault;
    }
  }
  return {};
}

}  // namespace velmora::testing

#endif  // VELMORA_TESTING_JSON_SCHEMA_H_
