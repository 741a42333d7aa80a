// Public suffixes from the newest list libpsl finds (the system's data file, else its own
// built-in copy), loaded once per process.
#include "http/cookies/public_suffixes.h"

#include <libpsl.h>

namespace http::cookies {

namespace {

const psl_ctx_t* suffixList() {
  // Kept for the life of the process; psl contexts are read-only once loaded.
  static const psl_ctx_t* const list = [] {
    const psl_ctx_t* latest = psl_latest(nullptr);
    return latest != nullptr ? latest : psl_builtin();
  }();
  return list;
}

}  // namespace

bool isPublicSuffix(const QString& domain) {
  const psl_ctx_t* list = suffixList();
  // Without any list every domain counts as public: no cookie for a whole domain is accepted,
  // host-only cookies still are.
  if (list == nullptr) return true;
  return psl_is_public_suffix2(list, domain.toUtf8().constData(), PSL_TYPE_ANY) != 0;
}

}  // namespace http::cookies
