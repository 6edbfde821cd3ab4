// The library's names and texts of its status codes, shaped for error lines.
#ifndef VEXA_TOOL_STATUS_NAMES_H
#define VEXA_TOOL_STATUS_NAMES_H

#include <string>

#include "vexa.h"

namespace vexa_tool {

// "KX_ERR_IO" for 4; "KX_ERR_UNKNOWN" for a code the library does not define.
std::string status_name(KX_STATUS status);
// The library's text in lower case, e.g. "a control transfer failed or a read timed out".
std::string status_meaning(KX_STATUS status);
// "KX_ERR_IO (4): a control transfer failed or a read timed out".
std::string describe_status(KX_STATUS status);

}  // namespace vexa_tool

#endif
