#pragma once
// Moving field values in and out of memory record buffers: the raw exchange
// with the cursor and component layer (GetFieldData/SetFieldData) and the
// exchange with variants used by expressions and defaults. None of these
// allocate for a fixed-size field.

#include <cstdint>

#include "storage/QELFieldDefs.h"
#include "values/QELVariant.h"

namespace qel {

// Copies field `fieldNo` of `record` to `dest` in the component layer's
// form: a SHORTINT widened to 16 bits, a CARDINAL to 64 bits, SINGLE and
// EXTENDED as doubles, every other type as its slot bytes. Answers false
// for a NULL field (nothing copied). A null `dest` only asks whether the
// field holds a value; a BLOB field copies nothing and answers true.
// Raises "Invalid field number ..." (10000), "Nil pointer occured" (10003)
// for a null record, and "Error getting field data ..." (10002) when the
// slot lies outside the laid-out record.
bool GetFieldData(std::int32_t fieldNo, const TQELFieldDefs& fieldDefs, void* dest,
                  const std::uint8_t* record);

// The reverse: a null `source`, or an empty string (first character zero)
// for a string or GUID field, makes the field NULL and changes nothing else.
// Otherwise the value is stored from the component layer's form (16-bit
// SHORTINT, 64-bit CARDINAL, double SINGLE and EXTENDED) and the null flag
// cleared. String slots always keep a terminator in their last character.
// Raises "Invalid field number ..." (10004), 10003 and 10002 as above.
void SetFieldData(std::int32_t fieldNo, const TQELFieldDefs& fieldDefs, const void* source,
                  std::uint8_t* record);

// Reads a field into `value` as its storage type (a NULL field gives a NULL
// of that type). cmBorrow makes `value` point into the record instead of
// copying. A string's value ends at its terminator. Answers false, leaving
// `value` alone, for a BLOB field, whose value is not in the record.
bool GetFieldValue(std::int32_t fieldNo, const TQELFieldDefs& fieldDefs,
                   const std::uint8_t* record, TQELVariant& value,
                   TQELCopyMode copyMode = cmCopy);

// Writes `value` converted to the field's storage type into the record;
// a NULL or an empty string makes the field NULL. Strings are cut to the
// slot and the rest of the slot zeroed. A failed conversion raises and
// leaves the record unchanged. Answers false, writing nothing, for a BLOB
// field.
bool SetFieldValue(std::int32_t fieldNo, const TQELFieldDefs& fieldDefs, const TQELVariant& value,
                   std::uint8_t* record);

}  // namespace qel
