#pragma once
// The qel tool's commands. Each prints its report on `out` and answers the
// process exit status; engine errors propagate as EQELException.

#include <iosfwd>

#include "QelOptions.h"

namespace qel::tool {

int CreateCommand(const TOptions& options, std::ostream& out);
int InfoCommand(const TOptions& options, std::ostream& out);
int CheckCommand(const TOptions& options, std::ostream& out);
int RecoverCommand(const TOptions& options, std::ostream& out);
// Rebuilds the file through a copy of every table (QelRepair.cpp).
int RepairCommand(const TOptions& options, std::ostream& out);

}  // namespace qel::tool
