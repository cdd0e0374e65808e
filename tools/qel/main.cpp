// qel: the command-line tool for database files.

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "QelCommands.h"
#include "QelOptions.h"

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
    return CheckCommand(*options, std::cout);
  } catch (const std::exception& e) {
    std::cerr << "qel: " << e.what() << '\n';
    return 1;
  }
}
