#pragma once
// The B-tree unit: the page layout, key references, the tree itself, the
// index base class, the record index and the page indexes.

#include "storage/QELBTreeCore.h"
#include "storage/QELBTreeKeyRef.h"
#include "storage/QELBTreePage.h"
#include "storage/QELBTreePageIndex.h"
#include "storage/QELBTreeRecordIndex.h"
#include "storage/QELIndex.h"
#include "storage/QELKeyPath.h"
#include "storage/QELRecordRequest.h"
