#include "halvo_compiler/policy_schema.h"

#include "read_messages.h"

namespace halvo_compiler::schema {

namespace msg = read_messages;

std::string RecordShape::expectation() const {
  return enumeration.empty() ? msg::expected_struct(name)
                             : msg::expected_struct_variant(enumeration, name);
}

std::string RecordShape::length_expectation() const {
  return enumeration.empty() ? msg::expected_struct_with(name, fields.size())
                             : msg::expected_struct_variant_with(
                                   enumeration, name, fields.size());
}

std::string RecordShape::display_name() const {
  if (enumeration.empty()) return std::string(name);
  std::string out(enumeration);
  out.append("::").append(name);
  return out;
}

}  // namespace halvo_compiler::schema
