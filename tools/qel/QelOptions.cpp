#include "QelOptions.h"

#include <charconv>

#include "crypto/PageCipher.h"

namespace qel::tool {

const char* UsageText() {
  return R"(qel - inspect, create and repair database files

Usage:
  qel create FILE [--password P] [--cipher NAME] [--page-size N] [--extent N]
                  [--max-connections N]
  qel info   FILE [--password P]
  qel check  FILE [--password P]
  qel recover FILE [--password P]
  qel repair FILE [--password P]
  qel sql    FILE [--password P] [SQL ...]
  qel --help

Commands:
  create   Creates an empty database file, replacing FILE if it exists: its
           system directory, active-sessions file and empty table list.
  info     Prints the header fields, the cipher, the page size, the number of
           pages of each type, the free pages, the file size, and every table
           with the start pages of its metadata, header and lock files; then,
           per table, its fields, its indexes, its record count and its number
           of record pages and BLOB pages.
  check    Reads every page and verifies its frame, its CRC and decryption and
           its place in the free-space pages, then the system directory, the
           table list and every internal file's chain of pages. Then, per
           table, the record pages against the record pages index, every
           index against the records, and every BLOB value of every record
           against its pages and its blocks' CRCs. Prints each fault with its
           page or table and record and exits with status 1 when it finds
           any. info and check open the file read-only and refuse a file
           whose journal holds an unfinished change: see recover.
  recover  Opens the file for writing, which rolls back a change that a
           process left unfinished in the journal beside the file (FILE
           followed by "-journal") when it died, and says whether there was
           one.
  repair   Rebuilds the file: copies every table, with its records, BLOB
           values and indexes, into a fresh file in the current format beside
           it (FILE followed by ".tmp"), which then replaces FILE in one
           rename. A file that was not closed cleanly, is damaged or is of an
           old format comes back current; the cipher and password are kept.
           Reports the tables it saved and those it could not save whole;
           when any could not be saved, the original is kept as FILE.bak (or
           FILE.1.bak, ... when that exists). Shows a progress bar on a
           terminal. Exits with status 1 when a table could not be saved.
  sql      The SQL shell on FILE (created when it does not exist). Each SQL
           argument is a statement text or a dot command, run in order;
           without one the shell reads a script from standard input, or,
           on a terminal, statements typed with line editing and history
           (~/.qel_history): a statement runs when a ';' ends it, Ctrl-C
           abandons it, Ctrl-D leaves. Dot commands (.help lists them) set
           the output mode (table, list, csv, json, line), headers, the
           NULL text, the separator and timing, and show tables, schemas
           and indexes, read scripts, import CSV files, dump the database
           as statements and send output to a file. Outside a terminal the
           output is plain (list mode, "|" between values, no headers) and
           the first error ends the run with status 1. Errors print their
           native code and message, with the statement's line and a caret
           under the column the message names.

Options:
  --password P    The database password. With create, a non-empty password
                  makes an encrypted file; info, check and recover need it to
                  open one.
  --cipher NAME   The cipher of a new encrypted file: Rijndael_128 (default),
                  Rijndael_256, DES_Single, DES_Triple, Blowfish, Twofish_128,
                  Twofish_256 or Square.
  --page-size N   Bytes per page of a new file, 128 to 65535 (default 4096).
  --extent N      Pages per extent of a new file, 1 to 65535 (default 8).
  --max-connections N
                  Sessions a new file allows at once, 1 to 65535 (default 500).
  -h, --help      Prints this text.

Exit status: 0 on success, 1 when the engine reports an error or check finds
faults, 2 on a usage error. Engine errors are printed on standard error with
their native error code.
)";
}

namespace {

bool ParseUInt16(const std::string& text, std::uint16_t& value) {
  unsigned parsed = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (ec != std::errc() || end != text.data() + text.size() || parsed > 65535) return false;
  value = static_cast<std::uint16_t>(parsed);
  return true;
}

}  // namespace

std::optional<TOptions> ParseOptions(const std::vector<std::string>& args, std::string& error) {
  TOptions options;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help" || arg == "help") {
      options.Command = "help";
      return options;
    }
    if (arg.rfind("--", 0) != 0) {
      positional.push_back(arg);
      continue;
    }
    if (i + 1 >= args.size()) {
      error = "option " + arg + " needs a value";
      return std::nullopt;
    }
    const std::string& value = args[++i];
    if (arg == "--password") {
      options.Password = value;
    } else if (arg == "--cipher") {
      if (!CryptoAlgorithmFromName(value)) {
        error = "unknown cipher '" + value + "' (see qel --help for the names)";
        return std::nullopt;
      }
      options.Cipher = value;
    } else if (arg == "--page-size") {
      if (!ParseUInt16(value, options.PageSize)) {
        error = "--page-size must be a number from 128 to 65535, not '" + value + "'";
        return std::nullopt;
      }
    } else if (arg == "--max-connections") {
      std::uint16_t connections = 0;
      if (!ParseUInt16(value, connections) || connections == 0) {
        error = "--max-connections must be a number from 1 to 65535, not '" + value + "'";
        return std::nullopt;
      }
      options.MaxConnections = connections;
    } else if (arg == "--extent") {
      if (!ParseUInt16(value, options.Extent)) {
        error = "--extent must be a number from 1 to 65535, not '" + value + "'";
        return std::nullopt;
      }
    } else {
      error = "unknown option " + arg;
      return std::nullopt;
    }
  }
  if (positional.empty()) {
    error = "no command given";
    return std::nullopt;
  }
  options.Command = positional[0];
  if (options.Command != "create" && options.Command != "info" && options.Command != "check" &&
      options.Command != "recover" && options.Command != "repair" && options.Command != "sql") {
    error = "unknown command '" + options.Command + "'";
    return std::nullopt;
  }
  if (options.Command == "sql" && positional.size() >= 2) {
    options.Sql.assign(positional.begin() + 2, positional.end());
  } else if (positional.size() != 2) {
    error = "'" + options.Command + "' takes exactly one FILE";
    return std::nullopt;
  }
  options.File = positional[1];
  return options;
}

}  // namespace qel::tool
