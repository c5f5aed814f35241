#include "halvo_compiler/read_error.h"

#include "read_messages.h"

namespace halvo_compiler {

std::string ReadError::text() const {
  return read_messages::positioned(message, line, column);
}

}  // namespace halvo_compiler
