#include <CLI/CLI.hpp>
#include <cstdio>
#include <ostream>

#include "cli_options.h"
#include "commands.h"
#include "permissions.h"
#include "status_names.h"

namespace vexa_tool {

std::string hex16(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
  return text;
}

std::string modem_bits(unsigned long status) {
  std::string names;
  const std::pair<unsigned long, const char *> bits[] = {
      {KX_MODEM_CTS, "CTS"}, {KX_MODEM_DSR, "DSR"}, {KX_MODEM_RI, "RI"}, {KX_MODEM_DCD, "DCD"}};
  for (const auto &b : bits)
    if (status & b.first) names += names.empty() ? b.second : std::string(" ") + b.second;
  return names.empty() ? "none" : names;
}

namespace {

// CLI11 reports a mistyped command as a missing one ("A subcommand is
// required"); this finds the first word that names no command of its group,
// so that the message can name it. Options end the search: CLI11 judges them.
std::string unknown_command(const CLI::App &app, const std::vector<std::string> &args,
                            std::string *known) {
  const CLI::App *group = &app;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string &word = args[i];
    if (word == "--vid-pid") {
      ++i;
      continue;
    }
    if (word.empty() || word[0] == '-') return std::string();
    const auto subcommands = group->get_subcommands([](const CLI::App *) { return true; });
    if (subcommands.empty()) return std::string();
    const CLI::App *next = nullptr;
    known->clear();
    for (const CLI::App *sub : subcommands) {
      if (sub->get_name() == word) next = sub;
      *known += (known->empty() ? "" : ", ") + sub->get_name();
    }
    if (!next) return word;
    group = next;
  }
  return std::string();
}

}  // namespace

int run_vexa(const std::vector<std::string> &args, Context &ctx) {
  CLI::App app{"Lists, configures and talks to USB-to-serial bridge chips.", "vexa"};
  app.require_subcommand(1);
  // The tool's version, and the loaded library's when another one is in use.
  std::string version = VEXA_VERSION_STRING;
  if (version != vexa_version()) version += std::string(" (library ") + vexa_version() + ")";
  app.set_version_flag("--version", version);
  app.footer(
      "DEVICE is a channel index (see 'vexa list'), serial:TEXT or desc:TEXT; the text may end\n"
      "in ' A' or ' B' to pick a channel of a dual-channel chip.");
  // Chips programmed with other identifiers are found only once the library
  // accepts them; the option applies before any command touches the bus.
  std::string vid_pid;
  app.add_option("--vid-pid", vid_pid, "Also accept chips with this vendor:product pair (hexadecimal)")
      ->type_name("VID:PID")
      ->check(CLI::Validator(
          [](std::string &text) -> std::string {
            uint32_t vid = 0, pid = 0;
            if (!parse_vid_pid(text, &vid, &pid))
              return "'" + text + "' is not VID:PID in hexadecimal, e.g. 0403:6001";
            return std::string();
          },
          ""))
      ->each([](const std::string &text) {
        uint32_t vid = 0, pid = 0;
        parse_vid_pid(text, &vid, &pid);
        check(KX_SetVIDPID(vid, pid), "cannot accept " + text);
      });
  add_list_commands(app, ctx);
  add_eeprom_commands(app, ctx);
  add_user_area_commands(app, ctx);
  add_transfer_commands(app, ctx);
  add_term_command(app, ctx);
  add_set_command(app, ctx);
  add_watch_command(app, ctx);

  std::string known;
  const std::string unknown = unknown_command(app, args, &known);
  if (!unknown.empty()) {
    ctx.err << "vexa: unknown command '" << unknown << "' (commands: " << known
            << "); see 'vexa --help'" << std::endl;
    return 2;
  }

  // CLI11 wants the arguments without the program name, last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  if (!reversed.empty()) reversed.pop_back();
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError &e) {
    // --help and --version exit 0; every usage error exits 2.
    if (e.get_exit_code() == 0) return app.exit(e, ctx.out, ctx.err);
    ctx.err << "vexa: " << e.what() << "\nRun with --help for more information." << std::endl;
    return 2;
  } catch (const StatusError &e) {
    ctx.out.flush();
    ctx.err << "vexa: " << e.what() << ": " << describe_status(e.status()) << std::endl;
    // A chip that is seen but cannot be opened or read is most often a
    // device node the user may not write.
    if (e.status() == KX_ERR_NOT_OPENED || e.status() == KX_ERR_NOT_FOUND ||
        e.status() == KX_ERR_OTHER) {
      std::string hint = permission_hint();
      if (!hint.empty()) ctx.err << "vexa: " << hint << std::endl;
    }
    return 1;
  } catch (const std::exception &e) {
    ctx.out.flush();
    ctx.err << "vexa: " << e.what() << std::endl;
    return 1;
  }
  ctx.out.flush();
  return 0;
}

}  // namespace vexa_tool
