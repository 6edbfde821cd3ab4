#include "status_names.h"

#include <cctype>

namespace vexa_tool {

std::string status_name(KX_STATUS status) { return vexa_status_name(status); }

std::string status_meaning(KX_STATUS status) {
  // The library's sentence starts with a capital; here it follows a colon.
  std::string text = vexa_status_text(status);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

std::string describe_status(KX_STATUS status) {
  return status_name(status) + " (" + std::to_string(status) + "): " + status_meaning(status);
}

}  // namespace vexa_tool
