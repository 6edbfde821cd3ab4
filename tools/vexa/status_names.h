// Names and meanings of the library's status codes, for error lines.
#ifndef VEXA_TOOL_STATUS_NAMES_H
#define VEXA_TOOL_STATUS_NAMES_H

#include <string>

#include "vexa.h"

namespace vexa_tool {

// "KX_ERR_IO" for 4; "KX_STATUS_<n>" for a code the library does not define.
std::string status_name(KX_STATUS status);
// One short phrase, e.g. "a control transfer failed, or a read timed out".
std::string status_meaning(KX_STATUS status);
// "KX_ERR_IO (4): a control transfer failed, or a read timed out".
std::string describe_status(KX_STATUS status);

}  // namespace vexa_tool

#endif
