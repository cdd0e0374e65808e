#pragma once
// The storage-neutral layer between cursors and the storage kinds: bit
// sets and record bitmaps, the record manager base, table data with its
// index and constraint managers, searches and their access paths, and the
// database data base.

#include "storage/QELAccessPath.h"
#include "storage/QELBaseRecordManager.h"
#include "storage/QELBitsArray.h"
#include "storage/QELConstraintManager.h"
#include "storage/QELDatabaseData.h"
#include "storage/QELIndexManager.h"
#include "storage/QELRecordBitmap.h"
#include "storage/QELRecordRequest.h"
#include "storage/QELRecordSearch.h"
#include "storage/QELScanSearchCondition.h"
#include "storage/QELTableCheck.h"
#include "storage/QELTableCursor.h"
#include "storage/QELTableData.h"
#include "storage/QELTableDataBase.h"
