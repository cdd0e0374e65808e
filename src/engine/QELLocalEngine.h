#pragma once
// The engine's local unit: sessions on the databases of this process and
// the process-wide list of opened databases.

#include "engine/QELBaseSession.h"
#include "engine/QELCursor.h"
#include "engine/QELDatabaseList.h"
#include "engine/QELLocalBLOBStream.h"
#include "engine/QELLocalCursor.h"
#include "engine/QELLocalSession.h"
