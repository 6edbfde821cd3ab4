// vexa ua size|read|write: the free user area of the EEPROM.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <istream>
#include <iterator>
#include <memory>
#include <ostream>
#include <vector>

#include "channel.h"
#include "cli_options.h"
#include "commands.h"

namespace vexa_tool {
namespace {

uint32_t user_area_size(const Channel &channel) {
  uint32_t size = 0;
  check(KX_EE_UASize(channel.handle(), &size), "cannot read the user area size of " + channel.name());
  return size;
}

std::vector<uint8_t> read_all(std::istream &in) {
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_area(Context &ctx, const std::string &device, const std::string &path) {
  std::vector<uint8_t> data;
  if (path.empty() || path == "-") {
    data = read_all(ctx.in);
  } else {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw ToolError("cannot open " + path + ": " + std::strerror(errno));
    data = read_all(file);
  }
  Channel channel(device);
  const uint32_t size = user_area_size(channel);
  // A null pointer is refused even for zero bytes; give the library a byte.
  static const uint8_t nothing = 0;
  check(KX_EE_UAWrite(channel.handle(), data.empty() ? &nothing : data.data(),
                      static_cast<uint32_t>(data.size())),
        "cannot write " + std::to_string(data.size()) + " bytes to the " + std::to_string(size) +
            "-byte user area of " + device);
  ctx.out.flush();
  ctx.err << "wrote " << data.size() << " of " << size << " bytes to the user area of " << device
          << '\n';
}

}  // namespace

void add_user_area_commands(CLI::App &app, Context &ctx) {
  CLI::App *ua = app.add_subcommand("ua", "Size, read or write the EEPROM user area");
  ua->require_subcommand(1);

  auto size_device = std::make_shared<std::string>();
  CLI::App *size = ua->add_subcommand("size", "Print the user area size in bytes");
  add_device_argument(*size, *size_device);
  size->callback([&ctx, size_device]() {
    Channel channel(*size_device);
    ctx.out << user_area_size(channel) << '\n';
  });

  auto read_device = std::make_shared<std::string>();
  auto read_file = std::make_shared<std::string>();
  CLI::App *read = ua->add_subcommand("read", "Copy the whole user area to stdout (raw bytes) or a file");
  add_device_argument(*read, *read_device);
  read->add_option("-o,--output", *read_file, "Write to this file instead of stdout");
  read->callback([&ctx, read_device, read_file]() {
    Channel channel(*read_device);
    const uint32_t size = user_area_size(channel);
    std::vector<uint8_t> buffer(size);
    uint32_t got = 0;
    if (size > 0)
      check(KX_EE_UARead(channel.handle(), buffer.data(), size, &got),
            "cannot read the user area of " + *read_device);
    const char *bytes = reinterpret_cast<const char *>(buffer.data());
    if (read_file->empty() || *read_file == "-") {
      ctx.out.write(bytes, got);
    } else {
      std::ofstream file(*read_file, std::ios::binary | std::ios::trunc);
      if (!file) throw ToolError("cannot create " + *read_file + ": " + std::strerror(errno));
      file.write(bytes, got);
      file.close();
      if (!file) throw ToolError("cannot write " + *read_file + ": " + std::strerror(errno));
    }
  });

  auto write_device = std::make_shared<std::string>();
  auto write_file = std::make_shared<std::string>();
  CLI::App *write = ua->add_subcommand("write", "Store a file's bytes (or stdin's) at the start of the user area");
  add_device_argument(*write, *write_device);
  write->add_option("FILE", *write_file, "Input file; '-' or none for stdin");
  write->callback([&ctx, write_device, write_file]() { write_area(ctx, *write_device, *write_file); });
}

}  // namespace vexa_tool
