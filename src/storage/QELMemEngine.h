#pragma once
// The memory storage kind: the in-memory database, its tables, their record
// manager and the page manager that keeps pages in memory.

#include "storage/QELMemoryDatabaseData.h"
#include "storage/QELMemoryPageManager.h"
#include "storage/QELMemoryRecordManager.h"
#include "storage/QELMemoryTableData.h"
