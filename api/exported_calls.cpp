// The public names of the status-returning calls: each forwards to the
// library's definition and, with VEXA_DEBUG=1, reports a failed call. The
// successful path pays one well-predicted branch on the status.
#include "debug_log.h"

namespace {

inline KX_STATUS Traced(const char *name, KX_STATUS status) {
  if (__builtin_expect(status != KX_OK, 0))
    VEXA_DEBUG_LOG("%s returned %s (%u)", name, vexa_status_name(status), status);
  return status;
}

}  // namespace

extern "C" {

#define VEXA_CALL(name, params, args) KX_STATUS kx_impl_##name params;
#include "exported_calls.def"
#undef VEXA_CALL

#define VEXA_CALL(name, params, args) \
  KX_API KX_STATUS name params { return Traced(#name, kx_impl_##name args); }
#include "exported_calls.def"
#undef VEXA_CALL

}  // extern "C"
