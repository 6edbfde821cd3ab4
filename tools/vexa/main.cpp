// The vexa command-line tool: a thin shell around run_vexa.
#include <unistd.h>

#include <iostream>

#include "commands.h"

int main(int argc, char **argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv, argv + argc);
  vexa_tool::Context ctx{std::cin, std::cout, std::cerr, STDIN_FILENO, STDOUT_FILENO,
                         isatty(STDERR_FILENO) == 1};
  return vexa_tool::run_vexa(args, ctx);
}
