#pragma once
// Conversions between the component layer's structure lists (QELAdvDefs.h)
// and the engine's field, index and constraint definitions. They decide how
// a Required flag and a value range become constraints, and how the index
// option bits and ";"-lists become index columns.

#include <string>

#include "engine/QELAdvDefs.h"
#include "storage/QELConstraintDefs.h"
#include "storage/QELFieldDefs.h"
#include "storage/QELFieldTypes.h"
#include "storage/QELIndexDefs.h"

namespace qel {

// Component index -> engine index. An empty Name raises "Invalid index name
// '%s'" (20048), empty Fields "Cannot find index field '%s'" (20049). The
// four lists split at ";" and ",". One column per entry of Fields, which
// must name a field of `tableFields` (ignoring case; else "Cannot find index
// field '%s'", 20050); it is descending when named in DescFields or the
// descending bit is set, case-insensitive when named in CaseInsFields or
// that bit is set; its MaxIndexedSize is the number at its position in
// MaxIndexedSizes when one is there, else 20 (a text that is no number
// raises EConvertError). On failure `dest` is unchanged; on success its
// number, root page and session stay as they were.
void AdvIndexDefToIndexDef(const TQELAdvIndexDef& source, const TQELFieldDefs& tableFields,
                           TQELIndexDef& dest);
void AdvIndexDefToIndexDef(const TQELAdvIndexDef& source, const TQELAdvFieldDefs& tableFields,
                           TQELIndexDef& dest);
// Every entry, in order, as a new index of `dest` (cleared first).
void AdvIndexDefsToIndexDefs(const TQELAdvIndexDefs& source, const TQELFieldDefs& tableFields,
                             TQELIndexDefs& dest);

// Engine index -> component index: the column lists joined with ";"
// (DescFields and CaseInsFields only the columns that are so), every
// column's MaxIndexedSize, Options 2 for unique plus 1 for primary.
void IndexDefToAdvIndexDef(const TQELIndexDef& source, TQELAdvIndexDef& dest);
void IndexDefsToAdvIndexDefs(const TQELIndexDefs& source, TQELAdvIndexDefs& dest);

// Component fields (and the table's indexes) -> engine fields and
// constraints. Both engine lists are replaced. Each entry gives a field
// (name cut to 255, SetType, BLOB settings with a block size of 0 or less
// taken as 102400, autoincrement settings, default value). Unless
// `skipConstraints`: a Required entry adds a not-null constraint and an
// entry with a MinValue or MaxValue a check constraint, both targeting the
// field by name; a primary index adds a primary-key constraint, else a
// unique one a unique constraint, named "C_PK" or "C_Unique" followed by
// "$" and each column's field name, targeting the index. An unsupported
// data type raises "Unsupported data type '%s'" (30007) and leaves both
// lists unchanged.
void AdvFieldDefsToFieldDefs(const TQELAdvFieldDefs& source, const TQELIndexDefs& indexDefs,
                             TQELFieldDefs& fieldDefs, TQELConstraintDefs& constraintDefs,
                             bool skipConstraints = false);

// Engine fields and constraints -> component fields (`dest` replaced). A
// not-null constraint sets Required and a check constraint the range of the
// field whose ObjectID is its TargetID; none raises "Field #%d not found"
// (30032 not null, 30031 check). Unique and primary-key constraints are
// left to the indexes. A GUID field gets Size 0 and an unknown compression
// algorithm becomes 0.
void FieldDefsToAdvFieldDefs(const TQELFieldDefs& fieldDefs,
                             const TQELConstraintDefs& constraintDefs, TQELAdvFieldDefs& dest);

// A field as the component layer's data-access framework describes it.
struct TQELPlatformFieldDef {
  std::string Name;
  TFieldType DataType = ftUnknown;
  std::int32_t Size = 0;
  bool Required = false;
};

// Towards the framework the size is passed only for string and byte-string
// declared types, and a not-null field is required unless it is an
// autoincrement field of the framework.
TQELPlatformFieldDef FieldDefToPlatformFieldDef(const TQELFieldDef& field,
                                                const TQELConstraintDefs& constraintDefs);
TQELPlatformFieldDef AdvFieldDefToPlatformFieldDef(const TQELAdvFieldDef& field);
// From the framework: the type mapped back ("Unknown DataType: '%s'",
// 30289, for a type without a row), Size and Required taken as they are.
TQELAdvFieldDef PlatformFieldDefToAdvFieldDef(const TQELPlatformFieldDef& field);

}  // namespace qel
