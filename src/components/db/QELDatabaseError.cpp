#include "components/db/QELDatabaseError.h"

#include <span>

#include "components/db/QELComponent.h"

namespace qel {

void DatabaseError(std::string_view message, const TQELComponent* component) {
  if (component != nullptr && !component->Name().empty()) {
    throw EDatabaseError(component->Name() + ": " + std::string(message));
  }
  throw EDatabaseError(std::string(message));
}

void DatabaseErrorFmt(std::string_view message, std::initializer_list<TQELFormatArg> args,
                      const TQELComponent* component) {
  std::string text;
  if (!QELTryFormat(message, std::span<const TQELFormatArg>(args.begin(), args.size()), text)) {
    text = std::string(message);
  }
  DatabaseError(text, component);
}

}  // namespace qel
