#pragma once
// The engine's table metadata unit: the field, index and constraint
// definitions of a table with their stored form, and the component layer's
// structure lists with the conversions between them.

#include "engine/QELAdvDefs.h"
#include "engine/QELDefConversions.h"
#include "storage/QELConstraintDefs.h"
#include "storage/QELFieldDefs.h"
#include "storage/QELIndexDefs.h"
#include "storage/QELMetaObjectDefs.h"
