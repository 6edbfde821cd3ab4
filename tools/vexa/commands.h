// Each command group adds its subcommands to the top-level parser. The
// callbacks throw StatusError or ToolError; run_vexa turns them into one line.
#ifndef VEXA_TOOL_COMMANDS_H
#define VEXA_TOOL_COMMANDS_H

#include <string>
#include <vector>

#include "context.h"

namespace CLI {
class App;
}

namespace vexa_tool {

void add_list_commands(CLI::App &app, Context &ctx);      // list, info
void add_eeprom_commands(CLI::App &app, Context &ctx);    // eeprom read|program|erase|dump
void add_user_area_commands(CLI::App &app, Context &ctx); // ua size|read|write
void add_transfer_commands(CLI::App &app, Context &ctx);  // send, recv, loopback
void add_term_command(CLI::App &app, Context &ctx);       // term
void add_set_command(CLI::App &app, Context &ctx);        // set
void add_watch_command(CLI::App &app, Context &ctx);      // watch

// Parses the arguments (args[0] is the program name) and runs the command.
// Returns the exit status: 0 success, 1 a failure, 2 a usage error.
int run_vexa(const std::vector<std::string> &args, Context &ctx);

// "0403"-style text of a 16-bit value.
std::string hex16(unsigned value);
// "CTS DCD" for the modem-status bits that are set, "none" for none.
std::string modem_bits(unsigned long status);

}  // namespace vexa_tool

#endif
