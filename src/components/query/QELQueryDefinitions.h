#pragma once
// The column and index elements of CREATE TABLE and ALTER TABLE as the
// table component's definition lists take them.

#include <cstdint>
#include <exception>
#include <string>

#include "engine/QELAdvDefs.h"
#include "platform/QELException.h"
#include "sql/QELDDLTable.h"

namespace qel {

// The component-form entry of a column as written (FieldID -1: new).
TQELAdvFieldDef QELAdvFieldDefOf(const TSQLFieldDef& field);
// Appends the index as written.
void QELAddAdvIndexDef(TQELAdvIndexDefs& defs, const TQELSQLIndex& index);
// The index's field list joined with ";", and its descending and
// case-insensitive fields likewise.
std::string QELIndexFields(const TQELSQLIndex& index);
std::string QELIndexDescFields(const TQELSQLIndex& index);
std::string QELIndexCaseInsFields(const TQELSQLIndex& index);
// Primary and unique bits of the index.
std::uint8_t QELIndexOptions(const TQELSQLIndex& index);

// Runs `body`; a failure is raised again as `code` with `message` naming
// the failure's text.
template <class TBody>
void QELWrapErrors(std::int32_t code, const char* message, TBody&& body) {
  try {
    body();
  } catch (const std::exception& error) {
    throw EQELException(code, message, {std::string(error.what())});
  }
}

}  // namespace qel
