#pragma once
// The storage core's type unit: field types and their table, the record
// layout of field definitions, field value exchange with record buffers, and
// the per-table field manager.

#include "storage/QELBaseFieldManager.h"
#include "storage/QELFieldDefs.h"
#include "storage/QELFieldTypes.h"
#include "storage/QELRecordData.h"
