// TQELBaseSession: the session's named values.

#include "engine/QELBaseSession.h"

#include <algorithm>

#include "platform/QELCollation.h"

namespace qel {

void TQELBaseSession::SetNamedObject(std::unique_ptr<TQELSessionNamedObject> object) {
  TQELSessionNamedObject* wanted = object.get();
  if (wanted == nullptr) return;
  const auto listed = std::find_if(FNamedObjects.begin(), FNamedObjects.end(),
                                   [&](const auto& each) { return each.get() == wanted; });
  if (listed != FNamedObjects.end()) {
    // The list owns it already: a second owner must not free it.
    (void)object.release();
    return;
  }
  TQELSessionNamedObject* replaced =
      wanted->ObjectID == -1 ? FindNamedObject(wanted->Name) : FindNamedObjectByID(wanted->ObjectID);
  if (replaced != nullptr) {
    std::erase_if(FNamedObjects, [&](const auto& each) { return each.get() == replaced; });
  }
  FNamedObjects.push_back(std::move(object));
}

TQELSessionNamedObject* TQELBaseSession::FindNamedObject(std::string_view name) const {
  const std::string wanted = QELUpperCase(name);
  for (const auto& each : FNamedObjects) {
    if (QELUpperCase(each->Name) == wanted) return each.get();
  }
  return nullptr;
}

void TQELBaseSession::SetSequenceLastValue(std::int32_t objectID, std::string_view name,
                                           std::int64_t value) {
  auto entry = std::make_unique<TQELSessionNamedObjectSequenceValue>(objectID, std::string(name));
  entry->SequenceLastValue = value;
  SetNamedObject(std::move(entry));
}

bool TQELBaseSession::FindSequenceLastValue(std::int32_t objectID, std::int64_t& value) const {
  const auto* entry =
      dynamic_cast<const TQELSessionNamedObjectSequenceValue*>(FindNamedObjectByID(objectID));
  if (entry == nullptr) return false;
  value = entry->SequenceLastValue;
  return true;
}

TQELSessionNamedObject* TQELBaseSession::FindNamedObjectByID(std::int32_t objectID) const {
  for (const auto& each : FNamedObjects) {
    if (each->ObjectID == objectID) return each.get();
  }
  return nullptr;
}

}  // namespace qel
