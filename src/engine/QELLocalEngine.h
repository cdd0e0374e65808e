#pragma once
// The engine's local unit: sessions on the databases of this process and
// the process-wide list of opened databases.

#include "engine/QELBaseSession.h"
#include "engine/QELDatabaseList.h"
#include "engine/QELLocalSession.h"
