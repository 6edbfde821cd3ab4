#include <CLI/CLI.hpp>
#include <cstdio>
#include <ostream>

#include "commands.h"
#include "permissions.h"
#include "status_names.h"

namespace vexa_tool {

std::string hex16(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
  return text;
}

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
  add_list_commands(app, ctx);
  add_eeprom_commands(app, ctx);
  add_user_area_commands(app, ctx);
  add_transfer_commands(app, ctx);
  add_term_command(app, ctx);

  // CLI11 wants the arguments without the program name, last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  if (!reversed.empty()) reversed.pop_back();
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError &e) {
    // --help and --version exit 0; every usage error exits 2.
    return app.exit(e, ctx.out, ctx.err) == 0 ? 0 : 2;
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
  } catch (const ToolError &e) {
    ctx.out.flush();
    ctx.err << "vexa: " << e.what() << std::endl;
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
