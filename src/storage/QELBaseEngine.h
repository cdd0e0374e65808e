#pragma once
// The storage-neutral layer between cursors and the storage kinds: bit
// sets and record bitmaps, the record manager base, the table data seam
// and the database data base.

#include "storage/QELBaseRecordManager.h"
#include "storage/QELBitsArray.h"
#include "storage/QELDatabaseData.h"
#include "storage/QELRecordBitmap.h"
#include "storage/QELRecordRequest.h"
#include "storage/QELTableDataBase.h"
