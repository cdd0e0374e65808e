#pragma once
// Command-line parsing for the qel tool.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qel::tool {

struct TOptions {
  std::string Command;  // create, info, check, recover, repair, sql, help
  std::string File;
  std::string Password;
  std::string Cipher = "Rijndael_128";
  std::uint16_t PageSize = 4096;
  std::uint16_t Extent = 8;
  std::int32_t MaxConnections = 500;
  // sql: the statements and dot commands given after FILE, run in order.
  std::vector<std::string> Sql;
};

// Parses the arguments after the program name. On a usage error answers
// nullopt and puts the reason in `error`.
std::optional<TOptions> ParseOptions(const std::vector<std::string>& args, std::string& error);

// The text of `qel --help`.
const char* UsageText();

}  // namespace qel::tool
