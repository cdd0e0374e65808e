// The shell on a terminal: GNU readline for line editing and history,
// through its callback interface so that Ctrl-C can end the wait for a key.

#include <readline/history.h>
#include <readline/readline.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "QelShell.h"

namespace qel::tool {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void OnInterrupt(int) { gInterrupted = 1; }

// What the line handler hands the loop: a line, or nullopt at Ctrl-D.
std::optional<std::string> gLine;
bool gLineReady = false;

void OnLine(char* line) {
  gLineReady = true;
  if (line == nullptr) {
    gLine.reset();
    return;
  }
  gLine = line;
  std::free(line);
}

std::string HistoryFile() {
  const char* home = std::getenv("HOME");
  return home != nullptr && *home != '\0' ? std::string(home) + "/.qel_history" : std::string();
}

// Reads one line with `prompt`; nullopt at Ctrl-D. An interrupt answers
// `interrupted` true and drops the line typed so far.
std::optional<std::string> ReadLine(const char* prompt, bool& interrupted) {
  interrupted = false;
  gLineReady = false;
  rl_callback_handler_install(prompt, OnLine);
  while (!gLineReady) {
    fd_set input;
    FD_ZERO(&input);
    FD_SET(STDIN_FILENO, &input);
    const int ready = select(STDIN_FILENO + 1, &input, nullptr, nullptr, nullptr);
    if (ready < 0 && errno == EINTR && gInterrupted) {
      gInterrupted = 0;
      interrupted = true;
      // The line stays on the screen as typed, marked as abandoned.
      rl_point = rl_end;
      rl_redisplay();
      std::fputs("^C\n", rl_outstream != nullptr ? rl_outstream : stdout);
      rl_free_line_state();
      rl_callback_sigcleanup();
      rl_replace_line("", 0);
      rl_callback_handler_remove();
      return std::nullopt;
    }
    if (ready > 0) rl_callback_read_char();
  }
  rl_callback_handler_remove();
  return gLine;
}

}  // namespace

int RunInteractiveShell(TShell& shell) {
  const std::string history = HistoryFile();
  using_history();
  if (!history.empty()) read_history(history.c_str());
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);

  std::cout << "qel sql: statements end with ';'. .help lists the dot commands, Ctrl-D leaves.\n";
  std::string pending;
  while (!shell.QuitRequested()) {
    bool interrupted = false;
    const std::optional<std::string> line = ReadLine(pending.empty() ? "qel> " : "...> ", interrupted);
    if (interrupted) {
      // The statement typed so far is abandoned; the shell goes on.
      pending.clear();
      continue;
    }
    if (!line) {
      std::cout << '\n';
      break;
    }
    const std::size_t first = line->find_first_not_of(" \t");
    if (pending.empty() && first != std::string::npos && (*line)[first] == '.') {
      add_history(line->c_str());
      shell.RunDotCommand(line->substr(first));
      continue;
    }
    if (pending.empty() && first == std::string::npos) continue;
    pending += *line;
    pending += '\n';
    const TSplitScript split = SplitStatements(pending);
    if (split.Statements.empty()) continue;
    // A statement enters the history whole, with its line breaks, so that
    // Up brings back all of it.
    std::string entry = pending;
    while (!entry.empty() && entry.back() == '\n') entry.pop_back();
    add_history(entry.c_str());
    for (const TShellStatement& statement : split.Statements) shell.RunStatement(statement);
    pending = split.RestIsBlank ? std::string() : split.Rest.Text;
  }
  if (!history.empty()) {
    write_history(history.c_str());
    history_truncate_file(history.c_str(), 1000);
  }
  return 0;
}

}  // namespace qel::tool
