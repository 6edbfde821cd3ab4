// What every vexa command works with: where its input comes from, where its
// output goes, and the one exception type that carries a library status up to
// the top level, where it becomes a single error line and a non-zero exit.
#ifndef VEXA_TOOL_CONTEXT_H
#define VEXA_TOOL_CONTEXT_H

#include <iosfwd>
#include <stdexcept>
#include <string>

#include "vexa.h"

namespace vexa_tool {

struct Context {
  std::istream &in;
  std::ostream &out;
  std::ostream &err;
  int in_fd;        // the same stream as `in`, for commands that need raw reads
  int out_fd;       // the same stream as `out`
  bool err_is_tty;  // progress bars are drawn only on a terminal
};

// A library call failed. `what()` says what the tool was doing.
class StatusError : public std::runtime_error {
 public:
  StatusError(KX_STATUS status, const std::string &doing)
      : std::runtime_error(doing), status_(status) {}
  KX_STATUS status() const { return status_; }

 private:
  KX_STATUS status_;
};

// A failure that is not a library status (bad input file, loopback mismatch).
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws StatusError unless the status is KX_OK.
inline void check(KX_STATUS status, const std::string &doing) {
  if (status != KX_OK) throw StatusError(status, doing);
}

}  // namespace vexa_tool

#endif
