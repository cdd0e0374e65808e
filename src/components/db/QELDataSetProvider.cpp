// The provider hooks of the dataset base: what every dataset can answer
// whatever it reads.

#include "components/db/QELDataSet.h"
#include "components/db/QELDatabaseError.h"

namespace qel {

std::int32_t TDataSet::PSExecuteStatement(const std::string& /*sql*/, const TParams* /*params*/) {
  DatabaseError("This dataset does not run SQL statements", this);
}

void TDataSet::PSExecute() { DatabaseError("This dataset does not run SQL statements", this); }

TIndexDefs TDataSet::PSGetIndexDefs(std::uint8_t types) {
  TIndexDefs selected;
  for (std::int32_t i = 0; i < IndexDefs().Count(); ++i) {
    const TIndexDef& def = IndexDefs()[i];
    if (types == 0 || (def.Options & types) != 0) selected.Add(def.Name, def.Fields, def.Options) = def;
  }
  return selected;
}

bool TDataSet::PSUpdateRecord(TUpdateKind kind, TDataSet& delta) {
  if (!OnUpdateRecord) return false;
  TUpdateAction action = uaFail;
  OnUpdateRecord(*this, delta, kind, action);
  return action == uaApplied;
}

}  // namespace qel
