#pragma once
// EDatabaseError: the components' own error, raised when a component's
// precondition does not hold. Its message is the component's name, ": " and
// the text when the component has a name, else the text alone. Engine
// failures are EQELException and never this.

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/QELFormat.h"

namespace qel {

class TQELComponent;

class EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raises EDatabaseError with `message`, prefixed with the name of
// `component` when there is one.
[[noreturn]] void DatabaseError(std::string_view message, const TQELComponent* component = nullptr);
// The same with `message` formatted with `args`; when they do not fit it,
// the bare message is used.
[[noreturn]] void DatabaseErrorFmt(std::string_view message, std::initializer_list<TQELFormatArg> args,
                                   const TQELComponent* component = nullptr);

}  // namespace qel
