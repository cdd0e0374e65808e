// qel: the command-line tool for database files.

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "QelCommands.h"
#include "QelOptions.h"
#include "QelShell.h"

int main(int argc, char** argv) {
  using namespace qel::tool;
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const std::optional<TOptions> options = ParseOptions(args, error);
  if (!options) {
    std::cerr << "qel: " << error << "\nTry 'qel --help'.\n";
    return 2;
  }
  try {
    if (options->Command == "help") {
      std::cout << UsageText();
      return 0;
    }
    if (options->Command == "create") return CreateCommand(*options, std::cout);
    if (options->Command == "info") return InfoCommand(*options, std::cout);
    if (options->Command == "recover") return RecoverCommand(*options, std::cout);
    if (options->Command == "repair") return RepairCommand(*options, std::cout);
    if (options->Command == "sql") {
      if (!options->Sql.empty() || !isatty(STDIN_FILENO)) {
        return SqlCommand(*options, std::cin, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
      }
      TShell shell(options->File, options->Password, std::cout, std::cerr);
      shell.Settings().Mode = TOutputMode::Table;
      shell.ShowProgress = isatty(STDERR_FILENO) != 0;
      return RunInteractiveShell(shell);
    }
    return CheckCommand(*options, std::cout);
  } catch (const std::exception& e) {
    std::cerr << "qel: " << e.what() << '\n';
    return 1;
  }
}
