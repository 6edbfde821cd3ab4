// Command-line pieces that several commands share: the DEVICE argument and
// checked numbers. Everything here is checked while the command line is
// parsed, so a bad value is a usage error (exit status 2) and nothing has
// reached a chip yet.
#ifndef VEXA_TOOL_CLI_OPTIONS_H
#define VEXA_TOOL_CLI_OPTIONS_H

#include <cstdint>
#include <string>

namespace CLI {
class App;
class Option;
class Validator;
}  // namespace CLI

namespace vexa_tool {

// A whole number (decimal or 0x-hexadecimal) from low to high; the message
// names the range, and CLI11 puts the option's name in front.
CLI::Validator in_range(long long low, long long high);

// Adds the required DEVICE argument, checked for one of its three forms.
CLI::Option *add_device_argument(CLI::App &command, std::string &device);

// "VID:PID" in hexadecimal, each from 0 to ffff; false when malformed.
bool parse_vid_pid(const std::string &text, uint32_t *vid, uint32_t *pid);

}  // namespace vexa_tool

#endif
