#pragma once
// The components' unit: sessions, database connections and the prompt
// through which they ask the user.

#include "components/QELDatabase.h"
#include "components/QELDatabaseDataSet.h"
#include "components/QELPrompt.h"
#include "components/QELSession.h"
#include "components/QELSessionList.h"
#include "components/db/QELComponent.h"
#include "components/db/QELDatabaseError.h"
