// What reading a document reports besides the policy: why it could not be
// read, the keys passed over, and the nesting depth a reader refuses to
// pass. The token reader (json_cursor.h) and the record cursor
// (record_reader.h) report them and read_policy (policy_reader.h) returns
// them; they live in a header of their own so that the readers below need
// nothing of the ones above.
//
//   ReadError e{"trailing comma", 3, 14, "rules[0]"};
//   e.text();   // "trailing comma at line 3 column 14"
#pragma once

#include <cstdint>
#include <string>

namespace halvo_compiler {

// Opening the 128th nested array or object while 127 are open fails.
inline constexpr int kMaxNesting = 127;

struct ReadError {
  std::string message;   // e.g. "trailing comma"
  std::uint64_t line;    // from 1
  std::uint64_t column;  // from 1; 0 before any byte of the line was read
  // The path of the value being read (policy_path.h), e.g.
  // "rules[3].condition"; "" for the document itself. A missing field is
  // reported at its record, a duplicate or skipped key at the key's value.
  std::string path;

  // Returns "{message} at line {line} column {column}".
  std::string text() const;
};

namespace schema {
struct RecordShape;
}

// A key that named no field of its record and was passed over with its
// value.
struct SkippedKey {
  std::string path;                   // e.g. "rules[0].condtion"
  std::string key;                    // e.g. "condtion"
  const schema::RecordShape* record;  // the record it was found in
};

}  // namespace halvo_compiler
