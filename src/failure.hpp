// The one exception type for a violated internal assumption. It carries a message and
// nothing else, so it may cross threads; it becomes the host's PanicException only where
// control returns to the interpreter.
#pragma once

#include <stdexcept>
#include <string>

namespace trelkin {

class InternalFailure : public std::runtime_error {
public:
    explicit InternalFailure(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace trelkin
