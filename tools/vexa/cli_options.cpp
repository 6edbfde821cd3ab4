#include "cli_options.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>

#include "channel.h"
#include "context.h"

namespace vexa_tool {

CLI::Validator in_range(long long low, long long high) {
  const std::string range = std::to_string(low) + " to " + std::to_string(high);
  return CLI::Validator(
      [low, high, range](std::string &text) -> std::string {
        char *end = nullptr;
        errno = 0;
        const long long value = std::strtoll(text.c_str(), &end, 0);
        if (text.empty() || *end != '\0' || errno != 0)
          return "'" + text + "' is not a whole number (expected " + range + ")";
        if (value < low || value > high) return text + " is out of range (expected " + range + ")";
        return std::string();
      },
      "[" + std::to_string(low) + ".." + std::to_string(high) + "]");
}

CLI::Option *add_device_argument(CLI::App &command, std::string &device) {
  return command.add_option("DEVICE", device, "Channel index, serial:TEXT or desc:TEXT")
      ->required()
      ->check(CLI::Validator(
          [](std::string &text) -> std::string {
            try {
              parse_channel_spec(text);
            } catch (const ToolError &e) {
              return e.what();
            }
            return std::string();
          },
          ""));
}

bool parse_vid_pid(const std::string &text, uint32_t *vid, uint32_t *pid) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  auto hex = [](const std::string &part, uint32_t *out) {
    if (part.empty() || part.size() > 6 || part[0] == '-' || part[0] == '+') return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(part.c_str(), &end, 16);
    if (*end != '\0' || errno != 0 || value > 0xFFFF) return false;
    *out = static_cast<uint32_t>(value);
    return true;
  };
  return hex(text.substr(0, colon), vid) && hex(text.substr(colon + 1), pid);
}

}  // namespace vexa_tool
