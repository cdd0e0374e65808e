#pragma once
// The temporary storage kind: the temporary database, its tables, their
// record manager and the page manager that keeps the first pages in memory
// and the rest in a file.

#include "storage/QELTemporaryDatabaseData.h"
#include "storage/QELTemporaryPageManager.h"
#include "storage/QELTemporaryRecordManager.h"
#include "storage/QELTemporaryTableData.h"
